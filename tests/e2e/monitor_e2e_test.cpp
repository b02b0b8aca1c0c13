// quon-monitor on a running quon-sim: the live view in a real terminal
// (tmux, read back with capture-pane), forcing an input bit, the plain
// forms, bad command lines, and the region's life: gone after every end,
// a killed run's removed by the next monitor. Then the region as another
// user meets it: /dev/shm filled or planted with names, a region forged
// and cut short under a live view; and the live view as a new user meets
// it: keys typed at once, a list longer than the screen, bits left forced.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "publish/region.h"
#include "tests/e2e/e2etest.h"

namespace {

#ifndef QUON_MONITOR_PATH
#define QUON_MONITOR_PATH ""
#endif

bool havemonitor(void) { return std::string(QUON_MONITOR_PATH) != ""; }

#define NEEDMONITOR(tools)                                                          \
  do {                                                                              \
    std::string missing = havemonitor() ? "" : "quon-monitor (libncurses-dev)";     \
    if (missing.empty() && tools && system("command -v tmux >/dev/null 2>&1") != 0) \
      missing = "tmux";                                                             \
    if (missing.empty()) break;                                                     \
    if (getenv("QUON_CI") != nullptr) FAIL() << missing << " is missing";          \
    GTEST_SKIP() << missing << " is missing";                                       \
  } while (0)

// The other user of these tests, an unprivileged uid played by root; and
// a /dev/shm of the test's own, a small tmpfs over it in a mount namespace
// of this process's own (unshare -m) that the programs it starts inherit.
constexpr unsigned OTHER = 65534;
const char *const ASOTHER = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

struct PrivateShm {
  std::string why;  // why there is none
  bool mounted = false;
  bool make(const char *size) {
    std::string data = std::string("size=") + size + ",mode=1777";
    if (geteuid() != 0 || system("command -v setpriv >/dev/null 2>&1") != 0) {
      why = "another user (setpriv) and a private /dev/shm need root";
    } else if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
               mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, data.c_str()) != 0) {
      why = std::string("no private /dev/shm (unshare -m): ") + strerror(errno);
    }
    return mounted = why.empty();
  }
  ~PrivateShm() {
    if (mounted) umount2("/dev/shm", MNT_DETACH);
  }
};

#define NEEDSHM(shm, size)                                 \
  do {                                                     \
    if ((shm).make(size)) break;                           \
    if (getenv("QUON_CI") != nullptr) FAIL() << (shm).why; \
    GTEST_SKIP() << (shm).why;                             \
  } while (0)

// As the other user: a file of bytes at path (size 0: until the disk is
// full); false when it could not be made.
bool plant(const std::string &path, size_t size) {
  pid_t child = fork();
  if (child == 0) {
    int fd = setgid(OTHER) == 0 && setuid(OTHER) == 0 ? open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600) : -1;
    char block[4096];
    memset(block, 'x', sizeof block);
    ssize_t n = 0;
    for (size_t done = 0; fd >= 0 && (size == 0 || done < size) && (n = write(fd, block, size ? size : 4096)) > 0;)
      done += static_cast<size_t>(n);
    _exit(fd >= 0 && (size ? n > 0 : errno == ENOSPC) ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

class MonitorE2eTest : public E2eTest {
 protected:
  // quon-monitor with args; its output and status.
  std::string monitor(const std::string &args, int *status) {
    return capture(std::string(QUON_MONITOR_PATH) + " " + args, status);
  }
  // Starts quon-sim and waits for its region.
  PtyChild startwatched(const std::string &script, const std::vector<std::string> &flags = {}) {
    PtyChild child = start(script, flags);
    waitregion(child, geteuid());
    return child;
  }
  static bool waitregion(PtyChild &child, unsigned uid) {
    for (int waited = 0; waited < WAITMS; waited += 20) {
      if (exists(regionof(child.pid, uid))) return true;
      ptywaitfor(child, "\x01", 20);
    }
    return false;
  }
  // The tmux screen of session.
  std::string screen(const std::string &session) {
    int status = 0;
    return capture(tmux + " capture-pane -p -t " + session, &status);
  }
  std::string tmux = "tmux";  // with a server of the test's own: tmux -L name
  bool screenshows(const std::string &session, const std::string &text, PtyChild &child) {
    for (int waited = 0; waited < WAITMS; waited += 50) {
      if (screen(session).find(text) != std::string::npos) return true;
      ptywaitfor(child, "\x01", 50);
    }
    return false;
  }
};

// The demo in the live view: threads, lamps, a blink followed; input bit 7
// forced from the keyboard releases the watcher's WAIT, and the trace
// records the forced bit; releasing it brings the line back.
TEST_F(MonitorE2eTest, LiveViewFollowsTheDemoAndForcesABit) {
  NEEDMONITOR(true);
  writeall(path("demo.qun"), readall(QUON_EXAMPLES_DIR "/demo.qun"));
  PtyChild child = ptystart({QUON_SIM_PATH, "--trace=t.vcd", "demo"}, options);
  ASSERT_TRUE(ptywaitfor(child, "went high", WAITMS)) << child.out;
  std::string session = "quonmon" + std::to_string(getpid());
  int status = 0;
  capture("tmux new-session -d -s " + session + " -x 110 -y 30 '" + QUON_MONITOR_PATH + " " +
              std::to_string(child.pid) + "'",
          &status);
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(screenshows(session, "WAIT 0 1.......", child)) << screen(session);
  std::string shown = screen(session);
  for (const char *text : {"follower", "WAIT 0 1.......", "port 0", "in pin      11  10  12"}) {
    EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
  }
  // The blink: out0's lamp (the last of the out row) is seen both ways.
  bool on = false, off = false;
  for (int waited = 0; waited < 1500 && !(on && off); waited += 50) {
    std::string s = screen(session);
    size_t row = s.find("  out    ");
    if (row != std::string::npos) {
      std::string line = s.substr(row, s.find('\n', row) - row);
      line.erase(line.find_last_not_of(' ') + 1);
      (line.back() == '#' ? on : off) = true;
    }
    ptywaitfor(child, "\x01", 50);
  }
  EXPECT_TRUE(on && off) << "out0 blinks on the monitor";
  capture("tmux send-keys -t " + session + " Left Left Left Left Left Left Left 1", &status);
  EXPECT_TRUE(ptywaitfor(child, "watcher: input bit 7 is on", WAITMS)) << child.out;
  // The lamp shows the line (low), the row below what the threads read.
  EXPECT_TRUE(screenshows(session, "F>.", child)) << screen(session);
  EXPECT_TRUE(screenshows(session, "  read         #", child)) << screen(session);
  capture("tmux send-keys -t " + session + " r", &status);
  EXPECT_TRUE(ptywaitfor(child, "watcher: input bit 7 is off", WAITMS)) << child.out;
  capture("tmux send-keys -t " + session + " q", &status);
  capture("tmux kill-session -t " + session, &status);
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  std::string vcd = readall(path("t.vcd"));
  EXPECT_NE(vcd.find("\n10\n"), std::string::npos) << "in7 (id 0) forced to 1 in the trace";
}

TEST_F(MonitorE2eTest, PlainFormsForceAndReleaseAndBadOnesTouchNothing) {
  NEEDMONITOR(false);
  PtyChild child = startwatched("WAIT 0 1.......\nNOTATE seen\nWAIT 0 0.......\nNOTATE gone\n$\n$\n");
  std::string pid = std::to_string(child.pid);
  int status = 0;
  std::string once = monitor("--once " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(once.find("  0  thread0           WAIT 0 1.......              0    1: WAIT 0 1......."),
            std::string::npos) << once;
  const std::pair<std::string, int> bad[] = {
      {"--force=2:1 " + pid, 2}, {"--force=0:12 " + pid, 2}, {"--force=0 " + pid, 2},
      {"--release=0:x " + pid, 2}, {"--frobnicate", 2}, {"--once " + std::to_string(getpid()), 1},
  };
  for (const auto &b : bad) {
    std::string said = monitor(b.first, &status);
    EXPECT_EQ(status, b.second) << b.first << ": " << said;
    EXPECT_EQ(said.rfind("quon-monitor: ", 0), 0u) << said;
  }
  EXPECT_EQ(child.out.find("seen"), std::string::npos) << "nothing was forced";
  monitor("--force=0:1....... " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ptywaitfor(child, "seen", WAITMS)) << child.out;
  bool marked = false;  // the state reaches the region within 20 ms
  for (int waited = 0; waited < WAITMS && !marked; waited += 20) {
    marked = monitor("--once " + pid, &status).find(" F .") != std::string::npos;
    ptywaitfor(child, "\x01", 20);
  }
  EXPECT_TRUE(marked) << "the forced bit is marked";
  monitor("--release=0:1....... " + pid, &status);
  EXPECT_TRUE(ptywaitfor(child, "gone", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
}

// A run without a terminal (standard input /dev/null, as under a service)
// takes keys and flag bits from monitors: KEY answers, several keys come
// in order, a flag pattern releases a WAIT on the bank, ESC ends the run;
// the loops column counts a thread's rounds.
TEST_F(MonitorE2eTest, KeysAndFlagsTypedFromOutsideReachARunWithoutATerminal) {
  NEEDMONITOR(false);
  writeall(path("t.qun"),
           "KEY s\nNOTATE after s\nKEY a\nNOTATE got a\nKEY b\nNOTATE got b\nKEY c\nNOTATE got c\n"
           "WAIT 2 1.......\nNOTATE flag seen\nKEY z\n$\nDELAY 0.01\n$\n$\n");
  pid_t run = startplain(dir, {"--flags=2", "t"});
  std::string pid = std::to_string(run), out = path("plain-out.txt");
  ASSERT_TRUE(waituntil(WAITMS, [&] { return exists(regionof(run)); })) << readall(out);
  auto shows = [&](const std::string &text) { return waitsays(out, text); };
  int status = 0;
  EXPECT_EQ(monitor("--key=s " + pid, &status), "");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shows("after s\n")) << readall(out);
  monitor("--key=abc " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shows("got a\nKEY (0) triggered on b\ngot b\nKEY (0) triggered on c\ngot c\n")) << readall(out);
  EXPECT_EQ(readall(out).find("flag seen"), std::string::npos);
  EXPECT_NE(monitor("--flag=3:1....... " + pid, &status).find("no flag bank"), std::string::npos);
  EXPECT_EQ(status, 1);
  monitor("--flag=2:1....... " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shows("flag seen\n")) << readall(out);
  // The delaying thread goes round again and again; the first waits at
  // KEY z; the bank shows the bit (all within a few copies of the region).
  const std::string waiting = "  0  thread0           KEY z                        0   11: KEY z";
  const std::string bank = "  bank 2       #   .   .   .   .   .   .   .";
  std::string once;
  unsigned long loops = 0;
  waituntil(WAITMS, [&] {
    once = monitor("--once " + pid, &status);
    size_t row = once.find("  1  thread1");
    loops = row != std::string::npos ? std::stoul(once.substr(row + 46, 7)) : 0;
    return loops >= 2 && once.find(waiting) != std::string::npos && once.find(bank) != std::string::npos;
  });
  EXPECT_GE(loops, 2u) << once;
  EXPECT_NE(once.find(waiting), std::string::npos) << once;
  EXPECT_NE(once.find(bank), std::string::npos) << once;
  monitor("--key=\"$(printf '\\033')\" " + pid, &status);
  EXPECT_EQ(status, 0);
  int ended = 0;
  waituntil(WAITMS, [&] { return waitpid(run, &ended, WNOHANG) != 0; });
  if (kill(run, 0) == 0) kill(run, SIGKILL), waitpid(run, &ended, 0);
  EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 27) << "ESC typed from outside ends the run";
}

// The live view types a key into the run (k, then the key) and sets a
// flag bit from a bank's row (down to it over ports 0 and 1, then 1).
TEST_F(MonitorE2eTest, LiveViewTypesAKeyAndSetsAFlagBit) {
  NEEDMONITOR(true);
  PtyChild child = startwatched("KEY s\nNOTATE typed\nWAIT 2 .......1\nNOTATE flagged\nKEY z\n$\n$\n",
                                {"--flags=2"});
  tmux = "tmux -L quonmonkey" + std::to_string(getpid());
  std::string keys = tmux + " send-keys -t view ";
  int status = 0;
  capture(tmux + " new-session -d -s view -x 100 -y 30 '" + QUON_MONITOR_PATH + " " + std::to_string(child.pid) +
              "'",
          &status);
  EXPECT_TRUE(screenshows("view", "  bank 2       .   .   .   .   .   .   .   .", child)) << screen("view");
  capture(keys + "k s", &status);
  EXPECT_TRUE(ptywaitfor(child, "typed", WAITMS)) << child.out << screen("view");
  EXPECT_EQ(child.out.find("flagged"), std::string::npos);
  capture(keys + "Down Down 1", &status);
  EXPECT_TRUE(ptywaitfor(child, "flagged", WAITMS)) << child.out << screen("view");
  EXPECT_TRUE(screenshows("view", "  bank 2       .   .   .   .   .   .   .  >#", child)) << screen("view");
  capture(keys + "q", &status);
  capture(tmux + " kill-server", &status);
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
}

// --region-group: the run of one user makes its region for a group; a
// member of the group, another user, finds it (by its id, or as the only
// one it can use), watches, forces a bit and types a key; a user outside
// the group finds nothing and types nothing.
TEST_F(MonitorE2eTest, AGroupsMembersWatchForceAndTypeIntoAnotherUsersRun) {
  NEEDMONITOR(false);
  int status = 0;
  std::string setpriv = capture("command -v setpriv", &status);
  if (geteuid() != 0 || status != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "other users (setpriv) need root";
    GTEST_SKIP() << "other users (setpriv) need root";
  }
  setpriv.erase(setpriv.find_last_not_of('\n') + 1);
  const std::string member = setpriv + " --reuid=7302 --regid=7302 --groups=7300 " + QUON_MONITOR_PATH + " ";
  const std::string outsider = setpriv + " --reuid=7303 --regid=7303 --clear-groups " + QUON_MONITOR_PATH + " ";
  writeall(path("t.qun"), "WAIT 0 1.......\nNOTATE forced\nKEY s\nNOTATE typed\nKEY z\n$\n$\n");
  ASSERT_EQ(chmod(dir.c_str(), 0777) | chmod(path("t.qun").c_str(), 0644) | chmod(path("QUON.INI").c_str(), 0644), 0);
  PlainStart start;
  start.program = setpriv.c_str();
  pid_t run = startplain(dir, {"--reuid=7301", "--regid=7301", "--groups=7300", QUON_SIM_PATH,
                               "--region-group=7300", "t"}, -1, start);
  std::string pid = std::to_string(run), out = path("plain-out.txt"), region = regionof(run, 7301);
  struct stat st{};
  waituntil(WAITMS, [&] { return stat(region.c_str(), &st) == 0; });
  EXPECT_EQ(st.st_uid, 7301u);
  EXPECT_EQ(st.st_gid, 7300u);
  EXPECT_EQ(st.st_mode & 07777, 0660u) << readall(path("plain-err.txt"));
  auto shows = [&](const std::string &text) { return waitsays(out, text); };
  EXPECT_NE(capture(member + "--once", &status).find("  0  thread0           WAIT 0 1......."), std::string::npos);
  EXPECT_EQ(status, 0);
  for (const char *args : {"--once ", "--force=0:1....... ", "--key=s "}) {
    std::string said = capture(outsider + args + pid, &status);
    EXPECT_EQ(status, 1) << args << said;
    EXPECT_NE(said.find("is no QUON of yours"), std::string::npos) << args << said;
  }
  EXPECT_EQ(readall(out).find("forced"), std::string::npos) << "the outsider forced nothing";
  capture(member + "--force=0:1....... " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shows("forced\n")) << readall(out);
  capture(member + "--key=s " + pid, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(shows("typed\n")) << readall(out);
  kill(run, SIGTERM);
  waitpid(run, &status, 0);
  EXPECT_FALSE(exists(region)) << "the run removes its region as always";
}

// The region is there while the run is, and gone however it ends; one
// left by SIGKILL goes with the next monitor.
TEST_F(MonitorE2eTest, TheRegionLivesAsLongAsTheRun) {
  NEEDMONITOR(false);
  for (int sig : {0, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(sig);
    PtyChild child = startwatched("KEY q\n$\n$\n");
    std::string region = regionof(child.pid);
    ASSERT_TRUE(exists(region));
    if (sig == 0) {
      ptysend(child, "\x1b");
    } else {
      kill(child.pid, sig);
    }
    ptyfinish(child, WAITMS);
    EXPECT_EQ(exists(region), sig == SIGKILL);
    int status = 0;
    // Named by its id: other runs may be going on beside the test.
    EXPECT_EQ(monitor("--once " + std::to_string(child.pid), &status),
              "quon-monitor: process " + std::to_string(child.pid) +
                  " is no QUON of yours that is running\n");
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(exists(region)) << "the next monitor removes a dead run's region";
  }
}

// Anyone can fill /dev/shm: the region's pages are reserved when it is
// made, so the run goes on unwatched and says nothing, instead of dying of
// SIGBUS at its first copy.
TEST_F(MonitorE2eTest, AFullShmLeavesTheRunUnwatchedNotKilled) {
  PrivateShm shm;
  NEEDSHM(shm, "64k");
  ASSERT_TRUE(plant("/dev/shm/fill", 0));
  PtyChild child = start("KEY q\n$\n$\n");
  EXPECT_TRUE(waitkeymode(child, WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << "status " << child.status;
  EXPECT_EQ(readall(path("err.txt")), "");
  EXPECT_FALSE(exists(regionof(child.pid)));
}

// Names the other user plants count for no monitor: a file under root's
// name for process 1 (alive), and a region of its own left by a run whose
// id now belongs to root's init (kill says EPERM). Each monitor finds the
// one run of its user and leaves names not its own where they are.
TEST_F(MonitorE2eTest, PlantedNamesFoolNoMonitor) {
  NEEDMONITOR(false);
  PrivateShm shm;
  NEEDSHM(shm, "1m");
  ASSERT_TRUE(plant(regionof(1, 0), 6) && plant(regionof(1, OTHER), 6));
  writeall(path("t.qun"), "KEY q\n$\n$\n");
  PtyOptions theirs = options;  // a folder of the other user's for its run
  theirs.dir = path("theirs");
  ASSERT_EQ(mkdir(theirs.dir.c_str(), 0755), 0);
  for (const char *file : {"QUON.INI", "t.qun"}) writeall(theirs.dir + "/" + file, readall(path(file)));
  ASSERT_EQ(chown(theirs.dir.c_str(), OTHER, OTHER), 0);
  for (const std::string &as : {std::string(), std::string(ASOTHER)}) {  // one run at a time: each spins a processor
    PtyChild run = ptystart({"/bin/sh", "-c", "exec " + as + QUON_SIM_PATH + " t"}, as.empty() ? options : theirs);
    ASSERT_TRUE(waitregion(run, as.empty() ? geteuid() : OTHER)) << run.out << readall(path("err.txt"));
    int status = 0;
    std::string once = capture(as + QUON_MONITOR_PATH + " --once", &status);
    EXPECT_EQ(once.rfind("QUON " + std::to_string(run.pid) + " ", 0), 0u) << as << once;
    ptysend(run, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(run, WAITMS)), 27);
  }
  EXPECT_EQ(readall(regionof(1, 0)), "xxxxxx");
  EXPECT_TRUE(exists(regionof(1, OTHER)));
}

// The live view's region rewritten under it (offsets, then counts, that no
// run writes), then cut short: the monitor goes on with the layout it
// checked, then says the run has gone and leaves the terminal as it was.
TEST_F(MonitorE2eTest, ALiveViewSurvivesItsRegionForgedAndCutShort) {
  NEEDMONITOR(false);
  PtyChild run = startwatched("NAME waiter\nWAIT 0 1.......\n$\n$\n");
  std::string term = getenv("TERM") != nullptr ? getenv("TERM") : "";
  setenv("TERM", "xterm", 1);
  PtyChild view = ptystart({QUON_MONITOR_PATH, std::to_string(run.pid)});
  term.empty() ? unsetenv("TERM") : setenv("TERM", term.c_str(), 1);
  ASSERT_TRUE(ptywaitfor(view, "waiter", WAITMS)) << view.out;
  int fd = open(regionof(run.pid).c_str(), O_RDWR | O_CLOEXEC);
  const uint32_t offsets[] = {UINT32_MAX - 3, 3, 5};
  const int32_t counts[] = {INT32_MAX, -1, INT32_MAX};
  ASSERT_EQ(pwrite(fd, offsets, 12, offsetof(RegionHeader, threadsat)), 12);
  for (int frames = 0; frames < 6; ++frames) {  // the clock is redrawn every frame
    if (frames == 3) {
      ASSERT_EQ(pwrite(fd, counts, 12, offsetof(RegionHeader, threadcount)), 12);
    }
    view.out.clear();
    ptyread(view, WAITMS);
    ASSERT_FALSE(view.out.empty()) << "frame " << frames;
  }
  ASSERT_EQ(ftruncate(fd, 0), 0);
  close(fd);
  EXPECT_EQ(exitstatus(ptyfinish(view, WAITMS)), 1) << "status " << view.status;
  EXPECT_NE(view.out.find("process " + std::to_string(run.pid) + " has gone"), std::string::npos) << view.out;
  EXPECT_TRUE(samemode(view.before, view.after)) << "the terminal is left as it was found";
  ptyclose(run);  // its own stores into the cut region end it, as a kill by its user would
}

// 80 x 24 and 40 threads: keys typed before the first frame go where they
// were typed, the list scrolls to every thread under a status row of its
// own, and q with a bit still forced says so before it quits.
TEST_F(MonitorE2eTest, LiveViewTakesEarlyKeysScrollsAndMindsForcedBits) {
  NEEDMONITOR(true);
  std::string script = "NAME watcher\nWAIT 0 1.......\nNOTATE bit 7 forced\nKEY q\n$\n";
  for (int t = 1; t < 40; ++t) script += "NAME t" + std::to_string(t) + "\nWAIT 0 .......1\n$\n";
  PtyChild child = startwatched(script + "$\n");
  tmux = "tmux -L quonmon" + std::to_string(getpid());
  std::string keys = tmux + " send-keys -t view ";
  int status = 0;
  capture(tmux + " new-session -d -s view -x 80 -y 24 '" + QUON_MONITOR_PATH + " " + std::to_string(child.pid) +
              "'; " + keys + "Left Left Left Left Left Left Left 1",
          &status);
  EXPECT_TRUE(ptywaitfor(child, "bit 7 forced", WAITMS)) << child.out << screen("view");
  const std::pair<const char *, const char *> SCROLLS[] = {
      {"", "WAIT 0 .......1\nthreads 0 to 10 of 40\narrows: bit/row"},  // the last row kept whole
      {"End", "threads 29 to 39 of 40"}, {"PPage", "threads 18 to 28 of 40"},
      {"Home", "threads 0 to 10 of 40"}, {"NPage", "threads 11 to 21 of 40"},
      {"q", "port 0 bits 1....... stay forced; R releases them, q quits"},
  };
  for (const auto &scroll : SCROLLS) {
    capture(keys + scroll.first, &status);
    EXPECT_TRUE(screenshows("view", scroll.second, child)) << scroll.first << "\n" << screen("view");
  }
  capture(keys + "R q", &status);
  for (int waited = 0; waited < WAITMS && status == 0; waited += 50) {
    drain(child, 50);
    capture(tmux + " has-session -t view 2>/dev/null", &status);
  }
  EXPECT_NE(status, 0) << "q with nothing forced quits at once\n" << screen("view");
  capture(tmux + " kill-server", &status);
  EXPECT_EQ(monitor("--once " + std::to_string(child.pid), &status).find(" F "), std::string::npos) << "R released it";
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
}

}  // namespace
