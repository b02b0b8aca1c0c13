// The real-time mode end to end on the built quon-sim: what a run prints,
// logs and traces is the same with and without it; a key wakes a loop that
// sleeps; a SPAWN'd command runs at normal priority; without the privilege
// the run goes on as a plain run after one line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

const std::string ENDS =  // prints, traces and ends by a failure after 40 ms
    "OUTPUT 0 1\nDELAY 0.02\nNOTATE a\nOUTPUT 0 0\nDELAY 0.02\nNOTATE b\nOUTPUT 2 1\n$\n$\n";

// A trace without its times and date: what changed, in order.
std::string changesonly(const std::string &vcd) {
  std::istringstream in(vcd);
  std::string out, line;
  bool date = false;
  while (std::getline(in, line)) {
    if (line.rfind("$date", 0) == 0) date = true;
    if (!date && !line.empty() && line[0] != '#') out += line + "\n";
    if (date && line.find("$end") != std::string::npos) date = false;
  }
  return out;
}

class RealtimeE2eTest : public E2eTest {
 protected:
  using Run = PlainRun;
  // quon-sim with args (standard input /dev/null), as the user uid when it
  // is not -1.
  Run runas(int uid, const std::vector<std::string> &args) { return runplain(dir, args, uid); }
  bool privileged(void) {
    if (geteuid() == 0) return true;
    if (getenv("QUON_CI") != nullptr) ADD_FAILURE() << "CI runs as root: the mode must apply";
    return false;
  }
};

TEST_F(RealtimeE2eTest, OutputLogAndTraceAreTheSameWithAndWithoutTheMode) {
  if (!privileged()) GTEST_SKIP() << "the mode needs root here";
  writeall(path("t.qun"), ENDS);
  Run plain = runas(-1, {"--trace=t.vcd", "-v", "t"});
  std::string plainlog = readall(path("QUON.log")), plaintrace = changesonly(readall(path("t.vcd")));
  Run fast = runas(-1, {"--realtime", "--trace=t.vcd", "-v", "t"});
  EXPECT_EQ(fast.status, plain.status);
  EXPECT_EQ(plain.status, 255);
  EXPECT_EQ(fast.out, plain.out);
  EXPECT_EQ(fast.out, "a\nb\n");
  EXPECT_EQ(readall(path("QUON.log")), plainlog);
  EXPECT_EQ(changesonly(readall(path("t.vcd"))), plaintrace);
  // One line more on standard error, first: what was applied.
  ASSERT_EQ(fast.err.rfind("realtime: SCHED_FIFO priority 49, processor ", 0), 0u) << fast.err;
  EXPECT_EQ(fast.err.substr(fast.err.find('\n') + 1), plain.err);
}

// Without the privilege: one line, then the plain run.
TEST_F(RealtimeE2eTest, WithoutThePrivilegeTheRunGoesOnPlain) {
  writeall(path("t.qun"), ENDS);
  chmod(dir.c_str(), 0777);
  Run r = runas(geteuid() == 0 ? 65534 : -1, {"--realtime=20", "t"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "a\nb\n");
  EXPECT_EQ(r.err,
            "realtime: not applied: SCHED_FIFO priority 20 refused (Operation not permitted); "
            "the run goes on as a plain run\n"
            "Attempt to read-back from logical port 2, > max of 1\n");
}

// All threads asleep (a KEY, a DELAY of 100 s): the loop sleeps, and a key
// wakes it at once. A SPAWN'd command has none of the mode.
TEST_F(RealtimeE2eTest, AKeyWakesTheSleepingLoopAndCommandsRunPlain) {
  if (!privileged()) GTEST_SKIP() << "the mode needs root here";
  options.stdoutfile = path("out.txt");
  PtyChild child = start("KEY a\nSPAWN chrt -p $$ > spawned.txt; grep VmLck /proc/$$/status >> spawned.txt\n"
                         "NOTATE got a\n$\nDELAY 100\n$\n$\n",
                         {"--realtime"});
  ASSERT_TRUE(waitkeymode(child, WAITMS));
#ifdef QUON_MONITOR_PATH
  int status = 0;
  std::string seen = capture(std::string(QUON_MONITOR_PATH) + " --once " + std::to_string(child.pid), &status);
  EXPECT_NE(seen.find("(real-time)"), std::string::npos) << seen;
  EXPECT_NE(seen.find("\nreal-time margin "), std::string::npos) << seen;
#endif
  ptysend(child, "a");
  EXPECT_TRUE(waitfile(child, path("out.txt"), "got a\n", WAITMS)) << readall(path("out.txt"));
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  std::string spawned = readall(path("spawned.txt"));
  EXPECT_NE(spawned.find("SCHED_OTHER"), std::string::npos) << spawned;
  EXPECT_NE(spawned.find("VmLck:\t       0 kB"), std::string::npos) << spawned;
  EXPECT_EQ(readall(path("err.txt")).rfind("realtime: SCHED_FIFO", 0), 0u);
}

// Started on processor 0 alone (taskset, CPUAffinity=): the loop takes
// its processor among the ones it was given, and a SPAWN'd command gets
// back exactly those, not every processor of the machine.
TEST_F(RealtimeE2eTest, CommandsGetTheProcessorsTheRunStartedOn) {
  if (!privileged()) GTEST_SKIP() << "the mode needs root here";
  writeall(path("t.qun"), "SPAWN grep Cpus_allowed_list /proc/self/status > mask.txt\nOUTPUT 2 1\n$\n$\n");
  int status = 0;
  std::string out = capture("cd " + dir + " && taskset -c 0 " + QUON_SIM_PATH +
                                " --realtime t < /dev/null 2> err.txt; echo $?",
                            &status);
  EXPECT_EQ(out, "255\n");
  EXPECT_EQ(readall(path("mask.txt")), "Cpus_allowed_list:\t0\n");
  EXPECT_EQ(readall(path("err.txt")).rfind("realtime: SCHED_FIFO priority 49, processor 0,", 0), 0u)
      << readall(path("err.txt"));
}

}  // namespace
