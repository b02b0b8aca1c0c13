// Test double of the clock: tests set the time by hand.
#include "platform/clock.h"
#include "platform/fakes.h"

uint32_t fakeclock = 0;

uint32_t clockms(void) { return fakeclock; }
