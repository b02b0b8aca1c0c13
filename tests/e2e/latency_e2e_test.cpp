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

// Whether c starts with one JSON value (RFC 8259); c is moved past it.
bool jsonvalue(const char *&c) {
  auto blank = [&c] { c += strspn(c, " \t\r\n"); };
  auto text = [&c] {
    if (*c != '"') return false;
    for (++c; *c != '"'; ++c) {
      if (static_cast<unsigned char>(*c) < 0x20) return false;
      if (*c == '\\' && (*++c == '\0' || !strchr("\"\\/bfnrtu", *c))) return false;
    }
    return ++c, true;
  };
  blank();
  bool object = *c == '{', array = *c == '[';
  if (object || array) {
    ++c;
    blank();
    if (*c == (object ? '}' : ']')) return ++c, true;
    do {
      blank();
      if (object && (!text() || (blank(), *c++ != ':'))) return false;
      if (!jsonvalue(c)) return false;
      blank();
    } while (*c == ',' && ++c);
    return *c++ == (object ? '}' : ']');
  }
  if (*c == '"') return text();
  for (const char *word : {"true", "false", "null"}) {
    if (strncmp(c, word, strlen(word)) == 0) return c += strlen(word), true;
  }
  char *end = nullptr;
  strtod(c, &end);
  bool number = end != c && (*c == '-' || isdigit(static_cast<unsigned char>(*c)));
  c = end;
  return number;
}

bool isjson(const std::string &s) {
  const char *c = s.c_str();
  if (!jsonvalue(c)) return false;
  c += strspn(c, " \t\r\n");
  return *c == '\0';
}

TEST_F(LatencyE2eTest, JsonIsOneObjectWithTheFigures) {
  for (const char *bad : {"{\"a\":1,}", "{\"a\" 1}", "{\"a\":tru}", "{\"a\":\"\x01\"}", "{} x"}) {
    EXPECT_FALSE(isjson(bad)) << bad;  // so what it accepts below is JSON
  }
  PlainRun r = runas(-1, {"--latency-test=1", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(isjson(r.out)) << r.out;
  auto count = [&r](const std::string &name) {
    size_t n = 0;
    for (size_t at = r.out.find(name); at != std::string::npos; at = r.out.find(name, at + 1)) ++n;
    return n;
  };
  for (const char *figure : {"measured", "delays", "median_us", "p99_us", "p999_us", "worst_us",
                             "over_100us", "over_1ms"}) {
    EXPECT_EQ(count(std::string("\"") + figure + "\":"), 2u) << figure << ": plain and realtime";
  }
  for (const char *field : {"seconds\":1,", "kernel\":\"", "throttling\":\"", "margin_us\":",
                            "budget_short\":", "verdict\":\""}) {
    EXPECT_EQ(count(std::string("\"") + field), 1u) << field << r.out;
  }
  bool mode = geteuid() == 0;
  EXPECT_EQ(count(std::string("\"applied\":") + (mode ? "true" : "false")), 1u) << r.out;
  EXPECT_EQ(count(mode ? "\"verdict\":\"With --realtime " : "\"verdict\":\"In the plain loop "), 1u) << r.out;
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
