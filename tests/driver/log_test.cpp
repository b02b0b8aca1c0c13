// The life of QUON.log over a whole run: created empty, filled by the
// compiler while loading, closed after the dump step under -v, and left
// alone from then on.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/startup.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/keys.h"
#include "tests/testutil.h"

namespace {

// What loading alone writes to a log for a script under the given flag.
std::string loadinglog(const std::string &script, uint8_t verbose) {
  resetall();
  prog.verbose = verbose;
  loadscript(script);
  std::string log = logtext();
  resettables();
  return log;
}

// Two threads that do visible work when they run: a note every pass and a
// KILL of a thread that does not exist, whose miss message goes to standard
// output. Line 3 is in error; line 5 is blank.
const char *const SCRIPT =
    "NOTATE running\n"
    "KILL nobody\n"
    "WAIT 0\n"
    "$\n"
    "\n"
    "OUTPUT 0 1\n"
    "$\n"
    "$\n";

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetall();
    entertempdir();
    writefile("QUON.INI", "04\n0083\n");
    writefile("s.qun", SCRIPT);
    writefile("clean.qun", "OUTPUT 0 1\nDELAY 1\n$\n$\n");
  }
  void TearDown() override {
    resettables();
    leavetempdir();
  }
};

TEST_F(LogTest, CreatedEmptyAtEveryRunWithAndWithoutVerbose) {
  struct Case {
    std::vector<std::string> args;
    bool empty;  // a clean script leaves no line without -v
  } cases[] = {
      {{"clean"}, true},
      {{"clean", "-d"}, true},
      {{"-v", "clean"}, false},
  };
  for (const Case &c : cases) {
    writefile("QUON.log", "an earlier run's listing\n");
    QuonRun r = runquon(c.args, "", {'x', 'y', KEY_ESC});
    EXPECT_EQ(r.status, 27) << r.err;
    std::string log = readfile("QUON.log");
    EXPECT_EQ(log.find("earlier"), std::string::npos) << log;
    EXPECT_EQ(log.empty(), c.empty) << log;
  }
}

// Without -v the log holds the errors only, each after its line's listing
// prefix, and nothing for the lines that compiled.
TEST_F(LogTest, WithoutVerboseOnlyErrorLines) {
  QuonRun r = runquon({"s"});
  EXPECT_EQ(r.status, 27) << r.err;
  EXPECT_EQ(readfile("QUON.log"),
            "003: WAIT 0                                   |  "
            "Error: too few args to WAIT\n");
}

TEST_F(LogTest, VerboseListsEveryLineWithWords) {
  QuonRun r = runquon({"s", "-v"});
  EXPECT_EQ(r.status, 27) << r.err;
  std::string log = readfile("QUON.log");
  // Seven lines with words; the blank line 5 is counted but not listed.
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(lines, 7u) << log;
  EXPECT_EQ(log.rfind("001: NOTATE running", 0), 0u) << log;
  EXPECT_NE(log.find("\n006: OUTPUT 0 1"), std::string::npos) << log;
  EXPECT_EQ(log.find("\n005:"), std::string::npos) << log;
  EXPECT_NE(log.find("Error: too few args to WAIT"), std::string::npos) << log;
}

// Under -v the listing is complete on disk and the log closed before the
// main loop starts, whether or not a dump was shown; without -v it stays
// open to the end. The script's one error is announced on the console.
TEST_F(LogTest, ClosedAfterTheDumpStepOnlyUnderVerbose) {
  struct Case {
    std::vector<std::string> args;
    bool open;  // still open when the main loop has returned
  } cases[] = {
      {{"s", "-v"}, false},
      {{"s", "-v", "-d"}, false},
      {{"s"}, true},
      {{"s", "-d"}, true},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args, "", {'x', 'y', KEY_ESC});
    EXPECT_EQ(r.status, 27) << c.args.size();
    EXPECT_EQ(r.err, "QUON.log: 1 script error (first at line 3)\n") << c.args.size();
    EXPECT_EQ(r.logopen, c.open) << c.args.size();
  }
}

// The threads run for three passes (they print their note and the KILL
// miss), the dump is shown; the log still holds exactly what loading wrote.
TEST_F(LogTest, NothingIsWrittenAfterLoading) {
  struct Case {
    std::vector<std::string> args;
    uint8_t verbose;
  } cases[] = {
      {{"s", "-v", "-d"}, FLAG_ON},
      {{"s", "-d"}, 0},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args, "", {'x', 'y', 'a', 'b', 'c', KEY_ESC});
    EXPECT_EQ(r.status, 27);
    EXPECT_NE(r.out.find("running"), std::string::npos)
        << "the threads did not run:\n" << r.out;
    EXPECT_EQ(readfile("QUON.log"), loadinglog(SCRIPT, c.verbose))
        << c.args.size();
  }
}

}  // namespace
