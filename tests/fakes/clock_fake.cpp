// Test double of the clock: tests set the time by hand.
#include "platform/clock.h"
#include "tests/fakes/fakes.h"

uint32_t fakeclock = 0;
uint32_t fakeclockus = 0;

uint32_t clockms(void) { return fakeclock; }

uint64_t clockus(void) { return uint64_t{fakeclock} * 1000u + fakeclockus; }

// The fake's zero is CLOCK_MONOTONIC's: a test stamps its edges in the
// fake clock's own time.
uint64_t clockofmonotonic(uint64_t ns) { return ns / 1000u; }

void clocksetus(uint64_t us) {
  fakeclock = static_cast<uint32_t>(us / 1000u);
  fakeclockus = static_cast<uint32_t>(us % 1000u);
}
