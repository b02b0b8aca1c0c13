// Reaction time through the test connector, and DELAY lateness on the real
// clock. Both need the moment a byte reaches a data register, from inside a
// pass: the benchmark's port back-end (portio_watch.cpp) hands every write
// to the simulated port and then to watchedwrite below, which stamps the
// writes that change the watched bits only while a figure is being taken.
// Outside those figures the cost is one untaken branch per register write,
// on the interpreted and the hand-written side alike.
#include <sys/resource.h>

#include <cstring>
#include <string>

#include "bench/bench.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "platform/clock.h"
#include "sim/simport.h"

namespace {

constexpr int WATCHES = 2;
struct Watch {
  uint32_t address;  // data register watched
  uint8_t mask;      // bits whose change is stamped
  uint8_t last;      // their level at the last stamp
  uint64_t time;     // when they last changed, ns
  int64_t pass;      // in which pass
  int64_t changes;   // how many changes were stamped
};
int watching = 0;
Watch watches[WATCHES];
int64_t passnumber = 0;

void stampwrite(uint32_t address, uint8_t value) {
  for (Watch &w : watches) {
    if (w.address != address || ((value ^ w.last) & w.mask) == 0) continue;
    w.time = nowns();
    w.last = value;
    w.pass = passnumber;
    ++w.changes;
  }
}

void watch(int i, uint32_t address, uint8_t mask) {
  watches[i] = Watch{address, mask, 0, 0, 0, 0};
}

int pass(void) {
  ++passnumber;
  return mainlooppass();
}

// ---------------------------------------------------------------------------
// Reaction: a writer thread raises a data bit, a waiter thread WAITs for the
// input bit that the test connector links to it and answers on port 1.

// The writer moves when the benchmark changes input bit 7 of port 1 (a pin
// held at a level), so each handover starts between two passes.
const char *WRITER =
    "WAIT 1 1.......\n"
    "OUTPUT 0 .......1\n"
    "WAIT 1 0.......\n"
    "OUTPUT 0 .......0\n"
    "$\n";
const char *WAITER =
    "WAIT 0 .......1\n"
    "OUTPUT 1 ......1.\n"
    "WAIT 0 .......0\n"
    "OUTPUT 1 ......0.\n"
    "$\n";
constexpr int TRIGGER_BIT = 7;
constexpr int64_t GIVE_UP = 1000;  // passes; a handover never takes more than 2

void reaction(int writerfirst) {
  std::string script = writerfirst ? std::string(WRITER) + WAITER
                                   : std::string(WAITER) + WRITER;
  loadtext(script + "$\n");
  simreset();
  mainloopinit();
  watch(0, SIM_BASE0, 0x01);  // the writer's OUTPUT
  watch(1, SIM_BASE1, 0x02);  // the waiter's answer
  int samples = benchopt.reactions * 2;
  double *ns = new double[samples];
  double *passes = new double[samples];
  int n = 0;
  watching = 1;
  for (int i = 0; i < samples; ++i) {
    simadapter[1].stuck[TRIGGER_BIT] = static_cast<int8_t>(i % 2 == 0);
    int64_t answered = watches[1].changes;
    int64_t limit = passnumber + GIVE_UP;
    while (watches[1].changes == answered && passnumber < limit) pass();
    if (watches[1].changes == answered || watches[0].changes != watches[1].changes) {
      fprintf(report, "  SELF-CHECK FAILED: the waiter did not answer the writer\n");
      ++benchfailures;
      break;
    }
    ns[n] = static_cast<double>(watches[1].time - watches[0].time);
    passes[n] = static_cast<double>(watches[1].pass - watches[0].pass);
    ++n;
  }
  watching = 0;
  const char *order = writerfirst ? "waiter after the writer" : "waiter before the writer";
  char name[96];
  snprintf(name, sizeof name, "%s: passes, median", order);
  figure(name, median(passes, n), "passes");
  snprintf(name, sizeof name, "%s: time, median", order);
  figure(name, median(ns, n), "ns");
  snprintf(name, sizeof name, "%s: time, 99th percentile", order);
  figure(name, quantile(ns, n, 0.99), "ns");
  delete[] ns;
  delete[] passes;
}

// The CLOCK_MONOTONIC millisecond at which the program's clock read 0:
// clockms() counts whole milliseconds of that clock from there.
uint64_t clockzeroms(void) {
  for (;;) {
    uint64_t before = nowns() / 1000000u;
    uint32_t ms = clockms();
    uint64_t after = nowns() / 1000000u;
    if (before == after) return before - ms;
  }
}

}  // namespace

void watchedwrite(uint32_t address, uint8_t value) {
  if (watching) stampwrite(address, value);
}

void benchreaction(void) {
  fprintf(report, "\nReaction through the test connector (%d handovers each way, "
          "writer's write to waiter's answer)\n", benchopt.reactions * 2);
  reaction(1);
  reaction(0);
}

namespace {
long involuntaryswitches(void) {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nivcsw;
}
}  // namespace

// DELAY lateness: one thread DELAYs a millisecond and then TOGGLEs a data
// bit. The deadline is the moment the program's clock reaches the thread's
// timer word; the completion is the TOGGLE's write. A DELAY during which
// the scheduler took the processor away is counted apart as well, since its
// lateness is the scheduler's and not the loop's.
void benchdelays(void) {
  fprintf(report, "\nDELAY lateness on the real clock (%d DELAYs of 1 ms, "
          "completion - deadline)\n", benchopt.delays);
  loadtext("DELAY 0.001\nTOGGLE 0 .......1\n$\n$\n");
  simreset();
  mainloopinit();
  watch(0, SIM_BASE0, 0x01);
  watch(1, 0, 0);
  uint64_t zero = clockzeroms();
  double *late = new double[benchopt.delays];
  double *quiet = new double[benchopt.delays];  // not preempted meanwhile
  int n = 0;
  int q = 0;
  uint32_t deadline = 0;
  long switches = involuntaryswitches();
  // Each DELAY ends within a few milliseconds; a run that takes a hundred
  // times longer than all of them together has lost its thread.
  uint64_t giveup = nowns() + static_cast<uint64_t>(benchopt.delays) * 100000000u;
  watching = 1;
  while (n < benchopt.delays) {
    if ((passnumber & 0xFFF) == 0 && nowns() > giveup) break;  // seldom: it costs a pass
    int64_t done = watches[0].changes;
    pass();
    if (watches[0].changes != done && deadline != 0) {
      double due = static_cast<double>((zero + deadline) * 1000000u);
      late[n] = static_cast<double>(watches[0].time) - due;
      long now = involuntaryswitches();  // after the stamp: not in the figure
      if (now == switches) quiet[q++] = late[n];
      switches = now;
      ++n;
      deadline = 0;
    }
    if (prog.threadtimer[0] != 0) deadline = prog.threadtimer[0];
  }
  watching = 0;
  if (n == 0) {
    fprintf(report, "  SELF-CHECK FAILED: no DELAY completed\n");
    ++benchfailures;
    delete[] late;
    delete[] quiet;
    return;
  }
  if (n < benchopt.delays) {
    fprintf(report, "  SELF-CHECK FAILED: only %d DELAYs completed\n", n);
    ++benchfailures;
  }
  figure("lateness, median", median(late, n) / 1000.0, "us");
  double p99 = quantile(late, n, 0.99) / 1000.0;
  figure("lateness, 99th percentile", p99, "us");
  figure("lateness, worst", late[n - 1] / 1000.0, "us");
  figure("DELAYs during which the process was preempted", n - q, "DELAYs");
  if (q > 0) {
    figure("lateness of the others, 99th percentile",
           quantile(quiet, q, 0.99) / 1000.0, "us");
    figure("lateness of the others, worst", quiet[q - 1] / 1000.0, "us");
  }
  target("DELAY lateness, 99th percentile", p99, 1000.0, "us");
  delete[] late;
  delete[] quiet;
}
