// Running scripts end to end: the built quon-sim on a pseudo-terminal, as a
// user at a terminal runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/e2e/e2etest.h"

namespace {

class RunE2eTest : public E2eTest {
 protected:
  // Ends a run with ESC and checks status 27 and the terminal mode.
  void endwithesc(PtyChild &child) {
    ptysend(child, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.out;
    EXPECT_TRUE(samemode(child.before, child.after));
  }
};

// One thread drives data bit 0; the other waits for input bit 0, which the
// test connector links to it, and reports each edge.
TEST_F(RunE2eTest, OutputReleasesAnotherThreadsWaitThroughTheConnector) {
  PtyChild child = start(
      "OUTPUT 0 .......1\nDELAY 0.05\nOUTPUT 0 .......0\nDELAY 0.05\n$\n"
      "WAIT 0 .......1\nNOTATE bit went high\n"
      "WAIT 0 .......0\nNOTATE bit went low\n$\n$\n");
  EXPECT_TRUE(ptywaitfor(child, "bit went high", WAITMS)) << child.out;
  EXPECT_TRUE(ptywaitfor(child, "bit went low", WAITMS)) << child.out;
  size_t high = child.out.find("bit went high");
  EXPECT_TRUE(ptywaitfor(child, "bit went high", WAITMS));
  EXPECT_LT(high, child.out.rfind("bit went low"));
  endwithesc(child);
}

TEST_F(RunE2eTest, TypedKeyTriggersItsKeyStatement) {
  PtyChild child = start("KEY a\nNOTATE got a\n$\nKEY b\nNOTATE got b\n$\n$\n");
  ptysend(child, "A");  // the case matters: no trigger
  ptysend(child, "b");
  EXPECT_TRUE(ptywaitfor(child, "KEY (1) triggered on b", WAITMS)) << child.out;
  EXPECT_TRUE(ptywaitfor(child, "got b", WAITMS));
  ptysend(child, "a");
  EXPECT_TRUE(ptywaitfor(child, "KEY (0) triggered on a", WAITMS)) << child.out;
  EXPECT_TRUE(ptywaitfor(child, "got a", WAITMS));
  EXPECT_EQ(child.out.find("triggered on A"), std::string::npos);
  endwithesc(child);
}

// The Up key reads as 0 (no key) in its pass; its scan code 0x48 ('H') is
// read in the pass after the next key press, and the new key after that.
TEST_F(RunE2eTest, CursorKeyScanCodeComesWithTheNextKeyPress) {
  PtyChild child = start("KEY H\nNOTATE scan code seen\n$\nKEY x\nNOTATE x seen\n$\n$\n");
  ptysend(child, "\x1b[A");
  usleep(300 * 1000);  // let the loop read the cursor key on its own
  EXPECT_EQ(child.out.find("scan code seen"), std::string::npos) << child.out;
  ptysend(child, "x");
  EXPECT_TRUE(ptywaitfor(child, "KEY (0) triggered on H", WAITMS)) << child.out;
  EXPECT_TRUE(ptywaitfor(child, "x seen", WAITMS)) << child.out;
  EXPECT_LT(child.out.find("scan code seen"), child.out.find("x seen"));
  endwithesc(child);
}

TEST_F(RunE2eTest, ScriptFromStandardInputKeysFromTheTerminal) {
  writeall(path("script.txt"), "KEY q\nNOTATE q typed\n$\n$\n");
  options.stdinfile = dir + "/script.txt";
  PtyChild child = ptystart({QUON_SIM_PATH}, options);
  ptysend(child, "q");
  EXPECT_TRUE(ptywaitfor(child, "q typed", WAITMS)) << child.out;
  endwithesc(child);
}

TEST_F(RunE2eTest, SpawnOutputAppearsInOrder) {
  PtyChild child = start(
      "NOTATE before\nSPAWN echo from the command\nNOTATE after\nKEY z\n$\n$\n");
  EXPECT_TRUE(ptywaitfor(child, "after", WAITMS)) << child.out;
  size_t before = child.out.find("before");
  size_t middle = child.out.find("from the command");
  size_t after = child.out.find("after");
  EXPECT_LT(before, middle);
  EXPECT_LT(middle, after);
  endwithesc(child);
}

// The log is on disk before the threads run, so a run ended by a signal
// still leaves the script's errors there.
TEST_F(RunE2eTest, ScriptErrorsReachTheLogWhenASignalEndsTheRun) {
  PtyChild child = start("WAIT x 1\nKEY q\n$\n$\n");
  ptysend(child, "z");  // once a key is read, loading is long done
  usleep(200 * 1000);
  kill(child.pid, SIGINT);
  ptyfinish(child, WAITMS);
  EXPECT_EQ(readall(path("QUON.log")),
            "001: WAIT x 1                                 |  "
            "Error: could not scan <port> in WAIT\n");
}

// A fatal error of a running thread (here logical port 2, which does not
// exist) ends the program with status 255, its message on standard error and
// the terminal in its old mode. The message of each statement is a unit test.
TEST_F(RunE2eTest, FatalErrorInAThreadEndsWithItsMessage) {
  PtyChild child = start("OUTPUT 2 1\n$\n$\n");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255) << child.out;
  EXPECT_EQ(readall(path("err.txt")), "Attempt to read-back from logical port 2, > max of 1\n");
  EXPECT_TRUE(samemode(child.before, child.after));
}

}  // namespace
