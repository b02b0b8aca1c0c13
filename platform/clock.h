// The millisecond clock: elapsed real time since the program started,
// wrapping modulo 2^32. It keeps counting while a SPAWN'd command runs.
// Providers: clock_mono.cpp (CLOCK_MONOTONIC) and tests/fakes/clock_fake.cpp.
#ifndef QUON_PLATFORM_CLOCK_H
#define QUON_PLATFORM_CLOCK_H

#include <cstdint>

uint32_t clockms(void);

// The same clock from the same zero in microseconds, 64 bits wide: traces
// stamp their changes with it, so their times line up with DELAY's.
// clockus() / 1000 is clockms() until clockms wraps.
uint64_t clockus(void);

// The clockus() of a CLOCK_MONOTONIC instant in nanoseconds (the kernel
// stamps GPIO edges so); before the clock's zero it reads 0. In simulated
// time it is the simulated now.
uint64_t clockofmonotonic(uint64_t ns);

// Simulated time (a testbench): from the first call on, both read us
// microseconds, set by the caller, instead of the real clock.
void clocksetus(uint64_t us);

#endif
