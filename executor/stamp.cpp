#include "executor/stamp.h"

#include <cstdio>

#include "platform/clock.h"

uint8_t stamping = 0;

void printstamp(void) {
  // The microsecond clock does not wrap: a run of months keeps its seconds.
  uint64_t ms = clockus() / 1000;
  printf("%llu.%03u ", static_cast<unsigned long long>(ms / 1000), static_cast<unsigned>(ms % 1000));
}
