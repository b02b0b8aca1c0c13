// The clock over CLOCK_MONOTONIC: real elapsed time that keeps counting
// while the program waits for a SPAWN'd command, unlike processor time.
#include <ctime>

#include "platform/clock.h"

namespace {
uint64_t monotonicms(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// Zero of the clock: the start of the process, before the command line is
// read (static initialisation runs before main).
const uint64_t clockzero = monotonicms();
}  // namespace

uint32_t clockms(void) {
  return static_cast<uint32_t>(monotonicms() - clockzero);  // wraps mod 2^32
}
