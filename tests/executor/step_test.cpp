// The thread step: every statement's run-time meaning, over the simulated
// port with the test connector, so that each input bit reads back the data
// bit of the same position.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "compiler/token.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "executor/step.h"
#include "tests/fakes/fakes.h"
#include "sim/simport.h"
#include "port/port.h"
#include "tests/testutil.h"

namespace {

using StepTest = LoopbackTest;

using StepDeathTest = StepTest;

// ---------------------------------------------------------------- WAIT

TEST_F(StepTest, WaitHoldsOnlyWhenTheMaskedInputEqualsTheValue) {
  struct Case {
    int port;
    uint8_t written;  // data byte, read back as input by the test connector
    const char *pattern;
    uint16_t calinv;
    bool holds;
  } cases[] = {
      {0, 0x01, "1", 0x83, true},
      {0, 0x00, "1", 0x83, false},
      {0, 0x05, "101", 0x83, true},
      {0, 0x07, "101", 0x83, false},
      {0, 0x07, "1.1", 0x83, true},
      {0, 0xF0, "1111....", 0x83, true},
      {0, 0xF1, "11110000", 0x83, false},
      {0, 0x80, "10000000", 0x83, true},
      {0, 0x00, "0", 0x83, true},
      {0, 0xA5, ".", 0x83, true},  // nothing governed: always holds
      {1, 0x40, "1......", 0x83, true},
      {1, 0x00, "1......", 0x83, false},
      {0, 0x03, "11", 0x1283, true},  // the inversion word's high byte is not compared
  };
  for (const Case &c : cases) {
    fresh();
    prog.calinv = c.calinv;
    run("NOTATE before\nWAIT " + std::to_string(c.port) + " " + c.pattern +
        "\nNOTATE after\n$\n$\n");
    portwrite(c.port, c.written);
    std::string out = step(0);
    SCOPED_TRACE(std::string("pattern ") + c.pattern + " on port " +
                 std::to_string(c.port) + ", byte " + std::to_string(c.written));
    if (c.holds) {
      EXPECT_EQ(out, "before\nafter\n");
      EXPECT_EQ(prog.threadcurrent[0], 0);  // the separator sent it home
    } else {
      EXPECT_EQ(out, "before\n");
      EXPECT_EQ(prog.threadcurrent[0], 1);  // parked at the WAIT
    }
  }
}

TEST_F(StepTest, FailingWaitIsRetriedAtEveryStepUntilTheInputChanges) {
  run("NOTATE before\nWAIT 0 1\nNOTATE after\n$\n$\n");
  EXPECT_EQ(step(0), "before\n");
  EXPECT_EQ(step(0), "");  // resumes at the WAIT, not at the top
  EXPECT_EQ(prog.threadcurrent[0], 1);
  portwrite(0, 0x01);
  EXPECT_EQ(step(0), "after\n");
  EXPECT_EQ(prog.threadcurrent[0], 0);
}

// ------------------------------------------------------ OUTPUT, TOGGLE

struct ByteCase {
  int port;
  uint8_t before;
  const char *pattern;
  uint8_t after;
};

// Runs statement (OUTPUT or TOGGLE) with c's pattern on c's port, which
// holds c.before, and checks the byte written and that the other port is
// left alone.
void checkbyte(const char *statement, const ByteCase &c) {
  resetloopback();
  prog.dump = FLAG_ON;
  startscript(std::string(statement) + " " + std::to_string(c.port) + " " + c.pattern +
              "\n$\n$\n");
  portwrite(c.port, c.before);
  char trace[32];
  snprintf(trace, sizeof trace, "Outputting %02x\n", c.after);
  SCOPED_TRACE(std::string(statement) + " " + c.pattern);
  EXPECT_EQ(capturestep(0), trace);
  EXPECT_EQ(portreadback(c.port), c.after);
  EXPECT_EQ(portreadback(1 - c.port), 0);
}

TEST_F(StepTest, OutputReplacesTheGovernedBitsOfTheReadBackByte) {
  const ByteCase cases[] = {
      {0, 0xFF, "0000", 0xF0},     {0, 0x00, "1.1", 0x05},
      {0, 0x0F, "10000000", 0x80}, {0, 0x0F, "1.......", 0x8F},
      {0, 0xFF, "0.......", 0x7F},
      {0, 0xA5, ".", 0xA5},        // nothing governed: written back unchanged
      {1, 0x3C, "11", 0x3F},
  };
  for (const ByteCase &c : cases) checkbyte("OUTPUT", c);
}

TEST_F(StepTest, ToggleFlipsExactlyTheValueBits) {
  const ByteCase cases[] = {
      {0, 0xF0, "101", 0xF5},      {0, 0xFF, "0000", 0xFF},  // "0" flips nothing
      {0, 0x0F, "1...", 0x07},     {0, 0x00, "11111111", 0xFF},
      {0, 0x12, ".", 0x12},        {1, 0xAA, "1111", 0xA5},
  };
  for (const ByteCase &c : cases) checkbyte("TOGGLE", c);
}

// The output byte is never cached: each statement reads the register back,
// so a change made behind the thread's back is kept.
TEST_F(StepTest, OutputAndToggleReadBackThenWriteTheDataRegister) {
  run("OUTPUT 0 1\nTOGGLE 0 10\n$\n$\n");
  portwrite(0, 0x80);
  simtracing = 1;
  simtracecount = 0;
  step(0);
  ASSERT_EQ(simtracecount, 4);
  const SimAccess want[] = {
      {0x378, 0x80, 0}, {0x378, 0x81, 1}, {0x378, 0x81, 0}, {0x378, 0x83, 1}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(simtrace[i].address, want[i].address) << "access " << i;
    EXPECT_EQ(simtrace[i].value, want[i].value) << "access " << i;
    EXPECT_EQ(simtrace[i].write, want[i].write) << "access " << i;
  }
}

TEST_F(StepTest, OutputsAreTracedOnlyWithTheDumpFlag) {
  run("OUTPUT 0 1\nTOGGLE 0 10\n$\n$\n");
  EXPECT_EQ(step(0), "");
  EXPECT_EQ(portreadback(0), 0x03);
}

// A thread of outputs alone runs its whole body once per step, no more.
TEST_F(StepTest, ThreadWithoutWaitsRunsItsBodyOncePerStep) {
  prog.dump = FLAG_ON;
  run("TOGGLE 0 1\nTOGGLE 0 10\n$\n$\n");
  EXPECT_EQ(step(0), "Outputting 01\nOutputting 03\n");
  EXPECT_EQ(step(0), "Outputting 02\nOutputting 00\n");
}

// Every OUTPUT of the body runs in each step, each on the byte the one
// before it wrote, and the next step starts again at the first.
TEST_F(StepTest, ThreadOfOutputsRunsEachOutputOncePerStep) {
  prog.dump = FLAG_ON;
  run("OUTPUT 0 1\nOUTPUT 0 10\nOUTPUT 0 1..\n$\n$\n");
  portwrite(0, 0xF0);
  EXPECT_EQ(step(0), "Outputting f1\nOutputting f2\nOutputting f6\n");
  EXPECT_EQ(prog.threadcurrent[0], 0);
  EXPECT_EQ(step(0), "Outputting f7\nOutputting f6\nOutputting f6\n");
  EXPECT_EQ(prog.threadcurrent[0], 0);
  EXPECT_EQ(portreadback(0), 0xF6);
}

TEST_F(StepDeathTest, PortOutOfRangeEndsTheProgram) {
  struct Case {
    const char *statement;
    const char *message;
  } cases[] = {
      {"WAIT 2 1", "Attempt to input from logical port 2, > max of 1"},
      {"OUTPUT 2 1", "Attempt to read-back from logical port 2, > max of 1"},
      {"TOGGLE 2 1", "Attempt to read-back from logical port 2, > max of 1"},
      {"WAIT -1 1", "Attempt to input from logical port 255, > max of 1"},
  };
  for (const Case &c : cases) {
    std::string script = std::string(c.statement) + "\n$\n$\n";
    EXPECT_EXIT(
        {
          run(script);
          stepthread(0);
        },
        ::testing::ExitedWithCode(255), c.message)
        << c.statement;
  }
}

// ----------------------------------------------------------------- KEY

TEST_F(StepTest, KeyTriggersOnlyOnItsExactByte) {
  struct Case {
    char key;         // as written in the script
    uint8_t lastkey;  // read in this pass
    bool triggers;
  } cases[] = {
      {'a', 'a', true}, {'a', 'A', false}, {'A', 'a', false}, {'A', 'A', true},
      {'a', 0, false},  {'a', 'b', false}, {'5', '5', true},  {'~', '~', true},
  };
  for (const Case &c : cases) {
    fresh();
    run(std::string("NOTATE before\nKEY ") + c.key + "\nNOTATE after\n$\n$\n");
    prog.lastkey = c.lastkey;
    std::string out = step(0);
    SCOPED_TRACE(std::string("KEY ") + c.key + " with key " +
                 std::to_string(c.lastkey));
    if (c.triggers) {
      EXPECT_EQ(out, std::string("before\nKEY (0) triggered on ") + c.key +
                         "\nafter\n");
      EXPECT_EQ(prog.threadcurrent[0], 0);
    } else {
      EXPECT_EQ(out, "before\n");
      EXPECT_EQ(prog.threadcurrent[0], 1);
    }
  }
}

TEST_F(StepTest, EveryThreadAtTheKeyTriggersWithItsOwnIndex) {
  run("KEY x\nNOTATE zero\n$\n"
      "KEY y\nNOTATE one\n$\n"
      "KEY x\nNOTATE two\n$\n"
      "KEY x\n$\n$\n");
  prog.lastkey = 'x';
  std::string out;
  for (int32_t t = 0; t < prog.threadcount; ++t) out += step(t);
  EXPECT_EQ(out,
            "KEY (0) triggered on x\nzero\n"
            "KEY (2) triggered on x\ntwo\n"
            "KEY (3) triggered on x\n");
  EXPECT_EQ(prog.threadcurrent[1], prog.threadstart[1]);  // still at its KEY y
}

TEST_F(StepTest, KeyReachedAfterAWaitSeesTheKeyOfThisPass) {
  run("WAIT 0 1\nKEY k\nNOTATE got\n$\n$\n");
  prog.lastkey = 'k';
  EXPECT_EQ(step(0), "");
  prog.lastkey = 0;
  portwrite(0, 0x01);
  EXPECT_EQ(step(0), "");  // the key has gone by
  prog.lastkey = 'k';
  EXPECT_EQ(step(0), "KEY (0) triggered on k\ngot\n");
}

// ---------------------------------------------------------------- KILL

// Thread 0 kills by name; threads 1 and 2 stand in the middle of their runs.
const char *const KILLSCRIPT =
    "KEY k\nKILL worker\nNOTATE killed\n$\n"
    "NAME worker\nNOTATE w1\nKEY z\nNOTATE w2\n$\n"
    "NAME %s\nNOTATE o1\nKEY z\n$\n$\n";

std::string killscript(const char *thirdname) {
  char text[256];
  snprintf(text, sizeof text, KILLSCRIPT, thirdname);
  return text;
}

TEST_F(StepTest, KillSendsTheNamedThreadHomeAndTheKillerGoesOn) {
  run(killscript("other"));
  EXPECT_EQ(step(1), "w1\n");
  EXPECT_EQ(step(2), "o1\n");
  int32_t parked = prog.threadcurrent[2];
  prog.lastkey = 'k';
  EXPECT_EQ(step(0), "KEY (0) triggered on k\nkilled\n");
  EXPECT_EQ(prog.threadcurrent[1], prog.threadstart[1]);
  EXPECT_EQ(prog.threadcurrent[2], parked);
  prog.lastkey = 0;
  EXPECT_EQ(step(1), "w1\n");  // from its first statement again
}

TEST_F(StepTest, KillReachesEveryThreadOfThatName) {
  run(killscript("worker"));
  step(1);
  step(2);
  ASSERT_NE(prog.threadcurrent[1], prog.threadstart[1]);
  ASSERT_NE(prog.threadcurrent[2], prog.threadstart[2]);
  prog.lastkey = 'k';
  EXPECT_EQ(step(0), "KEY (0) triggered on k\nkilled\n");
  EXPECT_EQ(prog.threadcurrent[1], prog.threadstart[1]);
  EXPECT_EQ(prog.threadcurrent[2], prog.threadstart[2]);
}

TEST_F(StepTest, KillOfANameNoThreadBearsSaysSoAndGoesOn) {
  // Names compare exactly and whole: case, prefix and trailing space count.
  const char *names[] = {"ghost", "Worker", "worke", "worker "};
  for (const char *name : names) {
    fresh();
    run(std::string("KILL ") + name + "\nNOTATE after\n$\n"
        "NAME worker\nNOTATE w1\nKEY z\n$\n$\n");
    step(1);
    int32_t parked = prog.threadcurrent[1];
    EXPECT_EQ(step(0), std::string("Tried to Kill non-existing thread '") +
                           name + "'\nafter\n");
    EXPECT_EQ(prog.threadcurrent[1], parked) << name;
  }
}

TEST_F(StepTest, KillCancelsAPendingDelay) {
  run("NAME sleeper\nDELAY 1\nNOTATE woke\n$\nKEY k\nKILL sleeper\n$\n$\n");
  fakeclock = 0;
  step(0);
  ASSERT_NE(prog.threadtimer[0], 0u);
  fakeclock = 600;
  prog.lastkey = 'k';
  step(1);
  EXPECT_EQ(prog.threadtimer[0], 0u);
  EXPECT_EQ(prog.threadcurrent[0], prog.threadstart[0]);
  prog.lastkey = 0;
  EXPECT_EQ(step(0), "");  // starts the full second afresh
  stepsat(0, {{1000, ""}, {1599, ""}, {1600, "woke\n"}});
}

// A thread that kills its own name starts over at its next step; the step
// must end rather than run the KILL again and again.
TEST_F(StepTest, SelfKillResetsEveryBearerAndEndsTheStep) {
  run("NAME me\nNOTATE a\nKILL me\nNOTATE b\n$\n"
      "NAME me\nNOTATE c\nKEY z\nNOTATE d\n$\n$\n");
  EXPECT_EQ(step(1), "c\n");
  EXPECT_EQ(step(0), "a\n");
  EXPECT_EQ(prog.threadcurrent[0], prog.threadstart[0]);
  EXPECT_EQ(prog.threadcurrent[1], prog.threadstart[1]);
  EXPECT_EQ(step(0), "a\n");
}

// Thread 0 of a script that begins with "$" has no statements, yet it can
// bear a name given before that line.
TEST_F(StepTest, ThreadWithoutStatementsDoesNothing) {
  run("NAME zero\n$\nKILL zero\nNOTATE one\n$\n$\n");
  ASSERT_EQ(prog.threadstart[0], -1);
  EXPECT_EQ(step(0), "");
  EXPECT_EQ(prog.threadcurrent[0], -1);
  EXPECT_EQ(step(1), "one\n");  // the kill found it: no miss message
  EXPECT_EQ(prog.threadcurrent[0], -1);
  EXPECT_EQ(step(0), "");
}

// ------------------------------------------------------ SPAWN, NOTATE

TEST_F(StepTest, SpawnRunsItsOwnTextAndTheThreadGoesOn) {
  run("NOTATE first\nSPAWN make  all\nNOTATE after\n$\n$\n");
  EXPECT_EQ(step(0), "first\nafter\n");
  ASSERT_EQ(fakeshellcount, 1);
  EXPECT_STREQ(fakeshellcommands[0], "make  all");
}

TEST_F(StepTest, NotatePrintsItsTextVerbatim) {
  run("NOTATE one\nNOTATE 100% done %s %d\nNOTATE  spaced \n$\n$\n");
  EXPECT_EQ(step(0), "one\n100% done %s %d\n spaced \n");
}

// ----------------------------------------- statements without run-time effect

TEST_F(StepTest, RepeatAndNamePassWithoutEffect) {
  prog.dump = FLAG_ON;
  run("$\nNAME quiet\nNOTATE a\nREPEAT 1 2\nNOTATE b\n$\n$\n");
  EXPECT_EQ(step(1), "a\nb\n");
  EXPECT_EQ(prog.threadcurrent[1], prog.threadstart[1]);
  EXPECT_EQ(prog.threadtimer[1], 0u);
}

TEST_F(StepTest, UnknownOpcodesPassWithoutEffect) {
  const Token unknown[] = {0x0A000000, 0x0AFF0101, 0x7E000000, 0x80000000,
                           0xFE123456, 0xFFFFFFFF};
  for (Token token : unknown) {
    fresh();
    prog.dump = FLAG_ON;
    run("NOTATE a\nNOTATE b\nNOTATE c\n$\n$\n");
    prog.tokens[1] = token;
    simtracing = 1;
    EXPECT_EQ(step(0), "a\nc\n") << std::hex << token;
    EXPECT_EQ(prog.threadcurrent[0], 0) << std::hex << token;
    EXPECT_EQ(simtracecount, 0) << std::hex << token;  // no port touched
    EXPECT_EQ(fakeshellcount, 0) << std::hex << token;
    EXPECT_EQ(prog.threadtimer[0], 0u) << std::hex << token;
  }
}

}  // namespace
