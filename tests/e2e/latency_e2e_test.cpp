// The latency report end to end on the built quon-sim: its figures and
// verdict as text and as JSON, the plain loop alone without the privilege
// for the real-time mode, and the combinations it refuses before anything
// runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
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

// A strict reader of one JSON value (RFC 8259): objects become their
// members by name, with nested names as "outer.inner"; false on anything
// that is not JSON.
struct Json {
  const char *c;
  std::map<std::string, std::string> values;  // scalars as written; strings unquoted

  void blank(void) {
    while (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') ++c;
  }
  bool text(std::string *out) {
    if (*c != '"') return false;
    for (++c; *c != '"'; ++c) {
      if (static_cast<unsigned char>(*c) < 0x20) return false;
      if (*c == '\\') {
        ++c;
        if (*c == 'u') {
          for (int i = 1; i <= 4; ++i) {
            if (!isxdigit(static_cast<unsigned char>(c[i]))) return false;
          }
          c += 4;
        } else if (strchr("\"\\/bfnrt", *c) == nullptr || *c == '\0') {
          return false;
        }
      }
      *out += *c;
    }
    ++c;
    return true;
  }
  bool value(const std::string &name) {
    blank();
    if (*c == '{') {
      ++c;
      blank();
      if (*c == '}') return ++c, true;
      for (;;) {
        std::string key;
        blank();
        if (!text(&key)) return false;
        blank();
        if (*c++ != ':' || !value(name.empty() ? key : name + "." + key)) return false;
        blank();
        if (*c == '}') return ++c, true;
        if (*c++ != ',') return false;
      }
    }
    std::string scalar;
    if (*c == '"') {
      if (!text(&scalar)) return false;
    } else {
      const char *from = c;
      if (*c == '-') ++c;
      while (isdigit(static_cast<unsigned char>(*c)) || *c == '.' || *c == 'e' || *c == 'E' ||
             *c == '+' || *c == '-') {
        ++c;
      }
      scalar.assign(from, c);
      for (const char *word : {"true", "false", "null"}) {
        if (c == from && strncmp(c, word, strlen(word)) == 0) scalar = word, c += strlen(word);
      }
      if (scalar.empty() || scalar == "-") return false;
    }
    values[name] = scalar;
    return true;
  }
  bool read(const std::string &json) {
    c = json.c_str();
    if (!value("")) return false;
    blank();
    return *c == '\0';
  }
};

TEST_F(LatencyE2eTest, JsonIsOneObjectWithTheFigures) {
  PlainRun r = runas(-1, {"--latency-test=1", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  Json j;
  ASSERT_TRUE(j.read(r.out)) << r.out;
  std::vector<std::string> figures = {"measured", "delays",  "median_us",  "p99_us",
                                      "p999_us",  "worst_us", "over_100us", "over_1ms"};
  for (const char *loop : {"plain.", "realtime."}) {
    for (const std::string &f : figures) EXPECT_EQ(j.values.count(loop + f), 1u) << loop << f << r.out;
  }
  for (const char *f : {"seconds", "kernel", "throttling", "verdict", "realtime.applied",
                        "realtime.margin_us", "realtime.budget_short"}) {
    EXPECT_EQ(j.values.count(f), 1u) << f << r.out;
  }
  EXPECT_EQ(j.values["seconds"], "1");
  EXPECT_EQ(j.values["plain.measured"], "true");
  EXPECT_GT(atol(j.values["plain.delays"].c_str()), 50);
  bool mode = geteuid() == 0;
  EXPECT_EQ(j.values["realtime.applied"], mode ? "true" : "false");
  EXPECT_EQ(j.values["realtime.measured"], mode ? "true" : "false");
  EXPECT_EQ(j.values["verdict"].rfind(mode ? "With --realtime " : "In the plain loop ", 0), 0u) << r.out;
  // Not JSON: the reader refuses it, so what it accepted above was.
  for (const char *bad : {"{\"a\":1,}", "{\"a\" 1}", "{\"a\":tru}", "{\"a\":\"\x01\"}", "{} x"}) {
    EXPECT_FALSE(Json().read(bad)) << bad;
  }
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
