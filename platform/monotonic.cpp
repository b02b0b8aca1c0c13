#include "platform/monotonic.h"

#include <ctime>

uint64_t monotonicus(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u +
         static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint64_t monotonicms(void) { return monotonicus() / 1000u; }
