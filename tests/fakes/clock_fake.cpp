// Test double of the clock: tests set the time by hand.
#include "platform/clock.h"
#include "tests/fakes/fakes.h"

uint32_t fakeclock = 0;
uint32_t fakeclockus = 0;

uint32_t clockms(void) { return fakeclock; }

uint64_t clockus(void) { return uint64_t{fakeclock} * 1000u + fakeclockus; }

void clocksetus(uint64_t us) {
  fakeclock = static_cast<uint32_t>(us / 1000u);
  fakeclockus = static_cast<uint32_t>(us % 1000u);
}
