// What a run of benches costs beyond its benches: the statement counts of
// a coverage report against the same bench uncounted, and several benches
// in one run against the same benches run one by one. Both on the demo
// script, whose passes are cheap, so any cost of counting shows.
#include <string>
#include <vector>

#include "bench/bench.h"
#include "testbench/testbench.h"

namespace {

// The seconds a run of benches takes, their verdict lines silenced; the
// status in *status (-1: not run).
double timedsuite(std::vector<Testbench> *benches, bool counted, int *status) {
  return timedsilenced(
      [benches, counted] {
        if (counted) coveragestart();
        int verdict = testbenchsuite(benches, BenchReports{});
        if (counted) coveragestop();
        return verdict;
      },
      status);
}

bool selfcheck(bool held, const char *what) {
  if (held) return true;
  fprintf(report, "  SELF-CHECK FAILED: %s\n", what);
  ++benchfailures;
  return false;
}

}  // namespace

namespace {

// The coverage ratio on script under a bench of seconds (simulated), and
// for the demo the cost of several benches in one run.
void measure(const char *name, const std::string &script, double seconds, bool several) {
  Testbench bench;
  std::string error;
  std::string text = "end " + std::to_string(seconds) + "\n";
  if (!selfcheck(!script.empty() && testbenchparse("b.qtb", text, &bench, &error) == 0,
                 error.empty() ? "no demo script" : error.c_str())) {
    return;
  }
  loadtext(script);
  constexpr int MAX_REPS = 64, SEVERAL = 3;
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  if (benchopt.smoke) reps = 2;
  double plain[MAX_REPS], counted[MAX_REPS], cover[MAX_REPS];
  double single[MAX_REPS], together[MAX_REPS], apart[MAX_REPS];
  int status = 0, failed = 0;
  std::vector<Testbench> one(1, bench), three(SEVERAL, bench);
  for (int r = 0; r < reps; ++r) {
    plain[r] = timedsuite(&one, false, &status);
    failed |= status;
    counted[r] = timedsuite(&one, true, &status);
    failed |= status;
    cover[r] = counted[r] / plain[r];
    if (!several) continue;
    single[r] = 0;
    for (int i = 0; i < SEVERAL; ++i) {
      single[r] += timedsuite(&one, false, &status);
      failed |= status;
    }
    together[r] = timedsuite(&three, false, &status);
    failed |= status;
    apart[r] = together[r] / single[r];
  }
  if (!selfcheck(failed == 0, "an empty bench did not pass")) return;
  uint64_t reached = 0;
  for (uint64_t n : coveragecounts()) reached += n;
  if (!selfcheck(reached > 0, "the counts saw no statement run")) return;
  std::string label = std::string(name) + " (" + std::to_string(static_cast<int>(seconds)) + " s)";
  figure((label + " uncounted, wall time").c_str(), median(plain, reps) * 1000, "ms");
  figure((label + " counted, wall time").c_str(), median(counted, reps) * 1000, "ms");
  // The target is the demo's; a script that does nothing but step shows
  // the most counting can cost a pass.
  std::string what = "coverage counted / uncounted, " + std::string(name);
  if (several) target(what.c_str(), median(cover, reps), 1.10, "x");
  else figure(what.c_str(), median(cover, reps), "x");
  if (!several) return;
  figure("3 of its benches one by one, wall time", median(single, reps) * 1000, "ms");
  figure("3 of its benches in one run, wall time", median(together, reps) * 1000, "ms");
  target("3 benches in one run / one by one (demo)", median(apart, reps), 1.10, "x");
}

}  // namespace

void benchsuites(void) {
  fprintf(report, "\nTestbench: coverage counted against uncounted, several benches against "
                  "one by one\n");
  double scale = benchopt.smoke ? 0.001 : 1;
  measure("demo bench", readwholefile(benchopt.demo), 3600 * scale, true);
  // Every pass runs: no jump of the clock hides what a step costs.
  measure("a TOGGLE every pass", "TOGGLE 0 .......1\n$\n$\n", benchopt.smoke ? 0.01 : 1, false);
}
