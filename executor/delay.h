// DELAY timing over the millisecond clock. A thread's timer word is 0 while
// no DELAY is pending, else the clock value of its deadline.
#ifndef QUON_EXECUTOR_DELAY_H
#define QUON_EXECUTOR_DELAY_H

#include <cstdint>

// A DELAY's length in clock milliseconds: the decoded seconds times 1000,
// truncated. The too-large code gives DELAY_NEVER.
constexpr int64_t DELAY_NEVER = INT64_MAX;
int64_t delayticks(uint16_t code);

// One visit of thread t to a DELAY with time code code. Returns 1 when the
// DELAY has elapsed (the step continues), 0 when the step ends there.
int delaystep(int32_t t, uint16_t code);

#endif
