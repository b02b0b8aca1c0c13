// The guided calibration as a user meets it: the simulated port with its
// test connector, a folder without QUON.INI, keys typed at a terminal.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/e2etest.h"

namespace {

// Each test starts in a folder without QUON.INI.
class CalibrateE2eTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    uncalibrate();
  }
};

// A thread that answers the key a with a note, so that the run shows the
// script is running.
const char *const ANSWER = "KEY a\nNOTATE got it\n$\n$\n";

TEST_F(CalibrateE2eTest, FirstRunCalibratesThenRunsTheScript) {
  PtyChild child = start(ANSWER);
  ASSERT_TRUE(ptywaitfor(child, "<enter> to continue", WAITMS)) << child.out;
  EXPECT_EQ(child.out.find("Calibration successful."), std::string::npos)
      << "calibration must wait for the connector";
  ptysend(child, "\r");
  ASSERT_TRUE(ptywaitfor(child, "<ESC> to quit", WAITMS)) << child.out;
  EXPECT_NE(child.out.find("Install test connector on parallel port."),
            std::string::npos);
  EXPECT_NE(child.out.find("Calibration successful."), std::string::npos);
  EXPECT_NE(child.out.find("Remove test plug from parallel port, and reconnect IO card."),
            std::string::npos);
  EXPECT_EQ(readall(dir + "/QUON.INI"), CALIBRATED);
  EXPECT_TRUE(tempsleft(dir).empty());

  ptysend(child, "\r");
  ptysend(child, "a");
  EXPECT_TRUE(ptywaitfor(child, "got it", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_EQ(readall(options.stderrfile), NOTICE);
}

// The file written by the first run serves every later one: no notice, no
// prompt, and each input bit reads as the data bit of its position (the
// WAITs would hold their thread otherwise).
TEST_F(CalibrateE2eTest, LaterRunsUseTheFileAndInputsFollowTheData) {
  PtyChild first = start(ANSWER);
  ASSERT_TRUE(passprompts(first, "\r")) << first.out;
  ptysend(first, "\x1b");
  ASSERT_EQ(exitstatus(ptyfinish(first, WAITMS)), 27);

  PtyChild later = start(
      "OUTPUT 0 10110001\n"
      "WAIT 0 10110001\n"
      "OUTPUT 0 01001110\n"
      "WAIT 0 01001110\n"
      "NOTATE inputs follow\n"
      "KEY z\n"
      "$\n$\n");
  EXPECT_TRUE(ptywaitfor(later, "inputs follow", WAITMS)) << later.out;
  ptysend(later, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(later, WAITMS)), 27);
  EXPECT_EQ(later.out.find("test connector"), std::string::npos) << later.out;
  EXPECT_EQ(readall(options.stderrfile), "");
}

// ESC at the first prompt goes on; ESC at the last one ends the program
// with status 0 and leaves the complete file for the next start.
TEST_F(CalibrateE2eTest, EscAtTheLastPromptQuitsWithStatusZero) {
  PtyChild child = start(ANSWER);
  ASSERT_TRUE(ptywaitfor(child, "<enter> to continue", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  ASSERT_TRUE(ptywaitfor(child, "<ESC> to quit", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 0);
  EXPECT_EQ(readall(dir + "/QUON.INI"), CALIBRATED);
  EXPECT_TRUE(tempsleft(dir).empty());
  EXPECT_TRUE(samemode(child.before, child.after)) << "terminal mode restored";
}

TEST_F(CalibrateE2eTest, PortDebugShowsTheSearch) {
  PtyChild child = start(ANSWER, {"-b"});
  ASSERT_TRUE(passprompts(child, "\x1b")) << child.out;
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 0);
  std::string out = child.out;
  size_t at;
  while ((at = out.find('\r')) != std::string::npos) out.erase(at, 1);
  EXPECT_NE(out.find("\nCtl = 00, Pat = 00, Inp = 00, Inv = 83\n"
                     "            Pat = 01, Inp = 01, Inv = 00\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("\nCtl = 04, Pat = 00, Inp = 00, Inv = 83\n"), std::string::npos);
  EXPECT_NE(out.find("            Pat = ff, Inp = ff, Inv = 00\n"
                     "\nCalibration successful.\n"),
            std::string::npos) << out;
}

// A temporary file left by a calibration that was killed does not stand
// in the way: the next start calibrates again.
TEST_F(CalibrateE2eTest, KilledCalibrationLeavesNothingThatBlocksTheNextStart) {
  PtyChild killed = start(ANSWER);
  ASSERT_TRUE(ptywaitfor(killed, "<enter> to continue", WAITMS)) << killed.out;
  ptyfinish(killed, 0);  // killed at the first prompt
  EXPECT_FALSE(exists(dir + "/QUON.INI"));

  PtyChild next = start(ANSWER);
  ASSERT_TRUE(passprompts(next, "\r")) << next.out;
  ptysend(next, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(next, WAITMS)), 27);
  EXPECT_EQ(readall(dir + "/QUON.INI"), CALIBRATED);
  EXPECT_TRUE(tempsleft(dir).empty());
}

}  // namespace
