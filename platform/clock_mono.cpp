// The clock over CLOCK_MONOTONIC: real elapsed time that keeps counting
// while the program waits for a SPAWN'd command, unlike processor time.
#include "platform/clock.h"
#include "platform/monotonic.h"

namespace {
// Zero of the clock: the start of the process, before the command line is
// read (static initialisation runs before main).
const uint64_t clockzero = monotonicms();
}  // namespace

uint32_t clockms(void) {
  return static_cast<uint32_t>(monotonicms() - clockzero);  // wraps mod 2^32
}

uint64_t clockus(void) { return monotonicus() - clockzero * 1000u; }
