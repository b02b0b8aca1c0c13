// The millisecond clock: elapsed real time since the program started,
// wrapping modulo 2^32. It keeps counting while a SPAWN'd command runs.
// Providers: clock_mono.cpp (CLOCK_MONOTONIC) and clock_fake.cpp (tests).
#ifndef QUON_PLATFORM_CLOCK_H
#define QUON_PLATFORM_CLOCK_H

#include <cstdint>

uint32_t clockms(void);

#endif
