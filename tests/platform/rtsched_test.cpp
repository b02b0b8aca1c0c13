// The kernel's real-time interface: a slice given back is slept whole
// when a signal interrupts it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <cstdint>

#include "platform/rtsched.h"

namespace {

volatile sig_atomic_t alarms = 0;
void onalarm(int) { alarms = alarms + 1; }

uint64_t monotonicus(void) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// A timer interrupts the sleep every 2 ms (no SA_RESTART): it still lasts
// at least what it was asked for, resumed each time to its end.
TEST(RtschedTest, AnInterruptedSleepIsResumedToItsEnd) {
  struct sigaction on{}, before{};
  on.sa_handler = onalarm;
  sigemptyset(&on.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &on, &before), 0);
  itimerval every{{0, 2000}, {0, 2000}}, off{};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
  alarms = 0;
  uint64_t from = monotonicus();
  rtsleep(30000);
  uint64_t slept = monotonicus() - from;
  int seen = alarms;
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &before, nullptr);
  EXPECT_GE(slept, 30000u) << seen << " interruptions";
  EXPECT_GT(seen, 0) << "the timer never interrupted the sleep: nothing was shown";
}

}  // namespace
