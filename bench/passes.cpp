// Cost of one main-loop pass, and the floor under it: a hand-written loop
// that makes the same port accesses, clock reads and key polls as the
// interpreted script, with no tokens at all. The ratio of the two is what
// the token interpretation costs.
#include <cstring>
#include <string>

#include "bench/bench.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "sim/simport.h"
#include "port/port.h"

namespace {

enum FloorKind { FLOOR_DEMO, FLOOR_WAIT, FLOOR_DELAY, FLOOR_OUTPUT };

constexpr int MAX_FLOOR_THREADS = 256;

// --------------------------------------------------------------------------
// Hand-written floors. Each mirrors its script statement by statement: a
// position per thread where the script parks, the DELAY arithmetic of the
// executor, the key poll of the main loop.

struct FloorState {
  int threads;
  int at[MAX_FLOOR_THREADS];          // where each thread is parked
  uint32_t timer[MAX_FLOOR_THREADS];  // DELAY deadline, 0 = none pending
  int key;                            // key of this pass
};
FloorState hand;
volatile uint32_t sink;  // keeps results the script would act on alive

// The executor's DELAY rule: the first visit starts the deadline and parks,
// later visits compare the clock with it.
inline int floordelay(int t, uint32_t ticks) {
  uint32_t deadline = hand.timer[t];
  if (deadline == 0) {
    deadline = clockms() + ticks;
    if (deadline == 0) deadline = ticks > 0 ? 1u : UINT32_MAX;
    hand.timer[t] = deadline;
    return 0;
  }
  if (clockms() - deadline >= 0x80000000u) return 0;
  hand.timer[t] = 0;
  return 1;
}

// Returns 1 when ESC ends the run, as the main loop does.
inline int floorkeypoll(void) {
  if (keyavailable()) {
    hand.key = readkey();
    if (hand.key == KEY_ESC) return 1;
  }
  return 0;
}

// The statements of examples/demo.qun that floordemopass below is written
// for. The demo must compile to exactly these tokens and texts, or the
// hand-written loop is stale and the ratio meaningless.
const char *DEMO_STATEMENTS =
    "NAME banner\n"
    "NOTATE QUON demo: bit 0 blinks, t flips bit 7, ESC quits.\n"
    "DELAY 16383\n"
    "$\n"
    "NAME blinker\n"
    "OUTPUT 0 .......1\n"
    "DELAY 0.5\n"
    "OUTPUT 0 .......0\n"
    "DELAY 0.5\n"
    "$\n"
    "NAME follower\n"
    "WAIT 0 .......1\n"
    "NOTATE follower: input bit 0 went high\n"
    "WAIT 0 .......0\n"
    "NOTATE follower: input bit 0 went low\n"
    "$\n"
    "NAME flipper\n"
    "KEY t\n"
    "TOGGLE 0 1.......\n"
    "$\n"
    "NAME watcher\n"
    "WAIT 0 1.......\n"
    "NOTATE watcher: input bit 7 is on\n"
    "WAIT 0 0.......\n"
    "NOTATE watcher: input bit 7 is off\n"
    "$\n"
    "$\n";

constexpr uint16_t BIT0_ON = 0x0101, BIT0_OFF = 0x0100;
constexpr uint16_t BIT7_ON = 0x8080, BIT7_OFF = 0x8000;

// The demo script, thread by thread: banner, blinker, follower, flipper,
// watcher. Positions count statements; each case falls through to the next
// statement as a step does, and a separator ends the thread's turn.
void floordemopass(void) {
  switch (hand.at[0]) {  // banner
    case 0:
      printf("%s\n", "QUON demo: bit 0 blinks, t flips bit 7, ESC quits.");
      [[fallthrough]];
    case 1:
      if (!floordelay(0, 16383000)) { hand.at[0] = 1; break; }
      hand.at[0] = 0;
      break;
  }
  switch (hand.at[1]) {  // blinker
    case 0:
      portwrite(0, applypattern(portreadback(0), BIT0_ON));
      [[fallthrough]];
    case 1:
      if (!floordelay(1, 500)) { hand.at[1] = 1; break; }
      portwrite(0, applypattern(portreadback(0), BIT0_OFF));
      [[fallthrough]];
    case 3:
      if (!floordelay(1, 500)) { hand.at[1] = 3; break; }
      hand.at[1] = 0;
      break;
  }
  switch (hand.at[2]) {  // follower
    case 0:
      if (!matchpattern(portinput(0), BIT0_ON)) { hand.at[2] = 0; break; }
      printf("%s\n", "follower: input bit 0 went high");
      [[fallthrough]];
    case 2:
      if (!matchpattern(portinput(0), BIT0_OFF)) { hand.at[2] = 2; break; }
      printf("%s\n", "follower: input bit 0 went low");
      hand.at[2] = 0;
      break;
  }
  if (hand.key == 't') {  // flipper
    printf("KEY (%ld) triggered on %c\n", 3L, 't');
    portwrite(0, togglepattern(portreadback(0), BIT7_ON));
  }
  switch (hand.at[4]) {  // watcher
    case 0:
      if (!matchpattern(portinput(0), BIT7_ON)) { hand.at[4] = 0; break; }
      printf("%s\n", "watcher: input bit 7 is on");
      [[fallthrough]];
    case 2:
      if (!matchpattern(portinput(0), BIT7_OFF)) { hand.at[4] = 2; break; }
      printf("%s\n", "watcher: input bit 7 is off");
      hand.at[4] = 0;
      break;
  }
}

void runfloor(FloorKind kind, int64_t passes) {
  const int threads = hand.threads;
  for (int64_t p = 0; p < passes; ++p) {
    if (floorkeypoll()) return;
    switch (kind) {
      case FLOOR_DEMO:
        floordemopass();
        break;
      case FLOOR_WAIT:  // WAIT 0 1....... on every thread; it never holds
        for (int t = 0; t < threads; ++t) {
          if (matchpattern(portinput(0), BIT7_ON)) sink = sink + 1;
        }
        break;
      case FLOOR_DELAY:  // DELAY 1000 on every thread
        for (int t = 0; t < threads; ++t) {
          if (floordelay(t, 1000000)) sink = sink + 1;
        }
        break;
      case FLOOR_OUTPUT:  // OUTPUT 0 .......1 then TOGGLE 0 ......1. per thread
        for (int t = 0; t < threads; ++t) {
          portwrite(0, applypattern(portreadback(0), BIT0_ON));
          portwrite(0, togglepattern(portreadback(0), 0x0202));
        }
        break;
    }
    hand.key = 0;
  }
}

void startfloor(int threads) {
  simreset();
  memset(&hand, 0, sizeof hand);
  hand.threads = threads;
}

void runinterpreted(int64_t passes) {
  for (int64_t p = 0; p < passes; ++p) {
    if (mainlooppass() != 0) return;
  }
}

void startinterpreted(void) {
  simreset();
  mainloopinit();
}

// --------------------------------------------------------------------------
// The cases

struct PassCase {
  const char *name;
  std::string script;
  FloorKind kind;
  int threads;
};

std::string repeatthread(const char *body, int threads) {
  std::string script;
  for (int t = 0; t < threads; ++t) script += body;
  return script + "$\n";
}

// The hand-written floor must make exactly the port accesses the script
// makes, or the ratio compares different work: compare the register
// traces of the first passes from power-on.
int sameaccesses(const PassCase &c) {
  constexpr int CHECKPASSES = 3;
  startinterpreted();
  simtracing = 1;
  runinterpreted(CHECKPASSES);
  SimAccess interpreted[SIM_TRACE];
  memcpy(interpreted, simtrace, sizeof simtrace);
  int interpretedcount = simtracecount;

  startfloor(c.threads);
  simtracing = 1;
  runfloor(c.kind, CHECKPASSES);
  int same = simtracecount == interpretedcount;
  int shown = simtracecount < SIM_TRACE ? simtracecount : SIM_TRACE;
  for (int i = 0; same && i < shown; ++i) {
    same = simtrace[i].address == interpreted[i].address &&
           simtrace[i].value == interpreted[i].value &&
           simtrace[i].write == interpreted[i].write;
  }
  simtracing = 0;
  if (!same) {
    fprintf(report, "  SELF-CHECK FAILED: the hand-written loop for %s makes "
            "other port accesses than the script (%d against %d)\n",
            c.name, simtracecount, interpretedcount);
    ++benchfailures;
  }
  return same;
}

// Returns 1 when script compiles to the same tokens and texts as
// DEMO_STATEMENTS; the record is left holding script.
int isdemo(const std::string &script) {
  loadtext(DEMO_STATEMENTS);
  std::string expected(reinterpret_cast<const char *>(prog.tokens),
                       sizeof(Token) * static_cast<size_t>(prog.tokencount));
  for (int32_t i = 0; i < prog.stringcount; ++i) expected += prog.strings[i] + std::string("|");
  loadtext(script);
  std::string got(reinterpret_cast<const char *>(prog.tokens),
                  sizeof(Token) * static_cast<size_t>(prog.tokencount));
  for (int32_t i = 0; i < prog.stringcount; ++i) got += prog.strings[i] + std::string("|");
  return got == expected;
}

// Passes per timed sample: enough for the sample to last benchopt.samplems.
int64_t samplepasses(void) {
  if (benchopt.smoke) return 50;
  int64_t passes = 64;
  for (;;) {
    startinterpreted();
    uint64_t t0 = nowns();
    runinterpreted(passes);
    double ms = static_cast<double>(nowns() - t0) / 1e6;
    if (ms >= benchopt.samplems || passes >= (int64_t{1} << 30)) {
      return passes;
    }
    passes *= ms < benchopt.samplems / 8 ? 8 : 2;
  }
}

struct PassFigures {
  double interpreted;  // ns per pass, median
  double floor;        // ns per pass, median
  double ratio;        // median of the per-repetition ratios
};

PassFigures measure(const PassCase &c) {
  PassFigures out = {0, 0, 0};
  if (c.kind == FLOOR_DEMO && !isdemo(c.script)) {
    fprintf(report, "  SELF-CHECK FAILED: %s no longer compiles to the statements "
            "that its hand-written loop mirrors; update both together\n",
            benchopt.demo);
    ++benchfailures;
    return out;
  }
  long logbytes = loadtext(c.script);
  if (logbytes != 0 || prog.threadcount != c.threads) {
    fprintf(report, "  SELF-CHECK FAILED: %s loads %d threads (expected %d) "
            "with %ld bytes of errors\n", c.name, prog.threadcount, c.threads,
            logbytes);
    ++benchfailures;
    return out;
  }
  sameaccesses(c);
  int64_t passes = samplepasses();
  constexpr int64_t WARMUP = 16;  // past the first visits of every DELAY
  constexpr int MAX_REPS = 64;
  double inter[MAX_REPS], flo[MAX_REPS], ratio[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  for (int r = 0; r < reps; ++r) {
    startinterpreted();
    runinterpreted(WARMUP);
    uint64_t t0 = nowns();
    runinterpreted(passes);
    uint64_t t1 = nowns();
    startfloor(c.threads);
    runfloor(c.kind, WARMUP);
    uint64_t t2 = nowns();
    runfloor(c.kind, passes);
    uint64_t t3 = nowns();
    inter[r] = static_cast<double>(t1 - t0) / static_cast<double>(passes);
    flo[r] = static_cast<double>(t3 - t2) / static_cast<double>(passes);
    ratio[r] = inter[r] / flo[r];
  }
  out.interpreted = median(inter, reps);
  out.floor = median(flo, reps);
  out.ratio = median(ratio, reps);
  char name[96];
  snprintf(name, sizeof name, "%s, interpreted", c.name);
  figure(name, out.interpreted, "ns/pass");
  snprintf(name, sizeof name, "%s, hand-written", c.name);
  figure(name, out.floor, "ns/pass");
  snprintf(name, sizeof name, "%s, interpreted / hand-written", c.name);
  figure(name, out.ratio, "x");
  fflush(stdout);  // notes printed by the script stay in the sink
  return out;
}

}  // namespace

void benchpasses(void) {
  fprintf(report, "\nMain-loop pass on the simulated port (median of %d samples "
          "of about %g ms each)\n", benchopt.repetitions, benchopt.samplems);
  std::string demo = readwholefile(benchopt.demo);
  if (demo.empty()) {
    fprintf(report, "  SELF-CHECK FAILED: cannot read the demo script %s\n",
            benchopt.demo);
    ++benchfailures;
  }
  const char *WAIT = "WAIT 0 1.......\n$\n";
  const PassCase cases[] = {
      {"demo script (5 threads)", demo, FLOOR_DEMO, 5},
      {"1 thread at a WAIT that does not hold", repeatthread(WAIT, 1), FLOOR_WAIT, 1},
      {"8 threads at a WAIT", repeatthread(WAIT, 8), FLOOR_WAIT, 8},
      {"64 threads at a WAIT", repeatthread(WAIT, 64), FLOOR_WAIT, 64},
      {"256 threads at a WAIT", repeatthread(WAIT, 256), FLOOR_WAIT, 256},
      {"256 threads at a running DELAY", repeatthread("DELAY 1000\n$\n", 256),
       FLOOR_DELAY, 256},
      {"8 threads doing OUTPUT and TOGGLE",
       repeatthread("OUTPUT 0 .......1\nTOGGLE 0 ......1.\n$\n", 8), FLOOR_OUTPUT, 8},
  };
  PassFigures figures[sizeof cases / sizeof cases[0]];
  int n = 0;
  for (const PassCase &c : cases) {
    if (c.script.size() <= 2) continue;
    figures[n++] = measure(c);
  }
  if (n != sizeof cases / sizeof cases[0]) return;
  target("demo script: interpreted / hand-written", figures[0].ratio, 2.0, "x");
  target("64 WAIT threads: interpreted / hand-written", figures[3].ratio, 2.0, "x");
  target("256 WAIT threads / 1 WAIT thread, per pass",
         figures[4].interpreted / figures[1].interpreted, 300.0, "x");
}
