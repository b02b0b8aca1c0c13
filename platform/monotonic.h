// Elapsed real time for the back-ends that wait: the clock and the
// keyboard's wait for the rest of an escape sequence.
#ifndef QUON_PLATFORM_MONOTONIC_H
#define QUON_PLATFORM_MONOTONIC_H

#include <cstdint>

// Milliseconds of CLOCK_MONOTONIC from an arbitrary start: it keeps
// counting while the program waits, and never steps with the wall clock.
// 64 bits, so it does not wrap while the machine is up.
uint64_t monotonicms(void);

#endif
