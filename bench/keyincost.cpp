// What watching the key inbox costs a pass: with the region made, the pass
// that asks the inbox for a key whenever the terminal has none, against
// the same pass with the inbox not asked (and, for scale, without any
// region). Nothing is typed: the cost is the one check while no key waits.
#include <string>

#include "bench/bench.h"
#include "driver/mainloop.h"
#include "executor/pass.h"
#include "port/port.h"
#include "publish/publish.h"
#include "sim/simport.h"

namespace {

double timedpasses(int64_t passes) {
  for (int p = 0; p < 16; ++p) mainlooppass();
  uint64_t t0 = nowns();
  for (int64_t p = 0; p < passes; ++p) {
    if (mainlooppass() != 0) return 0;
  }
  return static_cast<double>(nowns() - t0) / static_cast<double>(passes);
}

}  // namespace

void benchkeyin(void) {
  fprintf(report, "\nKey inbox (keys typed from monitors): the pass with the inbox watched "
          "against without (median of %d samples)\n", benchopt.repetitions);
  std::string waits;
  for (int t = 0; t < 64; ++t) waits += "WAIT 0 1.......\n$\n";
  struct Case {
    const char *name;
    std::string script;
    int64_t passes;
  } const cases[] = {
      {"1 thread at a KEY", "KEY s\n$\n$\n", 400000},
      {"1 thread at a WAIT", "WAIT 0 1.......\n$\n$\n", 400000},
      {"64 threads at a WAIT", waits + "$\n", 20000},
  };
  for (const Case &c : cases) {
    loadtext(c.script);
    int64_t passes = benchopt.smoke ? 200 : c.passes;
    constexpr int MAX_REPS = 64;
    double bare[MAX_REPS], quiet[MAX_REPS], watched[MAX_REPS], ratio[MAX_REPS];
    int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
    for (int r = 0; r < reps; ++r) {
      simreset();
      mainloopinit();
      bare[r] = timedpasses(passes);
      if (publishstart(portsample) != 0) {
        fprintf(report, "  SELF-CHECK FAILED: no region could be made\n");
        ++benchfailures;
        return;
      }
      publishinbox(false);
      quiet[r] = timedpasses(passes);
      publishinbox(true);
      watched[r] = timedpasses(passes);
      publishend();
      ratio[r] = quiet[r] > 0 ? watched[r] / quiet[r] : 0;
    }
    std::string label(c.name);
    figure((label + ", no region").c_str(), median(bare, reps), "ns/pass");
    figure((label + ", region, inbox not watched").c_str(), median(quiet, reps), "ns/pass");
    figure((label + ", region, inbox watched").c_str(), median(watched, reps), "ns/pass");
    target((label + ": inbox watched / not").c_str(), median(ratio, reps), 1.05, "x");
  }
}
