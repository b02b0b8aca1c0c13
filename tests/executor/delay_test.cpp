// DELAY timing over the fake millisecond clock: lengths from time codes,
// the pending deadline, the wrap of the 32-bit clock and the idle sentinel.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "driver/mainloop.h"
#include "core/tables.h"
#include "executor/delay.h"
#include "executor/step.h"
#include "tests/fakes/fakes.h"
#include "tests/testutil.h"

namespace {

using DelayTest = LoopbackTest;

// Truncation, not rounding: codes whose single-precision value lies just
// below the decimal one lose a millisecond.
TEST_F(DelayTest, TicksAreTheDecodedSecondsTimesAThousandTruncated) {
  struct Case {
    uint16_t code;
    int64_t ticks;
  } cases[] = {
      {0x0000, 0},      {0x4000, 0},          // zero, too small
      {0x8000, -1000},                        // negative
      {0xC000, DELAY_NEVER},                  // too large
      {0xC2BC, 699},    {0xCCE4, 3299},       // 0.7 s, 3.3 s
      {0xC00A, 9},      {0x8001, 9},          // 0.01 s both ways
      {0xC1F4, 500},    {0xC3E8, 1000},       // exact
      {0xC0FA, 250},    {0xC9C4, 2500},
      {0xC001, 1},      {0x4001, 100},
      {0x87D0, 20000},  {0x47D0, 200000},     {0x07D0, 2000000},
      {0xB039, 123449}, {0xFFFF, 16382},      {0x7FFF, 1638300},
      {0x0001, 1000},   {0x3FFF, 16383000},   // the largest time
  };
  for (const Case &c : cases) {
    EXPECT_EQ(delayticks(c.code), c.ticks) << std::hex << c.code;
  }
}

// Every 16-bit code has a length; only the too-large code waits for ever.
TEST_F(DelayTest, EveryCodeButTooLargeGivesABoundedLength) {
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    int64_t ticks = delayticks(static_cast<uint16_t>(code));
    if (code == 0xC000) {
      EXPECT_EQ(ticks, DELAY_NEVER);
    } else {
      ASSERT_GE(ticks, -1000) << std::hex << code;
      ASSERT_LE(ticks, 16383000) << std::hex << code;
    }
  }
}

// Held at the second visit and one millisecond before the deadline,
// complete at it, idle again afterwards.
TEST_F(DelayTest, DelayCompletesWhenTheClockReachesItsDeadline) {
  struct Case {
    const char *name;
    uint32_t start;  // clock at the first visit
    uint16_t code;
    uint32_t due;    // clock at which it completes
  } cases[] = {
      {"0.5 s", 100, 0xC1F4, 600},
      {"0.7 s", 1000, 0xC2BC, 1699},
      {"1 ms", 0, 0xC001, 1},
      {"largest", 7, 0x3FFF, 16383007},
      {"across the wrap", 0xFFFFFF00u, 0xC1F4, 244},
      {"deadline 0 moves on", 0xFFFFFE0Cu, 0xC1F4, 1},
  };
  for (const Case &c : cases) {
    fresh();
    run("$\n$\n");
    fakeclock = c.start;
    EXPECT_EQ(delaystep(0, c.code), 0) << c.name;
    EXPECT_NE(prog.threadtimer[0], 0u) << c.name;
    EXPECT_EQ(delaystep(0, c.code), 0) << c.name;
    fakeclock = c.due - 1;
    EXPECT_EQ(delaystep(0, c.code), 0) << c.name;
    fakeclock = c.due;
    EXPECT_EQ(delaystep(0, c.code), 1) << c.name;
    EXPECT_EQ(prog.threadtimer[0], 0u) << c.name;
  }
}

// A zero length holds the thread for exactly one visit, at any clock value,
// the clock's zero included (the deadline there must not read as idle nor
// lie in the future).
TEST_F(DelayTest, ZeroLengthHoldsForExactlyOneVisit) {
  const uint32_t clocks[] = {5, 0, 0xFFFFFFFFu, 0x80000000u};
  const uint16_t codes[] = {0x0000, 0x4000};
  for (uint32_t clock : clocks) {
    for (uint16_t code : codes) {
      fresh();
      run("$\n$\n");
      fakeclock = clock;
      EXPECT_EQ(delaystep(0, code), 0) << clock << " " << code;
      EXPECT_EQ(delaystep(0, code), 1) << clock << " " << code;
    }
  }
}

TEST_F(DelayTest, NegativeTimeCompletesAtTheNextVisit) {
  const uint32_t clocks[] = {0, 500, 1000, 5000};
  for (uint32_t clock : clocks) {
    fresh();
    run("$\n$\n");
    fakeclock = clock;
    EXPECT_EQ(delaystep(0, 0x8000), 0) << clock;
    EXPECT_EQ(delaystep(0, 0x8000), 1) << clock;
  }
}

TEST_F(DelayTest, TooLargeTimeNeverCompletes) {
  run("$\n$\n");
  const uint32_t clocks[] = {0,           1,           1000,        16383000,
                             0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu,
                             0,           12345};
  for (uint32_t clock : clocks) {
    fakeclock = clock;
    EXPECT_EQ(delaystep(0, 0xC000), 0) << clock;
  }
}

// A deadline set just before the clock wraps is reached just after it.
TEST_F(DelayTest, WrapOfTheClockDoesNotHoldADelayForWeeks) {
  run("$\n$\n");
  fakeclock = 0xFFFFFE00u;
  EXPECT_EQ(delaystep(0, 0xC1F4), 0);  // deadline 0xFFFFFFF4
  fakeclock = 0xFFFFFFF3u;
  EXPECT_EQ(delaystep(0, 0xC1F4), 0);
  fakeclock = 5;
  EXPECT_EQ(delaystep(0, 0xC1F4), 1);
}

TEST_F(DelayTest, TimersOfThreadsAreIndependent) {
  run("DELAY 1\n$\nDELAY 0.5\n$\n$\n");
  fakeclock = 0;
  step(0);
  fakeclock = 200;
  step(1);
  EXPECT_EQ(prog.threadtimer[0], 1000u);
  EXPECT_EQ(prog.threadtimer[1], 700u);
}

// ---------------------------------------------------- DELAY inside a thread

TEST_F(DelayTest, ZeroDelayHoldsItsThreadForExactlyOnePass) {
  run("NOTATE a\nDELAY 0\nNOTATE b\n$\n$\n");
  fakeclock = 42;
  EXPECT_EQ(step(0), "a\n");
  EXPECT_EQ(step(0), "b\n");  // what follows runs in the completing step
  EXPECT_EQ(step(0), "a\n");
}

TEST_F(DelayTest, DelayOfPointSevenWaits699Milliseconds) {
  run("DELAY 0.7\nNOTATE done\n$\n$\n");
  stepsat(0, {{1000, ""}, {1698, ""}, {1699, "done\n"}});
  EXPECT_EQ(prog.threadtimer[0], 0u);
}

// The second DELAY starts when the first completes, so the lengths add up.
TEST_F(DelayTest, TwoDelaysInARowAddUp) {
  run("DELAY 0.5\nDELAY 0.25\nNOTATE done\n$\n$\n");
  fakeclock = 0;
  EXPECT_EQ(step(0), "");
  fakeclock = 500;
  EXPECT_EQ(step(0), "");
  EXPECT_EQ(prog.threadcurrent[0], 1);
  EXPECT_EQ(prog.threadtimer[0], 750u);
  stepsat(0, {{749, ""}, {750, "done\n"}});
}

TEST_F(DelayTest, TooLargeDelayParksItsThreadUntilAKill) {
  run("NAME never\nDELAY 99999\nNOTATE woke\n$\nKEY k\nKILL never\n$\n$\n");
  ASSERT_EQ(prog.tokens[0], 0x0300C000u);
  const uint32_t clocks[] = {0, 16383000, 0x80000000u, 0xFFFFFFFFu, 3};
  for (uint32_t clock : clocks) {
    fakeclock = clock;
    EXPECT_EQ(step(0), "") << clock;
    EXPECT_EQ(prog.threadcurrent[0], 0) << clock;
  }
  prog.lastkey = 'k';
  EXPECT_EQ(step(1), "KEY (1) triggered on k\n");
  EXPECT_EQ(prog.threadcurrent[0], 0);
  EXPECT_EQ(prog.threadtimer[0], 0u);
}

// The clock runs on while a command holds the program.
TEST_F(DelayTest, DeadlinePassingDuringSpawnCompletesAtTheNextStep) {
  run("DELAY 1\nNOTATE done\n$\nSPAWN sleep 2\n$\n$\n");
  fakeshelladvance = 2000;
  fakeclock = 0;
  EXPECT_EQ(step(0), "");
  EXPECT_EQ(step(1), "");
  EXPECT_EQ(fakeclock, 2000u);
  EXPECT_EQ(step(0), "done\n");
}

}  // namespace
