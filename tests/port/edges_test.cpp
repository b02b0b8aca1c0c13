// GPIO inputs that follow the kernel's edges, over a fake request that
// queues them: every edge gives one pass in the order the edges happened,
// a gap in the kernel's numbers is told once, and the loop sleeps only
// while nothing but an edge, a key or the clock can move a thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/watch.h"
#include "driver/mainloop.h"
#include "executor/pass.h"
#include "port/edges.h"
#include "port/port.h"
#include "realtime/realtime.h"
#include "tests/fakes/fakes.h"
#include "tests/testutil.h"

namespace {

// The fake request: per port the edges the kernel queued and the lines'
// byte now.
struct FakeRequest {
  std::deque<GpioEdge> queued[LOGICAL_PORTS];
  uint8_t lines[LOGICAL_PORTS] = {};
  int32_t takes = 0;
};
FakeRequest fake;

int32_t faketake(int32_t n, GpioEdge *out, int32_t max) {
  ++fake.takes;
  int32_t count = 0;
  while (count < max && !fake.queued[n].empty()) {
    out[count++] = fake.queued[n].front();
    fake.queued[n].pop_front();
  }
  return count;
}
int32_t fakeread(int32_t n) { return fake.lines[n]; }
const EdgeSource FAKE = {faketake, fakeread};

// Edge number seqno of port n: bit rises or falls at us.
void queue(int32_t n, uint32_t seqno, uint8_t bit, bool rising, uint64_t us) {
  GpioEdge e;
  e.ns = us * 1000;
  e.seqno = seqno;
  e.bit = bit;
  e.rising = rising;
  fake.queued[n].push_back(e);
}

class EdgesTest : public LoopbackTest {
 protected:
  void SetUp() override {
    LoopbackTest::SetUp();
    fake = FakeRequest{};
    portchoosegpio(0);
    portchoosegpio(1);
    ASSERT_EQ(locateport(), 0);
  }
  void TearDown() override {
    watchreset();
    LoopbackTest::TearDown();
  }
  // Port 0 follows its edges (port 1 is polled lines unless both).
  static void follow(unsigned ports = 1) { ASSERT_EQ(edgesstart(ports, FAKE), 0); }
  // A pass, then what the loop does between passes; the pass's output.
  static std::string pass(void) {
    testing::internal::CaptureStdout();
    runpass(-1);
    std::string out = testing::internal::GetCapturedStdout();
    edgewait();
    return out;
  }
};

// A pulse that came and went before the loop looked still releases a WAIT
// for its level, then the WAIT for the level after it: one pass per edge,
// the edges of both ports in the order they happened, each pass's input
// stamped with its edge's time.
TEST_F(EdgesTest, EachQueuedEdgeGivesOnePassInTheOrderTheyHappened) {
  run("WAIT 0 .......1\nNOTATE high\nWAIT 0 .......0\nNOTATE low\n$\n"
      "WAIT 1 ......1.\nNOTATE one\n$\n");
  follow(3);
  queue(0, 1, 0, true, 100);
  queue(0, 2, 0, false, 300);  // the lines read 0 again by now
  queue(1, 1, 1, true, 200);
  struct Step {
    const char *out;
    uint8_t in0, in1;
    uint64_t edgeus0, edgeus1;
  } steps[] = {
      {"", 1, 0, 100, 0},      // the first pass, before any edge; then port 0's
      {"high\n", 1, 2, 0, 200}, // port 1's edge came before port 0's second
      {"one\n", 0, 2, 300, 0},
      {"low\none\n", 0, 2, 0, 0},  // thread 1's WAIT holds since its edge
  };
  for (const Step &s : steps) {
    EXPECT_EQ(pass(), s.out);
    EXPECT_EQ(edgebyte(0), s.in0) << s.out;
    EXPECT_EQ(edgebyte(1), s.in1) << s.out;
    EXPECT_EQ(watchseen.edgeus[0], s.edgeus0) << s.out;
    EXPECT_EQ(watchseen.edgeus[1], s.edgeus1) << s.out;
  }
  EXPECT_EQ(edgeslost(), 0u);
}

// Numbers that skip tell the edges the kernel dropped: the first gap on
// standard error with its count, once a run; every one in the total; the
// lines read afresh once the queue is empty, since a dropped edge may have
// left any bit otherwise.
TEST_F(EdgesTest, AGapInTheKernelsNumbersIsToldOnceAndTheLinesReadAgain) {
  run("WAIT 0 11111111\n$\n");
  follow();
  queue(0, 1, 0, true, 10);
  queue(0, 4, 1, true, 20);  // 2 and 3 lost
  fake.lines[0] = 0x83;
  testing::internal::CaptureStderr();
  EXPECT_EQ(edgesnext(), 1);
  EXPECT_EQ(edgebyte(0), 0x01);
  EXPECT_EQ(edgesnext(), 1);
  EXPECT_EQ(edgebyte(0), 0x03);
  EXPECT_EQ(edgesnext(), 0);
  EXPECT_EQ(edgebyte(0), 0x83) << "read again after the loss";
  queue(0, 9, 2, true, 30);  // 5 to 8 lost
  EXPECT_EQ(edgesnext(), 1);
  std::string told = testing::internal::GetCapturedStderr();
  EXPECT_EQ(told, "GPIO: 2 edges of logical port 0 were lost: the kernel's queue was full before "
                  "the loop read it (a WAIT may have missed a pulse; told once a run)\n");
  EXPECT_EQ(edgeslost(), 6u);
  EXPECT_EQ(watchseen.edgeslost, 6u);
  // The numbers wrap after 2^32 edges without a gap; a number behind the
  // last is none either.
  fake = FakeRequest{};
  follow();
  queue(0, 1, 0, true, 1);
  queue(0, 0, 0, false, 2);
  EXPECT_EQ(edgesnext() + edgesnext(), 2);
  EXPECT_EQ(edgeslost(), 0u);
  fake = FakeRequest{};
  follow();
  queue(0, UINT32_MAX, 0, true, 1);
  queue(0, 0, 0, false, 2);
  queue(0, 1, 0, true, 3);
  EXPECT_EQ(edgesnext() + edgesnext() + edgesnext(), 3);
  EXPECT_EQ(edgebyte(0), 1);
}

// Whether the loop sleeps after a pass, and for how long.
TEST_F(EdgesTest, TheLoopSleepsOnlyWhileNothingButAnEdgeAKeyOrTheClockCanMoveAThread) {
  const Watcher ticking = {[](int32_t) {}, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  struct Case {
    const char *why, *script;
    bool listener;
    int waits;
    uint64_t us;
  } cases[] = {
      {"a WAIT on followed lines", "WAIT 0 .......1\n$\n", false, 1, EDGE_LONGESTUS},
      {"beside a KEY", "KEY a\n$\nWAIT 0 .......1\n$\n", false, 1, EDGE_LONGESTUS},
      {"a pass listener bounds it", "WAIT 0 .......1\n$\n", true, 1, EDGE_TICKUS},
      {"to a DELAY's deadline", "DELAY 0.5\n$\nWAIT 0 .......1\n$\n", false, 1, 500000},
      {"a WAIT that holds goes on", "WAIT 0 .......0\nNOTATE x\n$\n", false, 0, 0},
      {"polled lines", "WAIT 1 .......1\n$\n", false, 0, 0},
      {"a thread going round", "OUTPUT 0 1\n$\n", false, 0, 0},
      {"a flag bank a later thread set", "WAIT 2 .......1\nNOTATE x\n$\nOUTPUT 2 1\nDELAY 100\n$\n", false, 0, 0},
      {"a flag bank nobody sets", "WAIT 2 .......1\n$\n", false, 1, EDGE_LONGESTUS},
      // Ports without input lines follow no edges, and still sleep.
      {"no port followed", "DELAY 0.5\n$\n", false, 1, 500000},
  };
  for (const Case &c : cases) {
    fresh();
    portchoosegpio(0);
    portchoosegpio(1);
    ASSERT_EQ(locateport(), 0);
    portflagbanks(1u << 2);
    fake = FakeRequest{};
    follow(strcmp(c.why, "no port followed") == 0 ? 0 : 1);
    EXPECT_TRUE(edgeson) << c.why << ": the loop that sleeps is chosen";
    if (c.listener) watchadd(&ticking);
    fakeclock = 1000;
    run(c.script);
    testing::internal::CaptureStdout();
    runpass(-1);
    testing::internal::GetCapturedStdout();
    fakekeywaits = 0;
    fakekeywaitus = 0;
    edgewait();
    EXPECT_EQ(fakekeywaits, c.waits) << c.why;
    EXPECT_EQ(fakekeywaitus, c.us) << c.why;
    watchreset();
  }
}

// An edge queued while the loop slept is applied as it wakes, so the next
// pass sees it.
TEST_F(EdgesTest, AnEdgeDuringTheSleepIsSeenByTheNextPass) {
  run("WAIT 0 .......1\nNOTATE woke\n$\n");
  follow();
  fakekeywaithook = [](uint64_t) { queue(0, 1, 0, true, 5); };
  EXPECT_EQ(pass(), "");
  EXPECT_EQ(fakekeywaits, 1);
  EXPECT_EQ(pass(), "woke\n");
}

// The real-time mode sleeps through a WAIT on followed lines too, keeping
// its margin before the deadline beside it; on polled lines it spins.
TEST_F(EdgesTest, TheRealTimeModeSleepsThroughAWaitOnFollowedLines) {
  realtimereset();
  follow();
  run("WAIT 0 .......1\n$\nDELAY 0.01\n$\n");
  fakeclock = 200;
  runpass(-1);
  fakekeywaits = 0;
  fakekeywaitus = 0;
  realtimewait();
  EXPECT_EQ(fakekeywaits, 1);
  EXPECT_EQ(fakekeywaitus, 9000u - MARGIN_STARTUS);
  edgesreset();
  run("WAIT 0 .......1\n$\nDELAY 0.01\n$\n");
  runpass(-1);
  fakekeywaits = 0;
  realtimewait();
  EXPECT_EQ(fakekeywaits, 0);
  realtimereset();
}

}  // namespace
