// When the real-time mode's loop may sleep: only while nothing but the clock
// or a key can move a thread, and never past the earliest deadline.
#include <gtest/gtest.h>

#include "executor/pass.h"
#include "platform/clock.h"
#include "tests/fakes/fakes.h"
#include "tests/testutil.h"

namespace {

class PassIdleTest : public LoopbackTest {};

TEST_F(PassIdleTest, IdleOnlyWhenEveryThreadWaitsForTimeOrAKey) {
  struct Case {
    const char *name;
    std::string script;
    int idle, timed;
    uint32_t earliest;  // with fakeclock at 1000 when the pass ran
  } cases[] = {
      {"two DELAYs: the earlier deadline", "DELAY 0.5\n$\nDELAY 0.25\n$\n$\n", 1, 1, 1250},
      {"a DELAY and a KEY", "DELAY 2\n$\nKEY x\n$\n$\n", 1, 1, 3000},
      {"only KEYs: no deadline", "KEY x\n$\nKEY y\n$\n$\n", 1, 0, 0},
      {"a WAIT that does not hold", "DELAY 1\n$\nWAIT 0 1.......\n$\n$\n", 0, 0, 0},
      {"a DELAY that never ends", "DELAY 20000\n$\n$\n", 1, 0, 0},
      {"a thread that went round", "NOTATE x\n$\n$\n", 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    run(c.script);
    fakeclock = 1000;
    testing::internal::CaptureStdout();
    runpass(-1);
    testing::internal::GetCapturedStdout();
    uint32_t earliest = 0;
    int timed = -1;
    EXPECT_EQ(passidle(clockms(), &earliest, &timed), c.idle);
    if (c.idle) {
      EXPECT_EQ(timed, c.timed);
    }
    if (c.idle && c.timed) {
      EXPECT_EQ(earliest, c.earliest);
    }
  }
}

}  // namespace
