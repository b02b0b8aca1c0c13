// Testbenches end to end on the built quon-sim: every statement, every
// failure message, bad files, determinism, the replay of a trace, the
// clock's jumps, and quon's refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
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

  // Several benches (name, text; a text of nullptr is never written), each
  // named by a --testbench= in turn, the flags after them.
  Run runs(const std::string &script,
           const std::vector<std::pair<std::string, const char *>> &benches,
           const std::vector<std::string> &flags = {}) {
    writeall(path("t.qun"), script);
    options.stdoutfile = path("out.txt");
    std::vector<std::string> argv = {QUON_SIM_PATH};
    for (const auto &b : benches) {
      if (b.second != nullptr) writeall(path(b.first), b.second);
      argv.push_back("--testbench=" + b.first);
    }
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back("t");
    PtyChild child = ptystart(argv, options);
    int status = exitstatus(ptyfinish(child, WAITMS));
    return {status, readall(path("out.txt")), readall(path("err.txt"))};
  }

  // A reader of the reports, run in the test's folder: its status and
  // what it printed (standard error too).
  Run tool(const std::string &command) {
    std::string line = "cd '" + dir + "' && " + command + " 2>&1";
    FILE *p = popen(line.c_str(), "r");
    std::string out;
    char piece[4096];
    size_t n;
    while (p != nullptr && (n = fread(piece, 1, sizeof piece, p)) > 0) out.append(piece, n);
    int status = p != nullptr ? pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ""};
  }
};

// A reader the reports are tested with: missing, the test is skipped by
// hand and fails in CI.
#define NEEDTOOL(found, what)                                          \
  do {                                                                 \
    if (found) break;                                                  \
    if (getenv("QUON_CI") != nullptr) FAIL() << what << " is missing"; \
    GTEST_SKIP() << what << " is missing";                             \
  } while (0)

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

// Two benches and one that cannot be read, with every report: the JUnit
// file as a JUnit reader sees it, the TAP stream as prove counts it, each
// bench from the same start (the second would fail on the first's input),
// and notes whose bytes XML forbids.
TEST_F(TestbenchE2eTest, ReportsHoldEveryBenchAsTheirReadersSeeIt) {
  std::string python;
  for (const char *p : {"python3", "/usr/bin/python3"}) {
    if (python.empty() && tool(std::string(p) + " -c 'import junitparser'").status == 0) python = p;
  }
  NEEDTOOL(!python.empty(), "python3-junitparser");
  NEEDTOOL(tool("command -v prove").status == 0, "prove (perl)");
  const std::string script =
      "NAME door\nWAIT 0 1.......\nNOTATE door open\nNOTATE <&\"quoted\"> \x01\xff]]>\n"
      "OUTPUT 0 .......1\nKEY x\n$\n$\n";
  ASSERT_EQ(mkdir(path("r").c_str(), 0755), 0);
  Run r = runs(script,
               {{"one.qtb", "end 2\nat 1.5 input 0 1.......\nat 1 expect 0 .......0\n"
                            "at 2 expect 0 .......0\n"},
                {"two.qtb", "end 1\nat 0.5 expect 0 .......0\nby 1 note door open\n"},
                {"gone.qtb", nullptr}},
               {"--junit=r/j.xml", "--tap=r/t.tap"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "gone.qtb:0: cannot read the testbench (No such file or directory)\n"
            "one.qtb:4: at 2.000 s port 0 outputs 00000001, expected .......0\n"
            "testbench: one.qtb: 1 of 2 expectations held\n"
            "two.qtb:3: by 1.000 s \"door open\" was not printed\n"
            "testbench: two.qtb: 1 of 2 expectations held\n"
            "testbench: gone.qtb: not run (it could not be read)\n"
            "testbench: 3 benches, 2 of 4 expectations held, 1 bench not read\n");
  writeall(path("read.py"),
           "import junitparser\n"
           "for s in junitparser.JUnitXml.fromfile('r/j.xml'):\n"
           "  print(s.name, s.tests, s.failures, s.errors)\n"
           "  for c in s:\n"
           "    print(' ', c.classname, c.name, [(type(x).__name__, x.message) for x in c.result])\n");
  Run junit = tool(python + " read.py");
  EXPECT_EQ(junit.status, 0) << junit.out;
  EXPECT_EQ(junit.out,
            "one.qtb 2 1 0\n"
            "  t.qun one.qtb:3: at 1 expect 0 .......0 []\n"
            "  t.qun one.qtb:4: at 2 expect 0 .......0 [('Failure', 'one.qtb:4: at 2.000 s port 0 "
            "outputs 00000001, expected .......0')]\n"
            "two.qtb 2 1 0\n"
            "  t.qun two.qtb:2: at 0.5 expect 0 .......0 []\n"
            "  t.qun two.qtb:3: by 1 note door open [('Failure', 'two.qtb:3: by 1.000 s \"door "
            "open\" was not printed')]\n"
            "gone.qtb 1 0 1\n"
            "  t.qun gone.qtb [('Error', 'gone.qtb:0: cannot read the testbench (No such file "
            "or directory)')]\n");
  std::string xml = readall(path("r/j.xml"));
  EXPECT_NE(xml.find("<system-out>door open\n&lt;&amp;&quot;quoted&quot;&gt; ]]&gt;\n"),
            std::string::npos)
      << xml;
  Run tap = tool("prove --exec cat r/t.tap");
  EXPECT_NE(tap.status, 0);
  EXPECT_NE(tap.out.find("r/t.tap (Wstat: 0 Tests: 5 Failed: 3)\n  Failed tests:  2, 4-5\n"),
            std::string::npos)
      << tap.out;
  EXPECT_EQ(tap.out.find("Parse errors"), std::string::npos) << tap.out;
  EXPECT_NE(readall(path("r/t.tap")).find("not ok 2 - one.qtb:4: at 2 expect 0 .......0\n"
                                          "  ---\n  message: \"one.qtb:4: at 2.000 s port 0 "
                                          "outputs 00000001, expected .......0\"\n  severity: "
                                          "fail\n  line: 4\n  time: 2.000000\n  expected: "
                                          "\".......0\"\n  seen: \"00000001\"\n  ...\n"),
            std::string::npos);
  // Whole files only: no temporary one is left beside them.
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(path("r"))) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2);

  // Benches that all hold give status 0; any failure anywhere gives 1.
  const char *pass = "end 1\nat 0.5 expect 0 .......0\n";
  const char *fail = "end 1\nat 0.5 expect 0 .......1\n";
  EXPECT_EQ(runs(DOOR, {{"a.qtb", pass}, {"b.qtb", pass}}).status, 0);
  EXPECT_EQ(runs(DOOR, {{"a.qtb", pass}, {"b.qtb", fail}}).status, 1);
  EXPECT_EQ(runs(DOOR, {{"a.qtb", fail}, {"b.qtb", pass}}).status, 1);
}

// Line coverage over two benches, as lcov's own tools read it: a
// statement never reached counts 0, one in a loop each round, one a
// thread waits at once per arrival, a KILL's own thread's statements once.
TEST_F(TestbenchE2eTest, CoverageCountsEveryArrivalOverEveryBench) {
  NEEDTOOL(tool("command -v genhtml && command -v lcov").status == 0, "lcov");
  const std::string script =
      "DELAY 0.1\nOUTPUT 0 .......1\n$\nWAIT 0 1.......\nNOTATE never\n$\n"
      "NAME me\nDELAY 0.25\nKILL me\nNOTATE after the kill\n$\n$\n";
  Run r = runs(script, {{"a.qtb", "end 1\n"}, {"b.qtb", "end 0.5\n"}}, {"--coverage=c.info"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "coverage: 6 of 8 statements ran\n");
  std::string info = readall(path("c.info"));
  EXPECT_EQ(info, "TN:testbench\nSF:" + std::filesystem::canonical(path("t.qun")).string() +
                      "\nDA:1,15\nDA:2,13\nDA:4,2\nDA:5,0\nDA:7,6\nDA:8,6\nDA:9,4\n"
                      "DA:10,0\nLF:8\nLH:6\nend_of_record\n");
  Run summary = tool("lcov --summary c.info");
  EXPECT_EQ(summary.status, 0) << summary.out;
  EXPECT_NE(summary.out.find("lines......: 75.0% (6 of 8 lines)"), std::string::npos)
      << summary.out;
  Run html = tool("genhtml -q -o html c.info");
  EXPECT_EQ(html.status, 0) << html.out;
  EXPECT_TRUE(std::filesystem::exists(path("html/index.html")));
}

// spawn skip runs no command and says so; by T spawn TEXT holds for a
// command reached in time, skipped or run, and fails for one never reached.
TEST_F(TestbenchE2eTest, SpawnsAreSkippedOrRunAndExpected) {
  const char *script = "DELAY 0.2\nSPAWN touch made\nNOTATE after\nDELAY 16383\n$\n$\n";
  const char *expects = "by 0.3 spawn touch made\nby 0.1 spawn touch made\nby 1 spawn touch\n";
  const char *failures =
      "b.qtb:4: by 0.100 s no SPAWN of \"touch made\" was reached\n"
      "b.qtb:5: by 1.000 s no SPAWN of \"touch\" was reached\n"
      "testbench: 1 of 3 expectations held\n";
  const struct {
    const char *mode;
    bool made;
    const char *out;
  } cases[] = {
      {"spawn skip", false, "testbench: SPAWN touch made (skipped)\nafter\n"},
      {"spawn run", true, "after\n"},
      {"", true, "after\n"},  // the default
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mode);
    std::filesystem::remove(path("made"));
    Run r = run(script, std::string("end 1\n") + c.mode + "\n" + expects);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, failures);
    EXPECT_EQ(std::filesystem::exists(path("made")), c.made);
  }
}

// A bench drives and checks flag banks like ports; a port that is no bank
// of the run is refused at its line, and report options that cannot hold
// end the start-up.
TEST_F(TestbenchE2eTest, FlagLinesAndRefusals) {
  const char *script = "WAIT 2 .......1\nOUTPUT 0 .......1\nOUTPUT 2 1.......\n$\n$\n";
  Run r = run(script,
              "end 1\nat 0.5 flag 2 .......1\nat 0.4 expect 0 .......0\nat 0.6 expect 0 .......1\n"
              "from 0.6 to 1 expect 2 1......1\nat 0.7 expect 2 0.......\n",
              {"--flags=2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "b.qtb:6: at 0.700 s flag bank 2 holds 10000001, expected 0.......\n"
            "testbench: 3 of 4 expectations held\n");
  const struct {
    std::string bench;
    std::vector<std::string> flags;
    std::string err;
  } refused[] = {
      {"end 1\nat 0 flag 2 1\n", {}, "b.qtb:2: port 2 is no flag bank of this run (--flags=2 makes it one)"},
      {"end 1\nat 0 expect 3 1\n", {"--flags=2"},
       "b.qtb:2: port 3 is no flag bank of this run (--flags=3 makes it one)"},
      {"end 1\nat 0 flag 1 1\n", {"--flags=2"},
       "b.qtb:2: port 1 is no flag bank (banks are ports 2 to 9, named by --flags=)"},
      {"end 1\nat 0 input 2 1\n", {"--flags=2"},
       "b.qtb:2: flag bank 2 has no input bits: 'at T flag 2 PATTERN' sets them"},
      {"end 1\n", {"--testbench=b.qtb", "--trace=x.vcd"},
       "--trace= records one run: give each --testbench= a run of its own to trace it"},
      {"end 1\n", {"--junit=t.qun"}, "--junit=t.qun: it is the run's own script"},
      {"end 1\n", {"--tap=x", "--coverage=x"}, "--coverage=x: --tap= writes that file already"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.err);
    Run bad = run(script, c.bench, c.flags);
    EXPECT_EQ(bad.status, 255);
    EXPECT_EQ(bad.err, c.err + "\n");
  }
  writeall(path("t.qun"), script);
  PlainRun plain = runplain(dir, {"--junit=j.xml", "t"});
  EXPECT_EQ(plain.status, 255);
  EXPECT_EQ(plain.err, "--junit=j.xml reports on benches: it needs --testbench=FILE\n");
}

}  // namespace
