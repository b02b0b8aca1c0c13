// What the monitor makes of a published region, built in memory as the
// program lays it out: each thread's state and statement, its row, and a
// port's lamps with forced bits and the cursor.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/token.h"
#include "monitor/attach.h"

namespace {

struct Placed {
  Token token;
  uint32_t timer;         // the thread's DELAY deadline; 0 none
  const char *state;      // the state column
  const char *statement;  // after the line number
};

constexpr uint32_t CLOCKMS = 10000;

const Placed CASES[] = {
    {maketoken(OP_WAIT, 0, 0x8080), 0, "WAIT 0 1.......", "WAIT 0 1......."},
    {maketoken(OP_OUTPUT, 1, 0x0302), 0, "running", "OUTPUT 1 ......10"},
    {maketoken(OP_TOGGLE, 0, 0x0101), 0, "running", "TOGGLE 0 .......1"},
    {maketoken(OP_DELAY, 0, 0x8032), CLOCKMS + 300, "DELAY 0.3 s left", "DELAY 0.5"},
    {maketoken(OP_DELAY, 0, 0x8032), CLOCKMS - 5, "DELAY 0.0 s left", "DELAY 0.5"},
    {maketoken(OP_DELAY, 0, 0x0002), 0, "DELAY", "DELAY 2"},
    {maketoken(OP_REPEAT, 0, 0x0002), 0, "running", "REPEAT 2"},
    {maketoken(OP_KEY, 't', 0), 0, "KEY t", "KEY t"},
    {maketoken(OP_SPAWN, 0, 0), 0, "running", "SPAWN ls -l"},
    {maketoken(OP_NOTATE, 1, 0), 0, "running", "NOTATE went high"},
    {maketoken(OP_KILL, 2, 0), 0, "running", "KILL blinker"},
    {maketoken(OP_KILL, 3, 0), 0, "running", "KILL "},  // no such text
    {maketoken(OP_NAME, 4, 0), 0, "running", "NAME"},
    {SEPARATOR_TOKEN, 0, "running", "$"},
};
constexpr int THREADS = sizeof CASES / sizeof CASES[0] + 1;  // the last one idle
const char *const TEXTS[] = {"ls -l", "went high", "blinker"};

constexpr int TOKENS = THREADS - 1, STRINGS = 3;

// A region in one piece; the monitor finds each table by its offset in the
// header, as in the program's.
struct Layout {
  RegionHeader head;
  RegionThread threads[THREADS];
  RegionToken tokens[TOKENS];
  char strings[STRINGS][REGION_TEXT];
};

// Thread t stands at token t, which comes from script line 10 + t; the
// last thread has no statements.
struct Region {
  Layout l{};
  Attached a;

  Region() {
    RegionHeader &h = l.head;
    h.size = sizeof l;
    h.clockms = CLOCKMS;
    h.passrate = 1234567;
    h.lastkey = 't';
    h.threadsat = offsetof(Layout, threads);
    h.tokensat = offsetof(Layout, tokens);
    h.stringsat = offsetof(Layout, strings);
    h.threadcount = THREADS;
    h.tokencount = TOKENS;
    h.stringcount = STRINGS;
    for (int t = 0; t < TOKENS; ++t) {
      l.tokens[t] = {CASES[t].token, 10 + t};
      l.threads[t].at = t;
      l.threads[t].timer = CASES[t].timer;
    }
    l.threads[TOKENS].at = -1;
    strcpy(l.threads[0].name, "follower");
    memset(l.threads[1].name, 'x', REGION_NAME);  // no NUL: cut at its end
    for (int i = 0; i < STRINGS; ++i) strcpy(l.strings[i], TEXTS[i]);
    a.region = &h;
    a.size = sizeof l;
    a.pid = 4321;
  }
};

// The rows of the thread table, below its heading.
std::vector<std::string> threadrows(const std::vector<std::string> &screen) {
  size_t at = 0;
  while (at < screen.size() && screen[at].find("  #  thread") != 0) ++at;
  EXPECT_LT(at, screen.size()) << "the thread table's heading";
  return std::vector<std::string>(screen.begin() + static_cast<long>(std::min(at + 1, screen.size())),
                                  screen.end());
}

TEST(MonitorRender, EachThreadShowsItsStateAndStatement) {
  Region r;
  Snapshot s;
  ASSERT_TRUE(snapshot(r.a, &s));
  std::vector<std::string> rows = threadrows(render(r.a, s, -1));
  ASSERT_EQ(rows.size(), static_cast<size_t>(THREADS));
  for (int t = 0; t < THREADS - 1; ++t) {
    SCOPED_TRACE(CASES[t].statement);
    const std::string &row = rows[t];
    // Columns: number (3), name (16), state (21), line (3), statement.
    ASSERT_GE(row.size(), 51u) << row;
    std::string state = row.substr(23, 21);
    state.erase(state.find_last_not_of(' ') + 1);
    EXPECT_EQ(state, CASES[t].state) << row;
    EXPECT_EQ(row.substr(46, 5), " " + std::to_string(10 + t) + ": ") << row;
    EXPECT_EQ(row.substr(51), CASES[t].statement) << row;
  }
  EXPECT_EQ(rows[0], "  0  follower          WAIT 0 1.......         10: WAIT 0 1.......");
  EXPECT_EQ(rows[1], "  1  xxxxxxxxxxxxxxxx  running                 11: OUTPUT 1 ......10");
  EXPECT_EQ(rows[2].substr(0, 23), "  2  thread2           ");
  EXPECT_EQ(rows[THREADS - 1],
            " 14  thread14          idle                     0: (no statements)");
}

TEST(MonitorRender, APortShowsItsLampsForcedBitsAndTheCursor) {
  Region r;
  RegionHeader *h = r.a.region;
  h->port[1] = {0x81, 0x05, 0x87, 0x03, 1};
  h->forcemask[1] = 0x04;
  Snapshot s;
  ASSERT_TRUE(snapshot(r.a, &s));
  std::vector<std::string> screen = render(r.a, s, 8 + 2);
  const std::vector<std::string> expected = {
      "QUON 4321   clock 10.000 s   1234567 passes/s   longest pass not timed   key 116",
      "",
      "port 1   status 87   control 03",
      "  bit          7   6   5   4   3   2   1   0",
      "  out          #   .   .   .   .   .   .   #",
      "  out pin      9   8   7   6   5   4   3   2",
      "  in           .   .   .   .   . F>#   .   #",
      "  in pin      11  10  12  13  15  16  14   1",
      "",
  };
  ASSERT_GT(screen.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(screen.begin(), screen.begin() + expected.size()), expected);
}

}  // namespace
