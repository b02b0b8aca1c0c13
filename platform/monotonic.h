// Elapsed real time for the back-ends that wait: the clock and the
// keyboard's wait for the rest of an escape sequence.
#ifndef QUON_PLATFORM_MONOTONIC_H
#define QUON_PLATFORM_MONOTONIC_H

#include <cstdint>

// CLOCK_MONOTONIC from an arbitrary start, in milliseconds and in
// microseconds: it keeps counting while the program waits, and never steps
// with the wall clock. 64 bits, so it does not wrap while the machine is up.
// monotonicus() / 1000 is monotonicms() for the same instant.
uint64_t monotonicms(void);
uint64_t monotonicus(void);

#endif
