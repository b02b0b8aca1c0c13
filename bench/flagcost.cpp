// What a flag bank costs a pass: threads handing a bit over through bank 2
// (--flags=2) against the same script on port 0, whose outputs reach its
// inputs through the test connector. Both scripts take the same steps in
// every pass; only where their bits are kept differs.
#include <string>

#include "bench/bench.h"
#include "core/tables.h"
#include "driver/mainloop.h"
#include "port/port.h"
#include "sim/simport.h"

namespace {

// A pattern of one place: bit set to c, every other place '.'.
std::string place(int bit, char c) {
  std::string pattern(8, '.');
  pattern[static_cast<size_t>(7 - bit)] = c;
  return pattern;
}

// pairs (1 to 4) times: a thread flipping bit i at every pass, and one that
// follows it on bit i + 4 (WAIT for each level, OUTPUT the same there).
std::string handover(int port, int pairs) {
  std::string p = " " + std::to_string(port) + " ", text;
  for (int i = 0; i < pairs; ++i) {
    text += "TOGGLE" + p + place(i, '1') + "\n$\n";
    text += "WAIT" + p + place(i, '1') + "\nOUTPUT" + p + place(i + 4, '1') + "\nWAIT" + p +
            place(i, '0') + "\nOUTPUT" + p + place(i + 4, '0') + "\n$\n";
  }
  return text + "$\n";
}

// ns per pass of the loaded script from power-on (every bit 0), after a
// warm-up; checks that the bits went round as the script says.
double timedpasses(int port, int pairs, int64_t passes) {
  simreset();
  flagsclear();
  mainloopinit();
  constexpr int64_t WARMUP = 16;
  for (int64_t p = 0; p < WARMUP; ++p) mainlooppass();
  uint64_t t0 = nowns();
  for (int64_t p = 0; p < passes; ++p) mainlooppass();
  uint64_t t1 = nowns();
  // After an odd number of passes each toggled bit is 1, and its follower
  // has followed it.
  uint8_t bits = portreadback(port);
  unsigned used = (1u << pairs) - 1;
  unsigned low = ((WARMUP + passes) & 1) != 0 ? used : 0;
  if (bits != (low | low << 4)) {
    fprintf(report, "  SELF-CHECK FAILED: port %d holds %02x after %lld passes\n", port, bits,
            static_cast<long long>(WARMUP + passes));
    ++benchfailures;
  }
  return static_cast<double>(t1 - t0) / static_cast<double>(passes);
}

// The script on port 0, then on bank 2, loaded afresh each time (loading
// forgets the banks); per repetition the ratio of the two.
double measure(const char *name, int pairs, int64_t passes) {
  constexpr int MAX_REPS = 64;
  double lines[MAX_REPS], bank[MAX_REPS], ratio[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  for (int r = 0; r < reps; ++r) {
    if (loadtext(handover(0, pairs)) != 0) ++benchfailures;
    lines[r] = timedpasses(0, pairs, passes);
    if (loadtext(handover(2, pairs)) != 0) ++benchfailures;
    portflagbanks(1u << 2);
    bank[r] = timedpasses(2, pairs, passes);
    ratio[r] = lines[r] > 0 ? bank[r] / lines[r] : 0;
  }
  std::string label(name);
  figure((label + ", on port 0").c_str(), median(lines, reps), "ns/pass");
  figure((label + ", on flag bank 2").c_str(), median(bank, reps), "ns/pass");
  double r = median(ratio, reps);
  figure((label + ", bank / port 0").c_str(), r, "x");
  return r;
}

}  // namespace

void benchflags(void) {
  fprintf(report, "\nFlag banks (--flags=2): the pass handing bits over through bank 2 against "
          "port 0 (median of %d samples)\n", benchopt.repetitions);
  // The self-check knows from each count where every toggled bit ends.
  int64_t passes = benchopt.smoke ? 201 : 200001;
  double one = measure("1 pair of threads", 1, passes);
  double four = measure("4 pairs of threads", 4, passes / 2);
  target("flag bank, 1 pair: bank 2 / port 0", one, 1.05, "x");
  target("flag bank, 4 pairs: bank 2 / port 0", four, 1.05, "x");
}
