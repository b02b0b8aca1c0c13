// The main loop: thread set-up, one key poll per pass, every thread stepped
// once in order, the key visible for one pass, ESC.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/fatal.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/keys.h"
#include "port/port.h"
#include "tests/testutil.h"

namespace {

class MainLoopTest : public LoopbackTest {
 protected:
  // One pass; its status goes to *status, its output is returned.
  static std::string pass(int *status = nullptr) {
    testing::internal::CaptureStdout();
    int result = mainlooppass();
    std::string out = testing::internal::GetCapturedStdout();
    if (status != nullptr) *status = result;
    return out;
  }
};

TEST_F(MainLoopTest, InitParksEveryThreadAtItsStartWithAnIdleTimer) {
  loadscript("$\nOUTPUT 0 1\n$\nNOTATE x\nDELAY 1\n$\n$\n");
  prog.lastkey = 'q';
  mainloopinit();
  ASSERT_EQ(prog.threadcount, 3);
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    EXPECT_EQ(prog.threadcurrent[t], prog.threadstart[t]) << t;
    EXPECT_EQ(prog.threadtimer[t], 0u) << t;
  }
  EXPECT_EQ(prog.threadcurrent[0], -1);
  EXPECT_EQ(prog.lastkey, 0);
  EXPECT_EQ(fakekeymode, 1) << "key mode is taken before the first pass";
}

TEST_F(MainLoopTest, PassPollsOnceAndStepsEveryThreadInOrder) {
  run("NOTATE t0\n$\nNOTATE t1\n$\nNOTATE t2\n$\n$\n");
  int status = -1;
  EXPECT_EQ(pass(&status), "t0\nt1\nt2\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pass(), "t0\nt1\nt2\n");
  EXPECT_EQ(fakekeyavailablecalls, 2);
  EXPECT_EQ(fakekeyemptyreads, 0);  // no read without a key waiting
}

TEST_F(MainLoopTest, KeyIsSeenForExactlyOnePass) {
  run("KEY a\nNOTATE got a\n$\n$\n");
  fakekeyspush('a');
  EXPECT_EQ(pass(), "KEY (0) triggered on a\ngot a\n");
  EXPECT_EQ(prog.lastkey, 0);
  EXPECT_EQ(pass(), "");
}

// Nobody stood at the KEY when it came, so it is gone by the time one does.
TEST_F(MainLoopTest, KeyTypedWhileNoThreadWaitsForItIsLost) {
  run("WAIT 0 1\nKEY a\nNOTATE got\n$\n$\n");
  fakekeyspush('a');
  EXPECT_EQ(pass(), "");
  portwrite(0, 0x01);
  EXPECT_EQ(pass(), "");
  EXPECT_EQ(pass(), "");
}

TEST_F(MainLoopTest, TwoKeysAreSeenInTwoConsecutivePasses) {
  run("KEY a\nNOTATE A\n$\nKEY b\nNOTATE B\n$\n$\n");
  fakekeyspush('a');
  fakekeyspush('b');
  EXPECT_EQ(pass(), "KEY (0) triggered on a\nA\n");
  EXPECT_EQ(fakekeyspending(), 1);
  EXPECT_EQ(pass(), "KEY (1) triggered on b\nB\n");
  EXPECT_EQ(pass(), "");
}

TEST_F(MainLoopTest, EscEndsThePassBeforeAnyThreadSteps) {
  run("NOTATE stepped\n$\nKEY \x1b\nNOTATE esc\n$\n$\n");
  fakekeyspush(KEY_ESC);
  int status = 0;
  EXPECT_EQ(pass(&status), "");
  EXPECT_EQ(status, EXIT_ESC);
}

TEST_F(MainLoopTest, MainLoopRunsPassesUntilEsc) {
  loadscript("NOTATE tick\n$\n$\n");
  fakekeyspush('x');
  fakekeyspush('y');
  fakekeyspush(KEY_ESC);
  fakekeyspush('z');
  testing::internal::CaptureStdout();
  int status = mainloop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, EXIT_ESC);
  EXPECT_EQ(out, "tick\ntick\n");
  EXPECT_EQ(fakekeyavailablecalls, 3);
  EXPECT_EQ(fakekeyspending(), 1);  // nothing read after ESC
}

// A cursor key reads as 0 first, which no thread takes for a key. Its scan
// code is held back where the poll does not see it: it stands in the pass
// after the next key press, and that key in the one after.
TEST_F(MainLoopTest, CursorKeyGivesZeroThenItsScanCode) {
  run("KEY H\nNOTATE up\n$\nKEY a\nNOTATE A\n$\n$\n");
  fakekeyspush(0);
  fakekeyspush(0x48);  // the scan code of cursor up, 'H' as a character
  fakekeyspush('a');
  EXPECT_EQ(pass(), "");
  EXPECT_EQ(pass(), "KEY (0) triggered on H\nup\n");
  EXPECT_EQ(pass(), "KEY (1) triggered on a\nA\n");

  fakekeyspush(0);
  fakekeyspush(0x48);
  EXPECT_EQ(pass(), "");
  EXPECT_EQ(pass(), "") << "the held scan code waits for the next key";
  fakekeyspush('a');
  EXPECT_EQ(pass(), "KEY (0) triggered on H\nup\n");
}

// What a thread does is seen by the threads after it in the same pass and
// by the ones before it at the next pass. A KILL restarts its target at the
// target's next step: in the next pass when the target has already had its
// step, in the same pass when it has not.
TEST_F(MainLoopTest, ThreadsSeeEachOtherInTheOrderOfThePass) {
  struct Pass {
    int key;  // pushed before the pass; 0 none
    const char *out;
  };
  struct Case {
    const char *name;
    const char *script;
    std::vector<Pass> passes;
  } cases[] = {
      {"later threads see earlier ones in the same pass",
       "OUTPUT 0 1\n$\nWAIT 0 1\nNOTATE seen\n$\n$\n", {{0, "seen\n"}}},
      {"earlier threads see later ones at the next pass",
       "WAIT 0 1\nNOTATE seen\n$\nOUTPUT 0 1\n$\n$\n", {{0, ""}, {0, "seen\n"}}},
      {"killed after its step, it runs again at the next pass",
       "NAME w\nNOTATE w0\nKEY z\n$\nKEY k\nKILL w\n$\n$\n",
       {{0, "w0\n"}, {'k', "KEY (1) triggered on k\n"}, {0, "w0\n"}}},
      {"killed before its step, it runs again in the same pass",
       "KEY k\nKILL w\n$\nNAME w\nNOTATE w1\nKEY z\n$\n$\n",
       {{0, "w1\n"}, {0, ""}, {'k', "KEY (0) triggered on k\nw1\n"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    run(c.script);
    for (const Pass &p : c.passes) {
      if (p.key != 0) fakekeyspush(p.key);
      EXPECT_EQ(pass(), p.out);
    }
  }
}

TEST_F(MainLoopTest, ThreadWithoutStatementsIsPassedOver) {
  run("$\nNOTATE one\n$\n$\n");
  ASSERT_EQ(prog.threadstart[0], -1);
  EXPECT_EQ(pass(), "one\n");
  EXPECT_EQ(pass(), "one\n");
}

}  // namespace
