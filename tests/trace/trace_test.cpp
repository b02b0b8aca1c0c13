// The trace writer over the simulated port and the fake clock: the whole
// file of a short run, byte for byte, and a trace that cannot be written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "driver/mainloop.h"
#include "driver/startup.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "port/edges.h"
#include "port/port.h"
#include "tests/support/files.h"
#include "tests/testutil.h"
#include "trace/trace.h"

namespace {

struct TraceTest : LoopbackTest {
  void SetUp() override {
    LoopbackTest::SetUp();
    entertempdir();
  }
  void TearDown() override {
    traceclose();
    leavetempdir();
    LoopbackTest::TearDown();
  }
  // Starts a trace of the loaded script as start-up does.
  void begin(const char *name) {
    ASSERT_EQ(traceopen(name), 0);
    starttrace();
  }
  static void passat(uint32_t ms, uint32_t us) {
    fakeclock = ms;
    fakeclockus = us;
    testing::internal::CaptureStdout();
    mainlooppass();
    testing::internal::GetCapturedStdout();
  }
};

// The header names every variable once; time 0 holds every value; then
// each time that saw changes has one line, and only changes follow it.
TEST_F(TraceTest, ARunIsRecordedChangeByChange) {
  run("NAME blink\nOUTPUT 0 .......1\nDELAY 0.002\nOUTPUT 0 .......0\nDELAY 0.002\n$\n"
      "WAIT 0 .......1\nNOTATE seen\n$\n$\n");
  begin("t.vcd");
  passat(1, 0);    // out0 on, blink parks at the DELAY; the waiter sees in0
                   // and starts over at the same line
  passat(1, 500);  // nothing changes
  fakekeyspush('k');
  passat(2, 0);    // the key shows
  passat(2, 1);    // and goes back to 0 once time has moved on
  passat(3, 0);    // the DELAY is over: out0 off, blink at the second DELAY
  traceclose();    // at the time of the last change: the end is marked 1 us later
  std::string vcd = readfile("t.vcd");
  ASSERT_EQ(vcd.rfind("$date ", 0), 0u) << vcd;
  vcd.erase(0, vcd.find('\n') + 1);
  EXPECT_EQ(vcd,
            "$version quon $end\n"
            "$timescale 1us $end\n"
            "$scope module port0 $end\n"
            "$var wire 1 ! out0 $end\n$var wire 1 # out1 $end\n$var wire 1 % out2 $end\n"
            "$var wire 1 ' out3 $end\n$var wire 1 ) out4 $end\n$var wire 1 + out5 $end\n"
            "$var wire 1 - out6 $end\n$var wire 1 / out7 $end\n"
            "$var wire 1 \" in0 $end\n$var wire 1 $ in1 $end\n$var wire 1 & in2 $end\n"
            "$var wire 1 ( in3 $end\n$var wire 1 * in4 $end\n$var wire 1 , in5 $end\n"
            "$var wire 1 . in6 $end\n$var wire 1 0 in7 $end\n"
            "$upscope $end\n"
            "$scope module threads $end\n"
            "$var real 64 B blink $end\n$var real 64 C thread1 $end\n"
            "$upscope $end\n"
            "$scope module keyboard $end\n$var real 64 A key $end\n$upscope $end\n"
            "$enddefinitions $end\n"
            "#0\n$dumpvars\n"
            "0!\n0#\n0%\n0'\n0)\n0+\n0-\n0/\n"
            "0\"\n0$\n0&\n0(\n0*\n0,\n0.\n00\n"
            "r2 B\nr7 C\nr0 A\n"
            "$end\n"
            "#1000\n1!\nr3 B\n1\"\n"
            "#2000\nr107 A\n"
            "#2001\nr0 A\n"
            "#3000\n0!\nr5 B\n0\"\n"
            "#3001\n");
}

// Inputs that follow GPIO edges are stamped when their edge happened,
// though the loop took them later; lost edges are said with the first
// input change after the kernel's queue showed the loss.
TEST_F(TraceTest, GpioInputsAreStampedWithTheTimeOfTheirEdge) {
  static GpioEdge queued[2];
  static int32_t count = 0;
  const EdgeSource source = {[](int32_t, GpioEdge *out, int32_t) {
                               for (int32_t i = 0; i < count; ++i) out[i] = queued[i];
                               int32_t n = count;
                               count = 0;
                               return n;
                             },
                             [](int32_t) { return 0; }};
  portchoosegpio(0);
  portchoosegpio(1);
  ASSERT_EQ(locateport(), 0);
  ASSERT_EQ(edgesstart(1, source), 0);
  run("WAIT 0 ......11\nOUTPUT 0 1\n$\n$\n");
  fakeclock = 1;
  begin("t.vcd");
  queued[0] = GpioEdge{1200000, 1, 0, true};
  queued[1] = GpioEdge{1500000, 4, 1, true};  // two lost before it
  count = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(edgesnext(), 1);
  passat(2, 0);
  EXPECT_EQ(edgesnext(), 1);
  passat(2, 10);
  testing::internal::GetCapturedStderr();
  traceclose();
  std::string vcd = readfile("t.vcd");
  size_t body = vcd.find("$end\n", vcd.find("$dumpvars"));
  ASSERT_NE(body, std::string::npos) << vcd;
  EXPECT_EQ(vcd.substr(body + 5),
            "#1200\n$comment 2 edges lost in all: the kernel's queue was full $end\n1\"\n"
            "#1500\n1$\n"
            "#2010\n1!\n"
            "#2011\n");
}

// A trace that cannot be written says so once and stops; the run goes on.
// A reader gone away is such a failure too: the trace's SIGPIPE does not
// end the run (the program's handler of fatal signals is installed).
TEST_F(TraceTest, AWriteErrorStopsTheTraceNotTheRun) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  struct Case {
    const char *name;
    int fd;
    const char *reason;
  } cases[] = {
      {"/dev/full", open("/dev/full", O_WRONLY | O_CLOEXEC), "No space left on device"},
      {"pipe", ends[1], "Broken pipe"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    run("OUTPUT 0 .......1\nOUTPUT 0 .......0\n$\n$\n");
    testing::internal::CaptureStderr();
    ASSERT_GE(c.fd, 0);
    traceuse(c.fd, c.name);
    starttrace();
    passat(1, 0);
    passat(2, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Unable to write trace file \"") + c.name + "\"! (" + c.reason + ")\n");
    EXPECT_FALSE(tracing());
    EXPECT_EQ(portreadback(0), 0x00) << "the threads ran on";
  }
}

}  // namespace
