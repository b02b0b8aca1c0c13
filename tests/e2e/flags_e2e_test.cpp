// Flag banks and stamped lines, end to end on the built quon-sim: a bank's
// bits shared by threads within one pass, read back and toggled, shown in
// the trace; a port above 1 without --flags= still ending the run; the
// checker's port warnings beside banks; --stamp's times.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

class FlagsE2eTest : public E2eTest {};

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The identifier of variable name in the trace's scope; "" when none.
std::string varid(const std::string &vcd, const std::string &scope, const std::string &name) {
  std::string in;
  for (const std::string &line : lines(vcd)) {
    std::istringstream w(line);
    std::string a, b, c, d, e;
    w >> a >> b >> c;
    if (a == "$scope") in = c;
    if (a == "$upscope") in = "";
    if (a == "$var" && in == scope && (w >> d >> e) && e == name) return d;
  }
  return "";
}

// The lines of the time block (from its "#" line to the next) in which
// change first appears after the values at time 0.
std::string blockof(const std::string &vcd, const std::string &change) {
  size_t body = vcd.find("$end\n", vcd.find("$dumpvars"));
  size_t at = vcd.find("\n" + change + "\n", body);
  if (body == std::string::npos || at == std::string::npos) return "";
  size_t from = vcd.rfind("\n#", at), to = vcd.find("\n#", at + 1);
  return vcd.substr(from, to == std::string::npos ? std::string::npos : to - from) + "\n";
}

// One thread's OUTPUT to bank 2 releases the WAIT of the thread after it in
// the same pass (same time in the trace, a simulated microsecond a pass);
// TOGGLE and OUTPUT apply to what the bank holds. Banks the script uses
// are traced, bank 9 too; a declared bank it never addresses is not.
TEST_F(FlagsE2eTest, ABanksBitsAreSharedInOnePassReadBackAndTraced) {
  writeall(path("t.qun"), "NAME setter\nDELAY 0.01\nOUTPUT 2 .......1\nDELAY 16383\n$\n"
                          "NAME waiter\nWAIT 2 .......1\nNOTATE released\nTOGGLE 2 1......1\n"
                          "WAIT 2 10000000\nNOTATE toggled\nOUTPUT 2 .1......\nWAIT 2 11000000\n"
                          "NOTATE kept\nDELAY 16383\nOUTPUT 9 1.......\n$\n$\n");
  writeall(path("t.qtb"), "end 0.1\nby 0.05 note kept\n");
  PlainRun r = runplain(dir, {"--flags=2,3,9", "--testbench=t.qtb", "--trace=t.vcd", "t"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "released\ntoggled\nkept\n");
  std::string vcd = readall(path("t.vcd"));
  std::string waiter = varid(vcd, "threads", "waiter"), bit0 = varid(vcd, "port2", "flag0"),
              bit6 = varid(vcd, "port2", "flag6"), bit7 = varid(vcd, "port2", "flag7");
  ASSERT_FALSE(waiter.empty() || bit0.empty() || bit6.empty() || bit7.empty()) << vcd;
  EXPECT_NE(vcd.find("\n0" + bit7 + "\n", vcd.find("$dumpvars")), std::string::npos);  // 0 at start
  // The setter's bit, the waiter's TOGGLE and OUTPUT, and the waiter parked
  // at its last DELAY (line 15), all at the one time of that pass.
  std::string block = blockof(vcd, "1" + bit0);
  for (const std::string &change : {"0" + bit0, "1" + bit7, "1" + bit6, "r15 " + waiter}) {
    EXPECT_NE(block.find("\n" + change + "\n"), std::string::npos) << change << " in" << block;
  }
  EXPECT_NE(varid(vcd, "port9", "flag7"), "");
  EXPECT_EQ(vcd.find("port3"), std::string::npos);
  EXPECT_EQ(varid(vcd, "port2", "out0"), "");  // a bank has no lines
}

// Without --flags=, a port above 1 ends the run at its first use as
// always; the checker warns of it, not of a declared bank.
TEST_F(FlagsE2eTest, APortAboveOneIsABankOnlyWhenDeclared) {
  writeall(path("t.qun"), "WAIT 2 .......1\nOUTPUT 3 .......1\n$\n$\n");
  PlainRun run = runplain(dir, {"t"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.err, "Attempt to input from logical port 2, > max of 1\n");
  const std::string WAIT2 = "t.qun:1: warning: WAIT on logical port 2: only ports 0 and 1 exist;";
  const std::string OUTPUT3 = "t.qun:2: warning: OUTPUT on logical port 3: only ports 0 and 1 ";
  struct Case {
    std::vector<std::string> args, err;  // err: each line's beginning
  } cases[] = {
      {{"--check", "t"}, {WAIT2, OUTPUT3 + "exist;", "t.qun: 0 errors, 2 warnings"}},
      {{"--check", "--flags=2", "t"},
       {OUTPUT3 + "and the flag banks of --flags=2 exist;", "t.qun: 0 errors, 1 warning"}},
      {{"--flags=9,2", "--check", "t"},
       {OUTPUT3 + "and the flag banks of --flags=2,9 exist;", "t.qun: 0 errors, 1 warning"}},
  };
  for (const Case &c : cases) {
    PlainRun r = runplain(dir, c.args);
    EXPECT_EQ(r.status, 1) << c.args[1];
    std::vector<std::string> got = lines(r.err);
    ASSERT_EQ(got.size(), c.err.size()) << r.err;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(c.err[i], 0), 0u) << got[i];
  }
}

// Under a testbench the stamps are its simulated clock, the one DELAY
// counts on: exact; the dump before the run has none. On the real clock
// they rise, 50 ms apart at least, as the DELAY between.
TEST_F(FlagsE2eTest, StampedLinesCarryTheRunsClock) {
  writeall(path("t.qun"), "DELAY 0.25\nNOTATE tick\nOUTPUT 0 .......1\n$\nKEY k\nKILL nobody\n$\n$\n");
  writeall(path("t.qtb"), "end 0.6\nat 0.3 key k\n");
  PlainRun bench = runplain(dir, {"--testbench=t.qtb", "--stamp", "-d", "t"});
  EXPECT_EQ(bench.status, 0) << bench.err;
  size_t run = bench.out.find("\n0.");
  ASSERT_NE(run, std::string::npos) << bench.out;
  EXPECT_EQ(bench.out.substr(run + 1),
            "0.250 tick\n0.250 Outputting 01\n0.300 KEY (1) triggered on k\n"
            "0.300 Tried to Kill non-existing thread 'nobody'\n0.500 tick\n0.500 Outputting 01\n");

  writeall(path("t.qun"), "DELAY 0.05\nNOTATE tick\n$\nDELAY 1\nOUTPUT 3 1\n$\n$\n");
  PlainRun real = runplain(dir, {"--stamp", "t"});
  std::vector<std::string> ticks = lines(real.out);
  ASSERT_GE(ticks.size(), 2u) << real.out;
  long last = -50;
  for (const std::string &t : ticks) {
    size_t space = t.find(' '), point = t.find('.');
    ASSERT_EQ(t.substr(space), " tick") << t;
    ASSERT_EQ(space - point, 4u) << t;  // seconds and three digits of milliseconds
    long ms = atol(t.c_str()) * 1000 + atol(t.c_str() + point + 1);
    EXPECT_GE(ms, last + 50) << real.out;
    last = ms;
  }
}

}  // namespace
