// The real quon's GPIO inputs from the kernel's edges, over the test's own
// GPIO chip (tests/shim, loaded with LD_PRELOAD) whose granted request
// holds queued edges: each edge releases its WAIT even though the lines
// read 0 throughout, a gap in the edges' numbers is told once, and --spin
// reads the lines instead.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

using EdgesE2eTest = E2eTest;

PlainRun runshim(const std::string &folder, const std::vector<std::string> &args,
                 const char *edges, const char *values, const char *refuse = nullptr) {
  PlainStart start;
  start.program = QUON_PATH;
  start.vars = {{"LD_PRELOAD", QUON_GPIO_SHIM_PATH}, {"QUON_SHIM_EDGES", edges},
                {"QUON_SHIM_VALUES", values}};
  if (refuse != nullptr) start.vars.emplace_back(refuse, "1");
  const char *asan = getenv("ASAN_OPTIONS");
  start.vars.emplace_back("ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                              (asan != nullptr && *asan ? ":" : "") +
                                              "verify_asan_link_order=0");
  return runplain(folder, args, -1, start);
}

// Line 2 is input bit 0, line 3 bit 1. The second thread ends a run whose
// WAITs were never released (a generous bound, not a measure).
const char *const SCRIPT =
    "WAIT 0 .......1\nNOTATE up\nWAIT 0 .......0\nNOTATE down\nWAIT 0 ......1.\nNOTATE two\n"
    "WAIT 2 1\n$\nDELAY 30\nNOTATE never released\nWAIT 2 1\n$\n$\n";
const char *const ENDED = "Attempt to input from logical port 2, > max of 1\n";

TEST_F(EdgesE2eTest, QueuedEdgesReleaseTheirWaitsInOrderAndAGapIsToldOnce) {
  writeall(path("e.qun"), SCRIPT);
  PlainRun r = runshim(dir, {"--port=gpiochip99:out=1:in=2,3", "e.qun"}, "2:r:1,2:f:2,3:r:5,3:f:7",
                       "0");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "up\ndown\ntwo\n");
  EXPECT_EQ(r.err, std::string("GPIO: 2 edges of logical port 0 were lost: the kernel's queue was "
                               "full before the loop read it (a WAIT may have missed a pulse; told "
                               "once a run)\n") + ENDED);
}

// --spin asks for no edges: the WAITs see the lines as they read.
TEST_F(EdgesE2eTest, SpinReadsTheLinesAndTakesNoEdges) {
  writeall(path("e.qun"), "WAIT 0 ......11\nNOTATE both\nWAIT 2 1\n$\nDELAY 30\nWAIT 2 1\n$\n$\n");
  PlainRun r = runshim(dir, {"--port=gpiochip99:out=1:in=2,3", "--spin", "e.qun"}, "2:r:1,2:f:9",
                       "6");  // set entries 1 and 2: lines 2 and 3
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "both\n");
  EXPECT_EQ(r.err, ENDED);
}

// What the kernel refuses: edges on a chip without interrupts make the
// run poll its lines, with one warning; a debounce ends it before it ran.
TEST_F(EdgesE2eTest, AChipWithoutEdgesIsPolledAndARefusedDebounceEndsTheRun) {
  writeall(path("e.qun"), "WAIT 0 .......1\nNOTATE polled\nWAIT 2 1\n$\nDELAY 30\nWAIT 2 1\n$\n$\n");
  PlainRun r = runshim(dir, {"--port=gpiochip99:out=1:in=2", "e.qun"}, "", "2", "QUON_SHIM_NOEDGES");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "polled\n");
  EXPECT_EQ(r.err, std::string("Warning: the lines of gpiochip99 report no edges (No such device or "
                               "address): the loop polls them, as with --spin\n") + ENDED);
  r = runshim(dir, {"--port=gpiochip99:in=2/debounce=5ms", "e.qun"}, "", "2", "QUON_SHIM_NODEBOUNCE");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Unable to use GPIO lines!\nthe kernel or the driver of gpiochip99 refused to "
                   "debounce its lines (Invalid argument): run them without /debounce=\n");
}

}  // namespace
