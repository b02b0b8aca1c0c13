// The monitors' region as a run writes it: its layout, the sequence counter
// a reader relies on, the bits a monitor forces and the pins it shows; a
// header rewritten by whoever can write the region, and names planted
// where the region goes.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tests/fakes/fakes.h"
#include "platform/sharedmem.h"
#include "port/port.h"
#include "publish/publish.h"
#include "publish/region.h"
#include "tests/testutil.h"

namespace {

class PublishTest : public LoopbackTest {
 protected:
  void TearDown() override { resetall(); }

  // The region this process published, mapped a second time as a monitor
  // maps it.
  static RegionHeader *attach(size_t *size) {
    int fd = -1;
    void *mapped = sharedattach(regionpath(geteuid(), getpid()).c_str(), size, &fd);
    if (fd >= 0) close(fd);
    return static_cast<RegionHeader *>(mapped);
  }
  // Loads script, publishes it and maps the region as above.
  static RegionHeader *published(const std::string &script, size_t *size) {
    run(script);
    return publishstart(portsample) == 0 ? attach(size) : nullptr;
  }
};

TEST_F(PublishTest, TheRegionHoldsTheLoadedTablesAtTheirOffsets) {
  size_t size = 0;
  RegionHeader *h = published("NAME blinker\nOUTPUT 1 .......1\nNOTATE on\n$\nWAIT 0 1.......\nSPAWN true\n$\n$\n", &size);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->magic, REGION_MAGIC);
  EXPECT_EQ(h->version, REGION_VERSION);
  EXPECT_EQ(h->pid, getpid());
  EXPECT_EQ(h->size, size);
  ASSERT_EQ(h->threadcount, 2);
  ASSERT_EQ(h->tokencount, prog.tokencount);
  ASSERT_EQ(h->stringcount, 2);
  EXPECT_EQ(h->port[0].used, 1);
  EXPECT_EQ(h->port[1].used, 1);
  EXPECT_EQ(h->threadsat, sizeof(RegionHeader));
  EXPECT_EQ(h->tokensat, h->threadsat + 2 * sizeof(RegionThread));
  EXPECT_EQ(h->stringsat, h->tokensat + sizeof(RegionToken) * static_cast<size_t>(prog.tokencount));
  EXPECT_EQ(h->notesat, h->stringsat + 2u * REGION_TEXT);
  EXPECT_EQ(size, h->notesat + REGION_NOTES * sizeof(RegionNote));
  EXPECT_STREQ(regionthreads(h)[0].name, "blinker");
  EXPECT_EQ(regionthreads(h)[1].at, prog.threadstart[1]);
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    EXPECT_EQ(regiontokens(h)[i].token, prog.tokens[i]) << i;
    EXPECT_EQ(regiontokens(h)[i].line, prog.tokenline[i]) << i;
  }
  EXPECT_STREQ(regionstring(h, 0), "on");
  EXPECT_STREQ(regionstring(h, 1), "true");
  shareddetach(h, size);
}

// Each copy leaves the counter even and higher; the copy holds the threads'
// places and the ports as the hooks saw them.
TEST_F(PublishTest, EveryCopyEndsOnAnEvenSequenceWithTheState) {
  size_t size = 0;
  RegionHeader *h = published("OUTPUT 0 10100101\nDELAY 1\n$\nWAIT 0 1.......\n$\n$\n", &size);
  ASSERT_NE(h, nullptr);
  uint32_t before = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
  EXPECT_EQ(before % 2, 0u);
  step(0);
  step(1);
  fakeclock = 100;
  publishtick();  // the first ticks copy at once
  uint32_t after = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
  EXPECT_EQ(after % 2, 0u);
  EXPECT_GT(after, before);
  EXPECT_EQ(h->port[0].out, 0xA5);
  EXPECT_EQ(h->port[0].in, 0xA5) << "the test connector loops the data lines back";
  EXPECT_EQ(regionthreads(h)[0].at, 1);
  EXPECT_EQ(regionthreads(h)[0].timer, prog.threadtimer[0]);
  shareddetach(h, size);
}

// Forced bits replace what the lines show for the threads; bits not forced
// still follow the lines, and nothing is forced once the region is gone.
TEST_F(PublishTest, ForcedBitsReplaceTheLinesUntilTheRegionEnds) {
  run("OUTPUT 0 00001111\n$\n$\n");
  step(0);
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F) << "before the region, nothing forced";
  ASSERT_EQ(publishstart(portsample), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
  ASSERT_NE(h, nullptr);
  h->forcemask[0] = 0x81;
  h->forcevalue[0] = 0x80;
  EXPECT_EQ(portinput(0) & 0xFF, 0x8E);
  h->forcemask[0] = 0;
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F);
  h->forcemask[0] = 0xFF;
  publishreset();
  EXPECT_EQ(portinput(0) & 0xFF, 0x0F);
  shareddetach(h, size);
}

// The user the region belongs to can rewrite its header; the run copies by
// the layout it made, never by the counts and offsets found there.
TEST_F(PublishTest, AForgedHeaderSteersNoStoreOfTheRun) {
  size_t size = 0;
  RegionHeader *h = published("DELAY 1\n$\nWAIT 0 1.......\n$\n$\n", &size);
  ASSERT_NE(h, nullptr);
  h->threadcount = 100000;
  h->threadsat = 4096;
  h->seq = 12345;
  step(0);
  fakeclock = 100;
  publishtick();
  RegionThread *threads = reinterpret_cast<RegionThread *>(reinterpret_cast<char *>(h) + sizeof(RegionHeader));
  EXPECT_EQ(threads[0].timer, prog.threadtimer[0]) << "copied where the run put its threads";
  EXPECT_NE(threads[0].timer, 0u);
  EXPECT_EQ(h->seq % 2, 0u) << "the sequence count the run keeps itself";
  shareddetach(h, size);
}

// The lamps' pins: sampled at the publishing tick for the ports the script
// uses, unforced, printing nothing even under -v -b, and leaving what the
// threads read as it was.
TEST_F(PublishTest, ThePinsAreSampledQuietlyAtTheTick) {
  size_t size = 0;
  RegionHeader *h = published("OUTPUT 0 10100101\nDELAY 1\n$\n$\n", &size);
  ASSERT_NE(h, nullptr);
  step(0);
  prog.verbose = prog.portdebug = FLAG_ON;
  h->forcemask[0] = 0xFF;
  testing::internal::CaptureStdout();
  fakeclock = 100;
  publishtick();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(h->port[0].pinned, 1);
  EXPECT_EQ(h->port[0].pins, 0xA5) << "the test connector loops the data lines back";
  EXPECT_EQ(h->port[0].in, 0) << "no thread has read an input";
  EXPECT_EQ(h->port[1].pinned, 0) << "a port the script does not use is not read";
  shareddetach(h, size);
}

// Names another user planted where the region goes (a folder, a link to
// a file of theirs, a second name of it) neither stop the publishing nor
// are opened or removed: the region takes a name of its own beside them.
TEST_F(PublishTest, APlantedNameGivesTheRegionANameOfItsOwn) {
  if (geteuid() != 0 && getenv("QUON_CI") != nullptr) FAIL() << "planting as another user needs root";
  if (geteuid() != 0) GTEST_SKIP() << "planting as another user needs root";
  std::string name = regionpath(geteuid(), getpid());
  std::string kept = std::string(SHARED_FOLDER) + "/quon-kept-" + std::to_string(getpid());
  for (const char *plant : {"folder", "link", "file"}) {
    SCOPED_TRACE(plant);
    fresh();
    run("WAIT 0 1.......\n$\n$\n");
    pid_t child = fork();  // the other user: a file of its own, and the name
    if (child == 0) {
      int fd = setgid(65534) == 0 && setuid(65534) == 0 ? open(kept.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) : -1;
      bool ok = fd >= 0 && write(fd, "theirs", 6) == 6 && close(fd) == 0;
      if (plant[0] == 'f' && plant[1] == 'o') ok = ok && mkdir(name.c_str(), 0755) == 0;
      else if (plant[0] == 'l') ok = ok && symlink(kept.c_str(), name.c_str()) == 0;
      else ok = ok && link(kept.c_str(), name.c_str()) == 0;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_TRUE(waitpid(child, &status, 0) == child && status == 0);
    ASSERT_EQ(publishstart(portsample), 0);
    glob_t made;
    ASSERT_EQ(glob((name + "-??????").c_str(), 0, nullptr, &made), 0) << "a name of its own";
    EXPECT_EQ(made.gl_pathc, 1u);
    EXPECT_EQ(readall(kept), "theirs");
    struct stat st;
    EXPECT_TRUE(lstat(name.c_str(), &st) == 0 && st.st_uid == 65534) << "the planted name stays";
    publishreset();
    EXPECT_FALSE(exists(made.gl_pathv[0])) << "removed at the end like any region";
    globfree(&made);
    if (rmdir(name.c_str()) != 0) unlink(name.c_str());
    unlink(kept.c_str());
  }
}

// A run ended by SIGKILL leaves its region: the next run of the same user
// removes those whose process is gone, and nothing else under the folder.
TEST_F(PublishTest, RegionsOfDeadRunsGoAtTheNextStart) {
  pid_t dead = fork();  // an id no process has once it is reaped
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  std::string prefix = std::string(SHARED_FOLDER) + "/" + regionprefix(geteuid());
  std::string gone = prefix + std::to_string(dead);
  std::string other = std::string(SHARED_FOLDER) + "/quon-linked-" + std::to_string(getpid());
  struct Case {
    std::string name;
    enum { FILE, LINKED, SYMLINK } kind;
    bool removed;
  } cases[] = {
      {gone, Case::FILE, true},
      {gone + "-abc123", Case::FILE, true},
      {prefix + std::to_string(getppid()), Case::FILE, false},  // alive
      {gone + "-abc", Case::FILE, false},                       // no name of a region
      {gone + "x", Case::FILE, false},
      {prefix + "0" + std::to_string(dead), Case::FILE, false},
      {gone + "-zzzzz1", Case::LINKED, false},   // a second name of a file
      {gone + "-zzzzz2", Case::SYMLINK, false},  // never followed, never removed
  };
  writeall(other, "kept");
  for (const Case &c : cases) {
    if (c.kind == Case::FILE) writeall(c.name, "old region");
    if (c.kind == Case::LINKED) {
      ASSERT_EQ(link(other.c_str(), c.name.c_str()), 0);
    } else if (c.kind == Case::SYMLINK) {
      ASSERT_EQ(symlink(other.c_str(), c.name.c_str()), 0);
    }
  }
  run("WAIT 0 1.......\n$\n$\n");
  ASSERT_EQ(publishstart(portsample), 0);
  for (const Case &c : cases) {
    struct stat st;
    EXPECT_EQ(lstat(c.name.c_str(), &st) != 0, c.removed) << c.name;
    unlink(c.name.c_str());
  }
  EXPECT_EQ(readall(other), "kept");
  unlink(other.c_str());
}

}  // namespace
