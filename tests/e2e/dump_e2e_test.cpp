// The dump and the verbose log as a user meets them: the built program on
// the simulated port under a terminal.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/e2etest.h"

namespace {

constexpr int QUIETMS = 300;  // how long to watch for output that must not come

// The terminal's output with its carriage returns taken out.
std::string plain(const std::string &out) {
  std::string text;
  for (char c : out) {
    if (c != '\r') text += c;
  }
  return text;
}

using DumpE2eTest = E2eTest;

// One thread: a note when it first runs, then it waits for z forever, so
// the SPAWN after it never runs.
const char *const SCRIPT =
    "NOTATE threads running\n"
    "KEY z\n"
    "SPAWN echo never\n"
    "$\n$\n";

const char *const TOKENS =
    "\n4 Tokens:\n"
    "00: OP = 07, Port = 00, Patt = 0000\n"
    "01: OP = 05, Port = 7a, Patt = 0000\n"
    "02: OP = 06, Port = 01, Patt = 0000\n"
    "File: echo never\n"
    "03: OP = 7f, Port = 00, Patt = 0000\n";

const char *const THREADS =
    "\n1 Threads:\n"
    " Thread  0 starts at 00, with OP = 07, Port = 00, Patt = 0000\n";

// No thread runs until two keys have been typed; ESC at a pause is just a
// key and does not end the program.
TEST_F(DumpE2eTest, WaitsForTwoKeysBeforeAnyThreadRuns) {
  PtyChild child = start(SCRIPT, {"-d"});
  ASSERT_TRUE(ptywaitfor(child, "03: OP = 7f", WAITMS)) << child.out;
  EXPECT_FALSE(ptywaitfor(child, "Threads:", QUIETMS)) << child.out;
  EXPECT_EQ(plain(child.out), TOKENS);

  ptysend(child, "\x1b");
  ASSERT_TRUE(ptywaitfor(child, " Thread  0 starts at 00, with OP = 07, Port = 00, Patt = 0000\r\n",
                         WAITMS))
      << child.out;
  EXPECT_FALSE(ptywaitfor(child, "threads running", QUIETMS)) << child.out;
  EXPECT_EQ(plain(child.out), std::string(TOKENS) + THREADS);

  ptysend(child, "x");
  EXPECT_TRUE(ptywaitfor(child, "threads running", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_EQ(readall(options.stderrfile), "");
  EXPECT_EQ(plain(child.out).find("never\n", std::string(TOKENS).size()),
            std::string::npos) << "the dump keys reached no thread";
}

// Under -v the listing is complete on disk before the threads run: a
// command run by the script sees all of it.
TEST_F(DumpE2eTest, VerboseListingIsOnDiskBeforeTheThreadsRun) {
  PtyChild child = start(
      "SPAWN cp QUON.log seen.log\n"
      "NOTATE copied\n"
      "KEY z\n"
      "$\n"
      "; a comment after the first thread\n"
      "$\n",
      {"-v"});
  EXPECT_TRUE(ptywaitfor(child, "copied", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  std::string log = readall(dir + "/QUON.log");
  EXPECT_NE(log.find("005: ; a comment after the first thread"), std::string::npos)
      << log;
  EXPECT_EQ(readall(dir + "/seen.log"), log);
}

}  // namespace
