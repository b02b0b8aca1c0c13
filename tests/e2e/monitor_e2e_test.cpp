// quon-monitor on a running quon-sim: the live view in a real terminal
// (tmux, read back with capture-pane), forcing an input bit, the plain
// forms, bad command lines, and the region's life: gone after every end,
// a killed run's removed by the next monitor.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

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

std::string regionof(int pid) {
  return "/dev/shm/quon-" + std::to_string(geteuid()) + "-" + std::to_string(pid);
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
    for (int waited = 0; waited < WAITMS && !exists(regionof(child.pid)); waited += 20) {
      ptywaitfor(child, "\x01", 20);
    }
    return child;
  }
  // The tmux screen of session.
  std::string screen(const std::string &session) {
    int status = 0;
    return capture("tmux capture-pane -p -t " + session, &status);
  }
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
  EXPECT_TRUE(screenshows(session, "F>#", child)) << screen(session);
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
  EXPECT_NE(once.find("  0  thread0           WAIT 0 1.......          1: WAIT 0 1......."),
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
    marked = monitor("--once " + pid, &status).find(" F #") != std::string::npos;
    ptywaitfor(child, "\x01", 20);
  }
  EXPECT_TRUE(marked) << "the forced bit is marked";
  monitor("--release=0:1....... " + pid, &status);
  EXPECT_TRUE(ptywaitfor(child, "gone", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
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

}  // namespace
