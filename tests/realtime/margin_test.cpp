// The real-time mode's learned margin and processor budget as plain
// functions over series of overshoots and deadlines, and the loop's
// decisions between passes over the fake clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "executor/pass.h"
#include "realtime/margin.h"
#include "realtime/realtime.h"
#include "tests/fakes/fakes.h"
#include "tests/testutil.h"

namespace {

// A run of count overshoots of us microseconds each.
struct Overshoots {
  int64_t us;
  int count;
};

uint32_t learned(const std::vector<Overshoots> &series) {
  static Margin m;  // too large for the stack of a test
  marginreset(&m);
  uint32_t margin = m.marginus;
  for (const Overshoots &r : series) {
    for (int i = 0; i < r.count; ++i) margin = marginlearn(&m, r.us);
  }
  return margin;
}

TEST(MarginTest, SeriesOfOvershootsGiveTheirPercentileWithinTheClamp) {
  struct Case {
    const char *what;
    std::vector<Overshoots> series;
    uint32_t margin;
  } cases[] = {
      {"nothing learned yet", {}, MARGIN_STARTUS},
      {"woken early (keys) only", {{-50, 100}}, MARGIN_STARTUS},
      {"prompt wake-ups, still warming up", {{10, 5}}, MARGIN_STARTUS},
      {"late ones while warming up count", {{400, 5}}, 410},
      {"prompt wake-ups: the floor", {{10, 100}}, MARGIN_FLOORUS},
      {"steady 300 us", {{300, 100}}, 310},
      {"one late in a thousand is the 0.1 % left out", {{20, 999}, {5000, 1}}, MARGIN_FLOORUS},
      {"two late in a thousand are not", {{20, 998}, {5000, 2}}, 5010},
      {"four late in the full window are left out", {{30, 4092}, {3000, 4}}, MARGIN_FLOORUS},
      {"five are not", {{30, 4091}, {3000, 5}}, 3010},
      {"a late one under 1000 samples is the worst", {{120, 500}, {700, 1}}, 710},
      {"very late wake-ups: the ceiling", {{50000, 100}}, MARGIN_CEILUS},
      {"the window forgets what was late", {{5000, 10}, {20, MARGIN_SAMPLES}}, MARGIN_FLOORUS},
      {"and learns what is late now", {{20, MARGIN_SAMPLES}, {900, 10}}, 910},
  };
  for (const Case &c : cases) EXPECT_EQ(learned(c.series), c.margin) << c.what;
}

TEST(MarginTest, TheBudgetCutsTheMarginToTheCreditItHas) {
  struct Step {
    uint64_t now;     // the clock at the deadline's decision, us
    uint32_t learned;
    uint32_t margin;  // what the deadline may keep
    bool cut;
    uint64_t spent;   // spun before it
  };
  struct Case {
    const char *what;
    unsigned percent;
    std::vector<Step> steps;
  } cases[] = {
      {"within the budget the learned margin is kept", 20,
       {{1000, 100, 100, false, 100}, {2000, 100, 100, false, 100}}},
      {"a full credit covers one long margin", 20, {{0, 10000, 10000, false, 10000}}},
      {"then the credit is what grew since", 20,
       {{0, 10000, 10000, false, 10000}, {0, 10000, 10000, false, 10000},
        {1000, 10000, 200, true, 200}, {2000, 10000, 200, true, 200}}},
      {"credit never grows past the window's share", 10,
       {{0, 10000, 10000, false, 10000}, {10000000, 20000, 10000, true, 0}}},
      {"overspent: nothing until it is paid back", 20,
       {{0, 20000, 20000, false, 30000}, {1000, 100, 0, true, 0}, {60000, 100, 100, false, 0}}},
  };
  for (const Case &c : cases) {
    Budget b;
    budgetstart(&b, c.percent, 0);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step &s = c.steps[i];
      bool cut = !s.cut;
      EXPECT_EQ(budgetmargin(&b, s.learned, s.now, &cut), s.margin) << c.what << ", step " << i;
      EXPECT_EQ(cut, s.cut) << c.what << ", step " << i;
      budgetspend(&b, s.spent);
    }
  }
}

// DELAYs of 1 ms with a learned margin the budget cannot pay: over ten
// seconds the spinning stays within the share (the first full credit
// aside), whatever the margin asks.
TEST(MarginTest, ALongRunSpinsNoMoreThanItsShare) {
  for (unsigned percent : {5u, 20u, 50u}) {
    Budget b;
    budgetstart(&b, percent, 0);
    uint64_t spun = 0, end = 10000000;
    for (uint64_t now = 0; now < end; now += 1000) {
      bool cut = false;
      uint32_t margin = budgetmargin(&b, 600, now, &cut);
      budgetspend(&b, margin);
      spun += margin;
    }
    double share = 100.0 * static_cast<double>(spun - BUDGET_WINDOWUS * percent / 100) / static_cast<double>(end);
    EXPECT_LE(share, percent + 0.01) << percent;
    EXPECT_GE(share, percent - 1.0) << percent << ": the credit it had was used";
  }
}

TEST(MarginTest, LatenessCountsWorstAndThresholds) {
  RealtimeFigures f;
  for (int64_t late : {-300, 0, 50, 100, 101, 999, 1000, 1001, 40}) marginlate(&f, late);
  EXPECT_EQ(f.deadlines, 9u);
  EXPECT_EQ(f.worstlateus, 1001u);
  EXPECT_EQ(f.lateover100, 4u);
  EXPECT_EQ(f.lateover1000, 1u);
}

class RealtimeWaitTest : public LoopbackTest {
 protected:
  void SetUp() override {
    LoopbackTest::SetUp();
    realtimereset();
    realtimeon = true;  // the loop's waiting alone: no priority, no processor taken
  }
  void TearDown() override {
    realtimereset();
    LoopbackTest::TearDown();
  }
};

// Passes of 300 us each (thousands of threads): the processor is given
// back by the clock, once in every millisecond, not once in some number of
// passes that slow passes stretch to most of a second.
TEST_F(RealtimeWaitTest, SlowPassesGiveTheProcessorBackEveryMillisecond) {
  run("WAIT 0 1.......\n$\n$\n");
  fakeclock = 100;
  fakeclockus = 0;
  runpass(-1);
  realtimewait();  // the first slice since the clock's zero
  ASSERT_EQ(realtimefigures.slices, 1u);
  std::vector<uint32_t> slices;
  for (int pass = 1; pass <= 10; ++pass) {
    uint64_t now = 100000 + static_cast<uint64_t>(pass) * 300;
    fakeclock = static_cast<uint32_t>(now / 1000);
    fakeclockus = static_cast<uint32_t>(now % 1000);
    runpass(-1);
    realtimewait();
    slices.push_back(realtimefigures.slices);
  }
  // Given back at 101.2 ms (1.2 ms after the last), then 102.4 ms.
  EXPECT_EQ(slices, (std::vector<uint32_t>{1, 1, 1, 2, 2, 2, 2, 3, 3, 3}));
}

// Only a DELAY of 10 ms pending: the loop sleeps toward it, waking the
// margin before it; a WAIT that polls keeps it spinning.
TEST_F(RealtimeWaitTest, AnIdleLoopSleepsToTheMarginBeforeTheDeadline) {
  run("DELAY 0.01\n$\n$\n");
  fakeclock = 200;
  fakeclockus = 0;
  runpass(-1);  // the DELAY starts: its deadline is 209 ms
  fakekeywaits = 0;
  fakekeywaitus = 0;
  realtimewait();
  EXPECT_EQ(fakekeywaits, 1);
  EXPECT_EQ(fakekeywaitus, 9000u - MARGIN_STARTUS);  // 0.01 s decodes to 9 ms
  run("WAIT 0 1.......\nDELAY 0.01\n$\n$\n");
  runpass(-1);
  fakekeywaits = 0;
  realtimewait();
  EXPECT_EQ(fakekeywaits, 0);
}

}  // namespace
