// The monitors' region as a run writes it: its layout, the sequence counter
// a reader relies on, the bits a monitor forces and the pins it shows; a
// header rewritten by whoever can write the region, and names planted
// where the region goes.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

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
    return publishstart() == 0 ? attach(size) : nullptr;
  }
};

TEST_F(PublishTest, TheRegionHoldsTheLoadedTablesAtTheirOffsets) {
  run("NAME blinker\nOUTPUT 1 .......1\nNOTATE on\n$\nWAIT 0 1.......\nSPAWN true\n$\n$\n");
  ASSERT_EQ(publishstart(), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
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
  EXPECT_EQ(size, h->stringsat + 2u * REGION_TEXT);
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
  run("OUTPUT 0 10100101\nDELAY 1\n$\nWAIT 0 1.......\n$\n$\n");
  ASSERT_EQ(publishstart(), 0);
  size_t size = 0;
  RegionHeader *h = attach(&size);
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
  ASSERT_EQ(publishstart(), 0);
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

// Names another user planted where the region goes (a folder, a link, a
// file) neither stop the publishing nor are opened, emptied or removed:
// the region takes a name of its own beside them.
TEST_F(PublishTest, APlantedNameGivesTheRegionANameOfItsOwn) {
  bool root = geteuid() == 0;
  if (!root && getenv("QUON_CI") != nullptr) FAIL() << "planting as another user needs root";
  if (!root) GTEST_SKIP() << "planting as another user needs root";
  std::string name = regionpath(geteuid(), getpid());
  std::string victim = std::string(SHARED_FOLDER) + "/quon-victim-" + std::to_string(getpid());
  const std::pair<const char *, std::function<bool(void)>> PLANTS[] = {
      {"folder", [&] { return mkdir(name.c_str(), 0755) == 0; }},
      {"link", [&] { return symlink(victim.c_str(), name.c_str()) == 0; }},
      {"file", [&] {
         int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
         return fd >= 0 && write(fd, "theirs", 6) == 6 && close(fd) == 0;
       }},
  };
  for (const auto &plant : PLANTS) {
    SCOPED_TRACE(plant.first);
    fresh();
    run("WAIT 0 1.......\n$\n$\n");
    writeall(victim, "kept");
    ASSERT_EQ(chown(victim.c_str(), 65534, 65534), 0);
    pid_t child = fork();  // the other user
    if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && plant.second() ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(publishstart(), 0);
    std::string made;  // the region's name: the planted one and a suffix
    DIR *dir = opendir(SHARED_FOLDER);
    ASSERT_NE(dir, nullptr);
    while (dirent *e = readdir(dir)) {
      std::string path = std::string(SHARED_FOLDER) + "/" + e->d_name;
      if (path.rfind(name + "-", 0) == 0) made = path;
    }
    closedir(dir);
    EXPECT_EQ(made.size(), name.size() + 7) << made;
    struct stat st;
    ASSERT_EQ(lstat(name.c_str(), &st), 0) << "the planted name stays";
    EXPECT_EQ(st.st_uid, 65534u);
    if (S_ISREG(st.st_mode)) {
      EXPECT_EQ(readall(name), "theirs");
    }
    EXPECT_EQ(readall(victim), "kept");
    publishreset();
    EXPECT_FALSE(exists(made)) << "removed at the end like any region";
    if (S_ISDIR(st.st_mode)) rmdir(name.c_str());
    else unlink(name.c_str());
    unlink(victim.c_str());
  }
}

}  // namespace
