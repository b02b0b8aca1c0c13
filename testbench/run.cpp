// The testbench run: the main loop's passes in simulated time. Each pass
// takes BENCH_STEPUS; a pass in which no thread moved (every one parked
// where it was, none sent back to its start) and no key waits changes
// nothing until the next bench event or DELAY deadline, so the clock jumps
// there. The same script and bench give the same run on every machine.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <vector>

#include "compiler/token.h"
#include "core/fatal.h"
#include "core/tables.h"
#include "executor/pass.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/portio.h"
#include "port/port.h"
#include "port/safe.h"
#include "testbench/testbench.h"
#include "testbench/watch.h"

namespace {

Testbench *bench = nullptr;
uint64_t now = 0;

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

void failed(const BenchExpect &e, const std::string &what) {
  fprintf(stderr, "%s:%d: %s\n", bench->name.c_str(), e.line, what.c_str());
}

// The bench takes the driven bits off their data lines: each pin is held
// at the level that makes the threads read the wanted value (found by
// reading the bit with the pin held low, so the calibration in force is
// applied whatever it is).
void drive(const BenchDrive &d) {
  uint32_t base = portaddresses.data[d.port];
  for (int bit = 0; bit < 8; ++bit) {
    if (((d.mask >> bit) & 1) == 0) continue;
    ioholdinput(base, bit, 0);
    int low = (portsample(d.port) >> bit) & 1;
    ioholdinput(base, bit, low ^ ((d.value >> bit) & 1));
  }
}

}  // namespace

bool benchwatching = false;
uint32_t benchloops = 0;

void benchreset(void) {
  benchwatching = false;
  benchloops = 0;
}

void benchnoteslow(const char *text) {
  for (BenchExpect &e : bench->expects) {
    if (e.kind == CHECK_NOTE && !e.checked && now <= e.to && e.text == text) e.checked = true;
  }
}

namespace {

bool matches(const BenchExpect &e) { return matchpattern(portreadback(e.port), e.pattern) != 0; }

// The outputs as they stand at now, before the pass of now runs.
void checkoutputs(void) {
  for (BenchExpect &e : bench->expects) {
    if (e.kind == CHECK_AT && !e.checked && e.from <= now) {
      e.checked = true;
      e.held = matches(e);
      if (!e.held) {
        failed(e, "at " + secs(e.from) + " port " + std::to_string(e.port) + " outputs " +
                      bits(portreadback(e.port)) + ", expected " + e.word);
      }
    }
    if (e.kind == CHECK_WINDOW && e.held && e.from <= now && now <= e.to && !matches(e)) {
      e.held = false;
      std::string from = secs(e.from);
      failed(e, "from " + from.substr(0, from.size() - 2) + " to " + secs(e.to) + " port " +
                    std::to_string(e.port) + " outputs " + bits(portreadback(e.port)) + " at " +
                    secs(now) + ", expected " + e.word);
    }
  }
}

// The next time the bench has something to do after now.
uint64_t nextevent(size_t nextdrive, size_t nextkey) {
  uint64_t next = bench->end;
  if (nextdrive < bench->drives.size()) next = std::min(next, bench->drives[nextdrive].us);
  if (nextkey < bench->keys.size()) next = std::min(next, bench->keys[nextkey].us);
  for (const BenchExpect &e : bench->expects) {
    if (e.kind != CHECK_NOTE && e.from > now) next = std::min(next, e.from);
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
    next = std::min(next, (now / 1000 + left) * 1000);
  }
  return next;
}

}  // namespace

int testbenchrun(Testbench *b) {
  bench = b;
  benchwatching = true;
  now = 0;
  clocksetus(now);
  parkthreads();
  std::deque<int> typed;  // keys waiting to be read, one per pass
  int held = 0;           // a scan code that the next read returns
  size_t nextdrive = 0, nextkey = 0;
  bool escaped = false;
  std::vector<int32_t> before(static_cast<size_t>(prog.threadcount));
  for (;;) {
    while (nextdrive < bench->drives.size() && bench->drives[nextdrive].us <= now) {
      drive(bench->drives[nextdrive++]);
    }
    while (nextkey < bench->keys.size() && bench->keys[nextkey].us <= now) {
      for (int code : bench->keys[nextkey++].codes) typed.push_back(code);
    }
    checkoutputs();
    if (now >= bench->end) break;

    std::copy(prog.threadcurrent, prog.threadcurrent + prog.threadcount, before.begin());
    uint32_t loops = benchloops;
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
    if (runpass(key) == EXIT_ESC) {
      escaped = true;
      break;
    }
    bool still = benchloops == loops && typed.empty() &&
                 std::equal(before.begin(), before.end(), prog.threadcurrent);
    uint64_t next = now + BENCH_STEPUS;
    if (still) next = std::max(next, std::min(nextevent(nextdrive, nextkey), nextdeadline()));
    now = std::min(next, bench->end);
    clocksetus(now);
  }

  safeapply();  // the bench's end is the run's stop
  int total = 0, good = 0;
  for (BenchExpect &e : bench->expects) {
    ++total;
    bool pending = (e.kind == CHECK_WINDOW && e.to > now) || (e.kind != CHECK_WINDOW && !e.checked);
    if (e.kind == CHECK_NOTE && !e.checked && !escaped) {
      e.held = false;
      failed(e, "by " + secs(e.to) + " \"" + e.text + "\" was not printed");
    } else if (pending && escaped && e.held) {
      e.held = false;
      failed(e, "not checked: the run ended by ESC at " + secs(now));
    }
    if (e.held) ++good;
  }
  benchwatching = false;
  fflush(stdout);
  fprintf(stderr, "testbench: %d of %d expectations held\n", good, total);
  return good == total ? 0 : 1;
}
