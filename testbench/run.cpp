// The testbench run: the main loop's passes in simulated time. Each pass
// takes BENCH_STEPUS; a pass in which no thread moved (every one parked
// where it was, none sent back to its start) and no key waits changes
// nothing until the next bench event or DELAY deadline, so the clock jumps
// there. The same script and bench give the same run on every machine.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compiler/token.h"
#include "core/fatal.h"
#include "core/tables.h"
#include "executor/pass.h"
#include "core/watch.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/portio.h"
#include "platform/shell.h"
#include "port/port.h"
#include "port/safe.h"
#include "testbench/testbench.h"

namespace {

// The expectations by the time they are visited, so that a pass costs what
// is due then, not what the whole bench holds.
struct Schedule {
  std::vector<size_t> starts;  // at and window ones by their start, file order within
  size_t next = 0;             // the first of starts not yet reached
  std::vector<size_t> open;    // reached and still to check, in file order
  std::unordered_map<std::string_view, std::vector<size_t>> notes;  // by their text
  std::unordered_map<std::string_view, std::vector<size_t>> spawns;  // by their command
};
// The run's whole state; testbenchreset puts it back.
struct BenchRun {
  Testbench *bench = nullptr;
  uint64_t now = 0;    // simulated time
  Schedule plan;
  uint32_t loops = 0;  // threads sent back to their start so far
};
BenchRun tb;

void makeplan(void) {
  tb.plan = Schedule{};
  const std::vector<BenchExpect> &expects = tb.bench->expects;
  for (size_t i = 0; i < expects.size(); ++i) {
    if (expects[i].kind == CHECK_NOTE) tb.plan.notes[expects[i].text].push_back(i);
    else if (expects[i].kind == CHECK_SPAWN) tb.plan.spawns[expects[i].text].push_back(i);
    else tb.plan.starts.push_back(i);
  }
  std::stable_sort(tb.plan.starts.begin(), tb.plan.starts.end(),
                   [&expects](size_t a, size_t b) { return expects[a].from < expects[b].from; });
}

// A time in seconds with three decimals: "0.250 s".
std::string secs(uint64_t us) {
  char text[32];
  snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
  return text;
}

std::string bits(uint8_t byte) {
  std::string text;
  for (int bit = 7; bit >= 0; --bit) text += (byte >> bit) & 1 ? '1' : '0';
  return text;
}

// An expectation failed at now, seen instead of what it expected.
void failed(BenchExpect &e, const std::string &what, const std::string &seen) {
  e.held = false;
  e.message = tb.bench->name + ":" + std::to_string(e.line) + ": " + what;
  e.failedat = tb.now;
  e.seen = seen;
  fprintf(stderr, "%s\n", e.message.c_str());
}

// What an expectation of the outputs looks at: a port's data register, or
// a flag bank's bits.
uint8_t outputs(const BenchExpect &e) {
  return e.port >= FLAG_FIRST ? flagbits(e.port) : portreadback(e.port);
}
std::string shows(const BenchExpect &e) {
  std::string n = std::to_string(e.port);
  return (e.port >= FLAG_FIRST ? "flag bank " + n + " holds " : "port " + n + " outputs ") +
         bits(outputs(e));
}

// The bench takes the driven bits off their data lines: each pin is held
// at the level that makes the threads read the wanted value (found by
// reading the bit with the pin held low, so the calibration in force is
// applied whatever it is).
void drive(const BenchDrive &d) {
  if (d.port >= FLAG_FIRST) {
    flagapply(d.port, static_cast<uint16_t>(d.mask << 8 | d.value));
    return;
  }
  uint32_t base = portaddresses.data[d.port];
  for (int bit = 0; bit < 8; ++bit) {
    if (((d.mask >> bit) & 1) == 0) continue;
    ioholdinput(base, bit, 0);
    int low = (portsample(d.port, nullptr) >> bit) & 1;
    ioholdinput(base, bit, low ^ ((d.value >> bit) & 1));
  }
}

// A NOTATE printed text.
void seenote(const char *text) {
  Testbench *b = tb.bench;
  if (b->keepnotes) {
    if (b->notes.size() < BENCH_NOTES) b->notes.emplace_back(text);
    else ++b->notesleft;
  }
  // The first print of a text decides every expectation of it: those whose
  // time has not passed held, the others never can.
  auto found = tb.plan.notes.find(text);
  if (found == tb.plan.notes.end()) return;
  for (size_t i : found->second) {
    BenchExpect &e = tb.bench->expects[i];
    if (tb.now <= e.to) e.checked = true;
  }
  tb.plan.notes.erase(found);
}

// Every SPAWN under the bench: reached now; its command runs unless the
// bench skips them all.
int seespawn(const char *command) {
  auto found = tb.plan.spawns.find(command);
  if (found != tb.plan.spawns.end()) {
    for (size_t i : found->second) {
      BenchExpect &e = tb.bench->expects[i];
      if (tb.now <= e.to) e.checked = true;
    }
    tb.plan.spawns.erase(found);
  }
  if (!tb.bench->skipspawns) return -1;
  printf("testbench: SPAWN %s (skipped)\n", command);
  return 0;
}

// A thread was sent back to its start (its separator or a KILL): with the
// threads' places, it tells a pass that did nothing.
void seeloop(int32_t, bool) { ++tb.loops; }

const Watcher listener = {
    nullptr,  // pass
    nullptr,  // passend
    nullptr,  // key
    nullptr,  // input
    nullptr,  // output
    nullptr,  // thread
    seenote,  // note
    seeloop,  // loop
    nullptr,  // slept
    nullptr,  // flag
    nullptr,  // keyin
};

bool matches(const BenchExpect &e) { return matchpattern(outputs(e), e.pattern) != 0; }

// Each expectation of the outputs at its time: an at one once, a window at
// every pass while it is open; the failures of one instant in file order.
void checkoutputs(void) {
  size_t opened = tb.plan.open.size();
  while (tb.plan.next < tb.plan.starts.size() &&
         tb.bench->expects[tb.plan.starts[tb.plan.next]].from <= tb.now) {
    tb.plan.open.push_back(tb.plan.starts[tb.plan.next++]);
  }
  if (tb.plan.open.size() != opened) std::sort(tb.plan.open.begin(), tb.plan.open.end());
  for (size_t i : tb.plan.open) {
    BenchExpect &e = tb.bench->expects[i];
    if (e.kind == CHECK_AT && !e.checked) {
      e.checked = true;
      if (!matches(e)) {
        failed(e, "at " + secs(e.from) + " " + shows(e) + ", expected " + e.word,
               bits(outputs(e)));
      }
    }
    if (e.kind == CHECK_WINDOW && e.held && tb.now <= e.to && !matches(e)) {
      std::string from = secs(e.from);
      failed(e,
             "from " + from.substr(0, from.size() - 2) + " to " + secs(e.to) + " " + shows(e) +
                 " at " + secs(tb.now) + ", expected " + e.word,
             bits(outputs(e)));
    }
  }
  auto done = [](size_t i) {
    const BenchExpect &e = tb.bench->expects[i];
    return e.kind == CHECK_AT || !e.held || e.to <= tb.now;
  };
  std::vector<size_t> &open = tb.plan.open;
  open.erase(std::remove_if(open.begin(), open.end(), done), open.end());
}

// The next time the bench has something to do after now.
uint64_t nextevent(size_t nextdrive, size_t nextkey) {
  uint64_t next = tb.bench->end;
  if (nextdrive < tb.bench->drives.size()) next = std::min(next, tb.bench->drives[nextdrive].us);
  if (nextkey < tb.bench->keys.size()) next = std::min(next, tb.bench->keys[nextkey].us);
  if (tb.plan.next < tb.plan.starts.size()) {
    next = std::min(next, tb.bench->expects[tb.plan.starts[tb.plan.next]].from);
  }
  return next;
}

// The earliest running DELAY's deadline, in simulated microseconds.
uint64_t nextdeadline(void) {
  uint64_t next = UINT64_MAX;
  uint32_t ms = clockms();
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    int32_t at = prog.threadcurrent[t];
    if (at < 0 || prog.threadtimer[t] == 0 || tokenop(prog.tokens[at]) != OP_DELAY) continue;
    uint32_t left = prog.threadtimer[t] - ms;
    if (left >= 0x80000000u) left = 0;  // already due
    next = std::min(next, (tb.now / 1000 + left) * 1000);
  }
  return next;
}

}  // namespace

void testbenchreset(void) {
  watchremove(&listener);
  commandstandin(nullptr);
  tb = BenchRun{};
}

namespace {

// The bench as the loop's source of passes: before each pass the drives and
// keys that are due and the expectations of the moment; after it, the
// clock moved on by one pass, or to the next thing that can happen when
// nothing moved.
struct BenchSource {
  std::deque<int> typed;  // keys waiting to be read, one per pass
  int held = 0;           // a scan code that the next read returns
  size_t nextdrive = 0, nextkey = 0;
  std::vector<int32_t> before;  // the threads' places before the pass
  uint32_t loopsbefore = 0;

  int next(void) {
    while (nextdrive < tb.bench->drives.size() && tb.bench->drives[nextdrive].us <= tb.now) {
      drive(tb.bench->drives[nextdrive++]);
    }
    while (nextkey < tb.bench->keys.size() && tb.bench->keys[nextkey].us <= tb.now) {
      for (int code : tb.bench->keys[nextkey++].codes) typed.push_back(code);
    }
    checkoutputs();
    if (tb.now >= tb.bench->end) return LOOP_END;
    std::copy(prog.threadcurrent, prog.threadcurrent + prog.threadcount, before.begin());
    loopsbefore = tb.loops;
    // A key as the terminal gives it: one per pass, a key without a
    // character as 0 now and its scan code at the next key's read.
    int key = -1;
    if (!typed.empty()) {
      if (held != 0) {
        key = held;
        held = 0;
      } else {
        key = typed.front();
        typed.pop_front();
        if (key == 0 && !typed.empty()) {
          held = typed.front();
          typed.pop_front();
        }
      }
    }
    return key;
  }

  void after(void) {
    bool still = tb.loops == loopsbefore && typed.empty() &&
                 std::equal(before.begin(), before.end(), prog.threadcurrent);
    uint64_t then = tb.now + BENCH_STEPUS;
    if (still) then = std::max(then, std::min(nextevent(nextdrive, nextkey), nextdeadline()));
    tb.now = std::min(then, tb.bench->end);
    clocksetus(tb.now);
  }
};

}  // namespace

int testbenchrun(Testbench *b) {
  tb.bench = b;
  makeplan();
  tb.loops = 0;
  watchadd(&listener);
  commandstandin(seespawn);
  tb.now = 0;
  clocksetus(tb.now);
  parkthreads();
  BenchSource source;
  source.before.resize(static_cast<size_t>(prog.threadcount));
  bool escaped = runloop(source) == EXIT_ESC;

  safeapply();  // the bench's end is the run's stop
  const uint64_t end = tb.now;
  int total = 0, good = 0;
  for (BenchExpect &e : tb.bench->expects) {
    ++total;
    bool pending = (e.kind == CHECK_WINDOW && e.to > end) || (e.kind != CHECK_WINDOW && !e.checked);
    bool by = e.kind == CHECK_NOTE || e.kind == CHECK_SPAWN;
    if (by && !e.checked && !escaped) {
      tb.now = e.to;  // where it failed, for the reports
      if (e.kind == CHECK_NOTE) {
        failed(e, "by " + secs(e.to) + " \"" + e.text + "\" was not printed", "not printed");
      } else {
        failed(e, "by " + secs(e.to) + " no SPAWN of \"" + e.text + "\" was reached",
               "not reached");
      }
    } else if (pending && escaped && e.held) {
      tb.now = end;
      failed(e, "not checked: the run ended by ESC at " + secs(end), "the run ended by ESC");
    }
    if (e.held) ++good;
  }
  tb.now = end;
  commandstandin(nullptr);
  watchremove(&listener);
  tb.plan = Schedule{};
  fflush(stdout);
  std::string who = b->named ? b->name + ": " : "";
  fprintf(stderr, "testbench: %s%d of %d expectations held\n", who.c_str(), good, total);
  return good == total ? 0 : 1;
}
