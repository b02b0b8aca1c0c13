// What KILLs cost in a pass: a thousand threads under a testbench for one
// simulated second, every named one killing another every millisecond,
// against the same script without its KILLs. A KILL visits the threads it
// sends back, not every thread's name, so the two stay close.
#include <cstdio>
#include <string>

#include "bench/bench.h"
#include "core/tables.h"
#include "testbench/testbench.h"

namespace {

constexpr int THREADS = 1000;
constexpr int NAMED = 255;  // the threads a name can be given to (and texts a KILL needs)

// Thread i (1 to NAMED) is k<i> and kills k<i+1> (the last kills k1) after
// its DELAY; the other threads only wait.
std::string killscript(bool kills) {
  std::string text;
  for (int i = 0; i < THREADS; ++i) {
    if (i >= 1 && i <= NAMED) text += "NAME k" + std::to_string(i) + "\n";
    text += "DELAY 0.001\n";
    if (kills && i >= 1 && i <= NAMED) text += "KILL k" + std::to_string(i % NAMED + 1) + "\n";
    text += "$\n";
  }
  return text + "$\n";
}

double timedkills(bool kills, double seconds) {
  Testbench bench;
  std::string error;
  if (testbenchparse("kills.qtb", "end " + std::to_string(seconds) + "\n", &bench, &error) != 0) {
    fprintf(report, "  SELF-CHECK FAILED: %s\n", error.c_str());
    ++benchfailures;
    return 0;
  }
  loadtext(killscript(kills));
  if (prog.scripterrors != 0 || prog.threadcount != THREADS) {
    fprintf(report, "  SELF-CHECK FAILED: the script did not load as written\n");
    ++benchfailures;
  }
  int verdict = 0;
  double wall = timedbench(&bench, &verdict);
  if (verdict != 0) {
    fprintf(report, "  SELF-CHECK FAILED: the empty testbench did not pass\n");
    ++benchfailures;
  }
  return wall;
}

}  // namespace

void benchkills(void) {
  double seconds = benchopt.smoke ? 0.01 : 1.0;
  fprintf(report, "\nTestbench: %d threads, %d of them each killing another every ms\n", THREADS,
          NAMED);
  constexpr int MAX_REPS = 16;
  double with[MAX_REPS], without[MAX_REPS];
  int reps = benchopt.smoke ? 1 : 3;
  for (int r = 0; r < reps; ++r) {
    without[r] = timedkills(false, seconds) * 1000;
    with[r] = timedkills(true, seconds) * 1000;
  }
  double a = median(without, reps), b = median(with, reps);
  char name[96];
  snprintf(name, sizeof name, "%g simulated s without KILLs, wall time", seconds);
  figure(name, a, "ms");
  snprintf(name, sizeof name, "%g simulated s with KILLs, wall time", seconds);
  figure(name, b, "ms");
  figure("with KILLs / without", a > 0 ? b / a : 0, "x");
}
