// The clock over CLOCK_MONOTONIC: real elapsed time that keeps counting
// while the program waits for a SPAWN'd command, unlike processor time.
#include "platform/clock.h"
#include "platform/monotonic.h"

namespace {
bool simulated = false;  // a testbench sets the time
uint64_t simulatedus = 0;

// Zero of the clock: the start of the process, before the command line is
// read (static initialisation runs before main).
const uint64_t clockzero = monotonicms();
}  // namespace

uint32_t clockms(void) {
  if (simulated) return static_cast<uint32_t>(simulatedus / 1000u);
  return static_cast<uint32_t>(monotonicms() - clockzero);  // wraps mod 2^32
}

uint64_t clockus(void) {
  if (simulated) return simulatedus;
  return monotonicus() - clockzero * 1000u;
}

uint64_t clockofmonotonic(uint64_t ns) {
  if (simulated) return simulatedus;
  uint64_t us = ns / 1000u;
  return us > clockzero * 1000u ? us - clockzero * 1000u : 0;
}

void clocksetus(uint64_t us) {
  simulated = true;
  simulatedus = us;
}
