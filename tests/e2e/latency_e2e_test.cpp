// The latency report end to end on the built quon-sim: its figures and
// verdict as text and as JSON, the plain loop alone without the privilege
// for the real-time mode, and the combinations it refuses before anything
// runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

class LatencyE2eTest : public E2eTest {
 protected:
  PlainRun runas(int uid, const std::vector<std::string> &args) { return runplain(dir, args, uid); }
};

TEST_F(LatencyE2eTest, PrintsTheFiguresOfEachLoopAndAVerdict) {
  chmod(dir.c_str(), 0777);
  for (int uid : {-1, 65534}) {
    if (uid >= 0 && geteuid() != 0) continue;  // another user needs root to become
    bool mode = uid < 0 && geteuid() == 0;
    PlainRun r = runas(uid, {"--latency-test=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Latency test: DELAYs of 1 ms for 1 s in each loop; kernel ", 0), 0u) << r.out;
    // About a thousand DELAYs of 1 ms in a second, however loaded.
    unsigned long delays = 0;
    EXPECT_EQ(sscanf(r.out.c_str() + r.out.find("\n  plain loop"), "\n  plain loop %lu", &delays), 1);
    EXPECT_GT(delays, 50u) << r.out;
    EXPECT_LE(delays, 1001u) << r.out;
    EXPECT_NE(r.out.find("\nVerdict: "), std::string::npos) << r.out;
    if (mode) {
      EXPECT_NE(r.out.find("\n  --realtime "), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(" margin "), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("Verdict: With --realtime a script here can count on DELAYs ending within "),
                std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.out.find("  --realtime   not applied (SCHED_FIFO refused"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("the real-time mode was not applied"), std::string::npos) << r.out;
      EXPECT_NE(r.err.find("realtime: not applied"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(exists(path("QUON.log"))) << "no script, no log";
  }
}

// The report read by node's strict JSON parser (node is what the editor
// grammars' check runs on too); it prints the members the test looks at.
TEST_F(LatencyE2eTest, JsonIsOneObjectWithTheFigures) {
  const std::string READ =
      "const d = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
      "const f = ['measured','delays','median_us','p99_us','p999_us','worst_us','over_100us','over_1ms'];"
      "const missing = [...f.map(k => 'plain.' + k), ...[...f, 'applied', 'margin_us', 'budget_short']"
      ".map(k => 'realtime.' + k), 'seconds', 'kernel', 'throttling', 'verdict']"
      ".filter(k => k.split('.').reduce((o, m) => o === undefined ? o : o[m], d) === undefined);"
      "console.log(missing.join(' ') || 'whole', d.seconds, d.plain.measured, d.plain.delays > 50,"
      " d.realtime.applied, d.realtime.measured, d.verdict.split(' ').slice(0, 3).join(' '));";
  writeall(path("read.js"), READ);
  int status = 0;
  std::string seen = capture("cd " + dir + " && " + QUON_SIM_PATH +
                                 " --latency-test=1 --json 2>/dev/null | node read.js",
                             &status);
  EXPECT_EQ(status, 0) << seen;
  EXPECT_EQ(seen, geteuid() == 0 ? "whole 1 true true true true With --realtime a\n"
                                 : "whole 1 true true false false In the plain\n");
}

TEST_F(LatencyE2eTest, RefusesWhatItCannotMeanBeforeAnythingRuns) {
  writeall(path("t.qun"), "DELAY 1\n$\n$\n");
  writeall(path("t.qtb"), "");
  struct Case {
    std::vector<std::string> args;
    const char *err;
  } cases[] = {
      {{"--latency-test", "--testbench=t.qtb"},
       "--latency-test runs no script and no port: it cannot be combined with --testbench\n"},
      {{"--check", "--latency-test=2"},
       "--latency-test runs no script and no port: it cannot be combined with --check\n"},
      {{"--latency-test", "--trace=t.vcd"},
       "--latency-test runs no script and no port: it cannot be combined with --trace\n"},
      {{"--latency-test", "t"}, "--latency-test runs a script of its own: leave the script name out\n"},
      {{"--latency-test=0"}, "--latency-test=0: the seconds are a whole number from 1 to 86400\n"},
      {{"--latency-test=1s"}, "--latency-test=1s: the seconds are a whole number from 1 to 86400\n"},
      {{"--json", "t"}, "--json is for --latency-test\n"},
      {{"--realtime-budget=20", "t"}, "--realtime-budget=20 needs --realtime\n"},
      {{"--realtime", "--realtime-budget=0", "t"},
       "--realtime-budget=0: a percentage of a processor from 1 to 100\n"},
      {{"--realtime", "--realtime-budget=101", "t"},
       "--realtime-budget=101: a percentage of a processor from 1 to 100\n"},
  };
  for (const Case &c : cases) {
    PlainRun r = runas(-1, c.args);
    EXPECT_EQ(r.status, 255) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_FALSE(exists(path("QUON.log"))) << c.args[0];
    EXPECT_FALSE(exists(path("t.vcd"))) << c.args[0];
  }
  // A processor the machine does not have is named as such.
  long processors = sysconf(_SC_NPROCESSORS_CONF);
  std::string cpu = std::to_string(processors + 3);
  PlainRun r = runas(-1, {"--realtime", "--cpu=" + cpu, "t"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("--cpu=" + cpu + ": no such processor here (this machine has processors 0", 0), 0u)
      << r.err;
  EXPECT_FALSE(exists(path("QUON.log")));
}

}  // namespace
