// What a testbench's expectations cost: many of them on a script that
// toggles an output at every pass, so that no pass is skipped by a jump of
// the clock. Each expectation is visited at its time (an at once, a window
// while it is open); the whole bench is never walked at a pass.
#include <cstdio>
#include <string>

#include "bench/bench.h"
#include "testbench/testbench.h"

void benchexpectations(void) {
  int count = benchopt.smoke ? 100 : 10000;
  double span = benchopt.smoke ? 0.01 : 1.0;  // simulated seconds, one pass a microsecond
  fprintf(report, "\nTestbench: %d expectations on a script that toggles an output\n", count);
  // At and window expectations in turn, evenly spread; each holds, since
  // the toggled bit is bit 0 and the expectations look at bit 7.
  std::string text = "end " + std::to_string(span) + "\n";
  double step = span * 0.99 / count;
  for (int i = 0; i < count; ++i) {
    char line[80];
    double t = i * step;
    if (i % 2 == 0) snprintf(line, sizeof line, "at %.6f expect 0 0.......\n", t);
    else snprintf(line, sizeof line, "from %.6f to %.6f expect 0 0.......\n", t, t + step / 2);
    text += line;
  }
  Testbench bench;
  std::string error;
  if (testbenchparse("expect.qtb", text, &bench, &error) != 0) {
    fprintf(report, "  SELF-CHECK FAILED: %s\n", error.c_str());
    ++benchfailures;
    return;
  }
  loadtext("TOGGLE 0 .......1\n$\n$\n");
  int verdict = 0;
  double wall = timedbench(&bench, &verdict);
  if (verdict != 0) {
    fprintf(report, "  SELF-CHECK FAILED: an expectation that holds failed\n");
    ++benchfailures;
  }
  char name[96];
  snprintf(name, sizeof name, "%d expectations, %g simulated s, wall time", count, span);
  target(name, wall * 1000, 1000.0, "ms");
}
