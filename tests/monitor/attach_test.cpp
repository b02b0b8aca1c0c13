// What the monitor makes of a published region, built in memory as the
// program lays it out: each thread's state and statement, its row, a
// port's lamps with forced bits and the cursor; and what it refuses of a
// region someone else has written: forged layouts, a file cut short, texts
// meant for the terminal, forcing that races another monitor's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "compiler/token.h"
#include "monitor/attach.h"
#include "tests/support/files.h"
#include "text/printable.h"

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
  RegionNote notes[REGION_NOTES];
};

// Thread t stands at token t, which comes from script line 10 + t; the
// last thread has no statements.
struct Region {
  Layout l{};
  Attached a;

  Region() {
    RegionHeader &h = l.head;
    h.magic = REGION_MAGIC;
    h.version = REGION_VERSION;
    h.pid = 4321;
    h.size = sizeof l;
    h.clockms = CLOCKMS;
    h.passrate = 1234567;
    h.lastkey = 't';
    h.threadsat = offsetof(Layout, threads);
    h.tokensat = offsetof(Layout, tokens);
    h.stringsat = offsetof(Layout, strings);
    h.notesat = offsetof(Layout, notes);
    h.threadcount = THREADS;
    h.tokencount = TOKENS;
    h.stringcount = STRINGS;
    for (int t = 0; t < TOKENS; ++t) {
      l.tokens[t] = {CASES[t].token, 10 + t};
      l.threads[t].at = t;
      l.threads[t].timer = CASES[t].timer;
      l.threads[t].loops = static_cast<uint32_t>(t * 1000);
    }
    l.threads[TOKENS].at = -1;
    strcpy(l.threads[0].name, "follower");
    memset(l.threads[1].name, 'x', REGION_NAME);  // no NUL: cut at its end
    for (int i = 0; i < STRINGS; ++i) strcpy(l.strings[i], TEXTS[i]);
    std::string why;
    EXPECT_EQ(adopt(&l, sizeof l, 4321, &a, &why), 0) << why;
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
    // Columns: number (3), name (16), state (21), loops (7), line (3), statement.
    ASSERT_GE(row.size(), 60u) << row;
    std::string state = row.substr(23, 21);
    state.erase(state.find_last_not_of(' ') + 1);
    EXPECT_EQ(state, CASES[t].state) << row;
    EXPECT_EQ(std::stoul(row.substr(46, 7)), t * 1000u) << row;
    EXPECT_EQ(row.substr(55, 5), " " + std::to_string(10 + t) + ": ") << row;
    EXPECT_EQ(row.substr(60), CASES[t].statement) << row;
  }
  EXPECT_EQ(rows[0], "  0  follower          WAIT 0 1.......              0   10: WAIT 0 1.......");
  EXPECT_EQ(rows[1], "  1  xxxxxxxxxxxxxxxx  running                   1000   11: OUTPUT 1 ......10");
  EXPECT_EQ(rows[2].substr(0, 23), "  2  thread2           ");
  EXPECT_EQ(rows[THREADS - 1],
            " 14  thread14          idle                         0    0: (no statements)");
}

TEST(MonitorRender, APortShowsItsLampsForcedBitsAndTheCursor) {
  Region r;
  RegionHeader *h = &r.l.head;
  h->port[1] = {0x81, 0x05, 0x87, 0x03, 1, 0, 0, 0};  // no pins sampled yet
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
      "  read",
      "  in pin      11  10  12  13  15  16  14   1",
      "",
  };
  ASSERT_GT(screen.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(screen.begin(), screen.begin() + expected.size()), expected);
}

// A row per flag bank, bit 7 first, the cursor on a bank's bit; none
// without banks, and bits of ports that are no bank are never shown.
TEST(MonitorRender, EachFlagBankShowsItsBitsAsLamps) {
  Region r;
  r.l.head.flagbanks = (1u << 2) | (1u << 5) | (1u << 0);
  r.l.head.flags[2] = 0x81;
  r.l.head.flags[5] = 0x0F;
  r.l.head.flags[0] = 0xFF;
  Snapshot s;
  ASSERT_TRUE(snapshot(r.a, &s));
  std::vector<std::string> screen = renderhead(r.a, s, 5 * 8 + 0);
  const std::vector<std::string> expected = {
      "",
      "flag banks     7   6   5   4   3   2   1   0",
      "  bank 2       #   .   .   .   .   .   .   #",
      "  bank 5       .   .   .   .   #   #   #  >#",
      "",
      "  #  thread            state                    loops  line",
  };
  ASSERT_GE(screen.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(screen.end() - static_cast<long>(expected.size()), screen.end()), expected);
  r.l.head.flagbanks = 0;
  ASSERT_TRUE(snapshot(r.a, &s));
  for (const std::string &line : renderhead(r.a, s, -1)) EXPECT_EQ(line.find("bank"), std::string::npos) << line;
}

// In the real-time mode a line of its own: the margin learned, the
// lateness so far, and a budget too small for the margin when it was.
TEST(MonitorRender, TheRealtimeModeShowsItsMarginAndLateness) {
  Region r;
  r.l.head.realtime = 1;
  r.l.head.marginus = 120;
  r.l.head.worstlateus = 340;
  r.l.head.lateover100 = 2;
  for (uint32_t cut : {0u, 1u}) {
    r.l.head.budgetshort = cut;
    Snapshot s;
    ASSERT_TRUE(snapshot(r.a, &s));
    std::vector<std::string> screen = renderhead(r.a, s, -1);
    EXPECT_EQ(screen[1], std::string("real-time margin 120 us   latest wake-up 340 us after its deadline   "
                                     "2 over 100 us") + (cut ? "   budget too small for the margin" : ""));
  }
}

// The lamps show the lines; the row below, what the threads last read
// where that differs (here a bit forced to 1 whose line is low), once a
// thread has read the port at all.
TEST(MonitorRender, LampsShowThePinsAndTheThreadsReadWhereItDiffers) {
  Region r;
  r.l.head.port[0] = {0x0F, 0x8F, 0, 0, 1, 0x0F, 1, 1};
  r.l.head.forcemask[0] = r.l.head.forcevalue[0] = 0x80;
  r.l.head.forcemask[1] = 0x03;
  r.l.head.forcevalue[1] = 0x01;
  Snapshot s;
  for (uint8_t read : {1, 0}) {
    r.l.head.port[0].read = read;
    ASSERT_TRUE(snapshot(r.a, &s));
    std::vector<std::string> screen = renderhead(r.a, s, -1);
    EXPECT_EQ(screen[6], "  in         F .   .   .   .   #   #   #   #");
    EXPECT_EQ(screen[7], read ? "  read         #" : "  read");
  }
  EXPECT_EQ(forcedbits(s), "port 0 bits 1....... and port 1 bits ......01");
}

// Nothing from the region reaches the terminal as a control character
// (KEY <ESC>, a NOTATE's escape sequence): caret or \x forms; printable
// UTF-8 stays as it is.
TEST(MonitorRender, TextsFromTheRegionReachTheTerminalPrintable) {
  const std::pair<const char *, const char *> SHOWN[] = {
      {"\x1b[2J", "^[[2J"}, {"a\x07\x7f\tb", "a^G^?^Ib"}, {"\x9b" "31m", "\\x9b31m"}, {"\xc2\x9b", "\\xc2\\x9b"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}, {"\xe2\x82", "\\xe2\\x82"}, {"\xc0\xaf", "\\xc0\\xaf"},
  };
  for (const auto &t : SHOWN) EXPECT_EQ(printable(t.first), t.second) << t.first;
  Region r;
  r.l.tokens[0].token = maketoken(OP_KEY, 0x1b, 0);
  strcpy(r.l.strings[1], "\x1b]0;owned\x07");
  std::string why;  // the tables are copied when the region is adopted
  ASSERT_EQ(adopt(&r.l, sizeof r.l, 4321, &r.a, &why), 0) << why;
  Snapshot s;
  ASSERT_TRUE(snapshot(r.a, &s));
  std::vector<std::string> rows = threadrows(render(r.a, s, -1));
  EXPECT_EQ(rows[0], "  0  follower          KEY ^[                       0   10: KEY ^[");
  EXPECT_EQ(rows[9].substr(60), "NOTATE ^[]0;owned^G");
}

// Forged layouts, each refused before any of it is used.
TEST(MonitorAdopt, AForgedRegionIsRefusedWithItsFault) {
  const struct {
    const char *what;
    void (*forge)(Layout &l, size_t &size);
    const char *reason;
  } FORGERIES[] = {
      {"negative count", [](Layout &l, size_t &) { l.head.threadcount = -1; }, "a count out of range"},
      {"huge thread count", [](Layout &l, size_t &) { l.head.threadcount = INT32_MAX; }, "a table out of place"},
      {"huge text count", [](Layout &l, size_t &) { l.head.stringcount = STRINGS + 1; }, "a table out of place"},
      {"threads past the end", [](Layout &l, size_t &) { l.head.threadsat = UINT32_MAX - 3; }, "a table out of place"},
      {"threads over the header", [](Layout &l, size_t &) { l.head.threadsat = 8; }, "a table out of place"},
      {"tokens over the threads", [](Layout &l, size_t &) { l.head.tokensat = l.head.threadsat; },
       "a table out of place"},
      {"tokens misaligned", [](Layout &l, size_t &) { l.head.tokensat += 2, --l.head.tokencount; },
       "a table out of place"},
      {"notes over the texts", [](Layout &l, size_t &) { l.head.notesat -= REGION_TEXT; }, "a table out of place"},
      {"notes past the end", [](Layout &l, size_t &) { l.head.notesat += sizeof(RegionNote); },
       "a table out of place"},
      {"notes misaligned", [](Layout &l, size_t &size) { ++l.head.notesat, ++l.head.size, ++size; },
       "a table out of place"},
      {"text without its end", [](Layout &l, size_t &) { memset(l.strings[2], 'x', REGION_TEXT); },
       "a text without its end"},
      {"another version", [](Layout &l, size_t &) { ++l.head.version; }, "another version, size or process"},
      {"another process", [](Layout &l, size_t &) { l.head.pid = 1; }, "another version, size or process"},
      {"file shorter than a header", [](Layout &, size_t &size) { size = sizeof(RegionHeader) - 1; }, "its size"},
  };
  for (const auto &f : FORGERIES) {
    Region r;
    size_t size = sizeof r.l;
    f.forge(r.l, size);
    Attached a;
    std::string why;
    EXPECT_EQ(adopt(&r.l, size, 4321, &a, &why), -1) << f.what;
    EXPECT_EQ(why, std::string("process 4321 publishes nothing a monitor can read (") + f.reason + ")") << f.what;
  }
}

// A region file cut short: adopting it is refused; a monitor attached
// before loses it without a fault (SIGBUS), forcing included.
TEST(MonitorAdopt, ARegionCutShortIsLostNotAFault) {
  std::string path = maketempdir("quonregion") + "/region";
  Region r;
  writeall(path, std::string(reinterpret_cast<const char *>(&r.l), sizeof r.l));
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  void *mapped = mmap(nullptr, sizeof r.l, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  Attached a;
  std::string why;
  ASSERT_EQ(adopt(mapped, sizeof r.l, 4321, &a, &why), 0) << why;
  ASSERT_EQ(ftruncate(fd, 0), 0);
  force(a, 0, 0x80, 0x80);
  EXPECT_TRUE(a.lost);
  Snapshot s;
  a.lost = false;
  EXPECT_FALSE(snapshot(a, &s));
  EXPECT_TRUE(a.lost);
  EXPECT_EQ(adopt(mapped, sizeof r.l, 4321, &a, &why), -1);
  EXPECT_NE(why.find("(its region was cut short)"), std::string::npos) << why;
  munmap(mapped, sizeof r.l);
  close(fd);
  unlink(path.c_str());
  rmdir(path.substr(0, path.rfind('/')).c_str());
}

// Two monitors forcing and releasing other bits of one port at once: each
// update is atomic, so neither ever finds its own bits undone.
TEST(MonitorForce, MonitorsForcingAtOnceLoseNoUpdate) {
  Region r;
  int lost[2] = {0, 0};
  auto monitor = [&r, &lost](int who) {
    Attached a = r.a;  // a monitor of its own on the same region
    uint8_t mine = who == 0 ? 0x0F : 0xF0, *mask = &r.l.head.forcemask[1], *value = &r.l.head.forcevalue[1];
    for (int i = 0; i < 100000; ++i) {
      uint8_t to = static_cast<uint8_t>(i * 0x11) & mine;
      force(a, 1, mine, to);
      if ((__atomic_load_n(mask, __ATOMIC_RELAXED) & mine) != mine) ++lost[who];
      if ((__atomic_load_n(value, __ATOMIC_RELAXED) & mine) != to) ++lost[who];
      release(a, 1, mine);
      if ((__atomic_load_n(mask, __ATOMIC_RELAXED) & mine) != 0) ++lost[who];
    }
  };
  std::thread one(monitor, 0), two(monitor, 1);
  one.join();
  two.join();
  EXPECT_EQ(lost[0] + lost[1], 0);
}

}  // namespace
