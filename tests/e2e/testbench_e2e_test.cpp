// Testbenches end to end on the built quon-sim: every statement, every
// failure message, bad files, determinism, the replay of a trace, the
// clock's jumps, and quon's refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

// A door switch on input bit 7: opened, the thread notes it and raises
// out0; a key x lowers out0 for a moment.
const char *const DOOR =
    "NAME door\nWAIT 0 1.......\nNOTATE door open\nOUTPUT 0 .......1\nKEY x\n"
    "OUTPUT 0 .......0\n$\n$\n";

class TestbenchE2eTest : public E2eTest {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };
  // quon-sim --testbench=b.qtb on script, with more flags before it.
  Run run(const std::string &script, const std::string &bench,
          const std::vector<std::string> &flags = {}, const char *program = QUON_SIM_PATH) {
    writeall(path("t.qun"), script);
    writeall(path("b.qtb"), bench);
    options.stdoutfile = path("out.txt");
    std::vector<std::string> argv = {program, "--testbench=" + benchname};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back("t");
    PtyChild child = ptystart(argv, options);
    int status = exitstatus(ptyfinish(child, WAITMS));
    return {status, readall(path("out.txt")), readall(path("err.txt"))};
  }
  std::string benchname = "b.qtb";  // the bench named on the command line;
                                    // run() writes its text to b.qtb
};

TEST_F(TestbenchE2eTest, EachStatementIsCheckedAndEachFailureSaysWhere) {
  struct Case {
    const char *name;
    std::string bench;
    int status;
    std::string err;
    const char *script = DOOR;
  } cases[] = {
      {"all held",
       "end 5\nat 0 input 0 0.......\nat 1.5 input 0 1.......\nat 1 expect 0 .......0\n"
       "at 2 expect 0 .......1\nby 2 note door open\nat 2.5 key x\nat 4 expect 0 .......1\n",
       0, "testbench: 4 of 4 expectations held\n"},
      {"each kind fails",
       "end 5  # a comment\n\nat 0 input 0 0.......\nat 1.5 input 0 1.......\n"
       "at 1 expect 0 .......1\nfrom 1.6 to 3 expect 0 .......1\nby 1.4 note door open\n"
       "at 2.5 key x\n",
       1,
       "b.qtb:5: at 1.000 s port 0 outputs 00000000, expected .......1\n"
       "b.qtb:6: from 1.600 to 3.000 s port 0 outputs 00000000 at 2.500 s, expected .......1\n"
       "b.qtb:7: by 1.400 s \"door open\" was not printed\n"
       "testbench: 0 of 3 expectations held\n"},
      {"lines out of time order; one instant's failures in file order; a note's first print "
       "decides each expectation of it",
       "end 5\nat 1.5 input 0 1.......\nfrom 3 to 4 expect 0 .......0\nat 2 expect 0 .......0\n"
       "from 0.5 to 2 expect 0 .......1\nat 0.5 expect 0 .......1\nby 1 note door open\n"
       "by 3 note door open\n",
       1,
       "b.qtb:5: from 0.500 to 2.000 s port 0 outputs 00000000 at 0.500 s, expected .......1\n"
       "b.qtb:6: at 0.500 s port 0 outputs 00000000, expected .......1\n"
       "b.qtb:4: at 2.000 s port 0 outputs 00000001, expected .......0\n"
       "b.qtb:3: from 3.000 to 4.000 s port 0 outputs 00000001 at 3.000 s, expected .......0\n"
       "b.qtb:7: by 1.000 s \"door open\" was not printed\n"
       "testbench: 1 of 6 expectations held\n"},
      {"ESC ends the run; what is pending fails",
       "end 5\nat 1.5 input 0 1.......\nat 2 key ESC\nat 1 expect 0 .......0\n"
       "at 3 expect 0 .......1\n",
       1,
       "b.qtb:5: not checked: the run ended by ESC at 2.000 s\n"
       "testbench: 1 of 2 expectations held\n"},
      {"a cursor key reads as 0 and holds its scan code (H) for the next key",
       "end 1\nat 0.1 key UP\nat 0.15 expect 0 .......0\nat 0.2 key x\n"
       "at 0.25 expect 0 .......1\n",
       0, "testbench: 2 of 2 expectations held\n", "KEY H\nOUTPUT 0 .......1\n$\n$\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Run r = run(c.script, c.bench);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST_F(TestbenchE2eTest, BadFilesEndTheStartUpWithFileAndLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"end 1\nwait 3\n", "b.qtb:2: unknown word 'wait'"},
      {"end x\n", "b.qtb:1: end needs one time"},
      {"end 1\nat -1 key x\n", "b.qtb:2: bad time after at"},
      {"end 1\nat 0 expect 0 12\n", "b.qtb:2: bad pattern: 12"},
      {"end 1\nat 0 input 2 1\n", "b.qtb:2: port out of range: 2"},
      {"at 0 key x\n", "b.qtb:1: no 'end T' line"},
      {"end 1\nend 2\n", "b.qtb:2: a second end"},
      {"at 2 key x\nend 1\n", "b.qtb:1: an event after end"},
      {"end 1\nat 0 key NOSUCHKEY\n", "b.qtb:2: key needs one character or key name"},
      {"end 1\nreplay none.vcd\n",
       "b.qtb:2: cannot read replay file none.vcd (No such file or directory)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    Run r = run(DOOR, c.first);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.second + "\n");
    EXPECT_EQ(r.out, "") << "nothing ran";
  }
  // No file that never ends and no FIFO without a writer holds the
  // start-up: each is refused before a byte is read (run() gives up on a
  // program that has not ended within its generous bound).
  ASSERT_EQ(mkfifo(path("fifo.qtb").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(path("p.vcd").c_str(), 0600), 0);
  const struct {
    const char *benchname;
    std::string bench, err;
  } refused[] = {
      {"fifo.qtb", "", "fifo.qtb:0: cannot read the testbench (a FIFO, not a regular file)"},
      {"b.qtb", "end 1\nreplay p.vcd\n",
       "b.qtb:2: cannot read replay file p.vcd (a FIFO, not a regular file)"},
      {"b.qtb", "end 1\nreplay /dev/zero\n",
       "b.qtb:2: cannot read replay file /dev/zero (a device, not a regular file)"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.err);
    benchname = c.benchname;
    Run r = run(DOOR, c.bench);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.err + "\n");
  }
  benchname = "b.qtb";
  Run r = run(DOOR, "end 1\n", {}, QUON_PATH);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "A testbench needs the simulated port: run it with quon-sim.\n");
}

// The same script and bench give the same run, trace included; the trace
// is in simulated time, and its inputs drive another script's WAITs.
TEST_F(TestbenchE2eTest, RunsRepeatByteForByteAndTheirTracesReplay) {
  const std::string bench =
      "end 3\nat 0 input 0 0.......\nat 1.5 input 0 1.......\nat 2.5 key x\n"
      "at 2 expect 0 .......1\n";
  std::string first[3];
  for (int i = 0; i < 2; ++i) {
    Run r = run(DOOR, bench, {"--trace=run" + std::to_string(i) + ".vcd"});
    EXPECT_EQ(r.status, 0) << r.err;
    if (i == 0) {
      first[0] = r.out;
      first[1] = r.err;
      first[2] = readall(path("run0.vcd"));
    } else {
      EXPECT_EQ(r.out, first[0]);
      EXPECT_EQ(r.err, first[1]);
      EXPECT_EQ(readall(path("run1.vcd")), first[2]);
    }
  }
  EXPECT_NE(first[2].find("\n#1500000\n"), std::string::npos) << "the door opened at 1.5 s";
  Run replay = run("WAIT 0 1.......\nNOTATE seen open\nWAIT 0 0.......\n$\n$\n",
                   "end 3\nreplay run0.vcd\nby 1.4 note seen open\nby 1.6 note seen open\n");
  EXPECT_EQ(replay.status, 1);
  EXPECT_EQ(replay.err,
            "b.qtb:3: by 1.400 s \"seen open\" was not printed\n"
            "testbench: 1 of 2 expectations held\n");
}

// Nothing moves for 999 s: the clock jumps instead of stepping through
// a thousand million passes.
TEST_F(TestbenchE2eTest, TheClockJumpsToTheNextDeadline) {
  Run r = run("DELAY 999\nOUTPUT 0 .......1\nDELAY 16383\n$\n$\n",
              "end 3600\nat 998.999 expect 0 .......0\nat 999.001 expect 0 .......1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "testbench: 2 of 2 expectations held\n");
}

}  // namespace
