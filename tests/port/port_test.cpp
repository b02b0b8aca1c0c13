// Logical ports over the simulated adapters: pattern operations, input
// assembly and calibration, which registers each operation touches and in
// what order, the input diagnostic line, the locator and the range checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/tables.h"
#include "sim/simport.h"
#include "port/port.h"
#include "tests/testutil.h"

namespace {

constexpr uint8_t ON = 0xFF;

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override { resetall(); }
};

// Makes adapter a's status and control registers read the given raw bytes.
void rigregisters(SimAdapter &a, uint8_t status, uint8_t control) {
  a.forced = 0x06;
  a.forcevalue[1] = status;
  a.forcevalue[2] = control;
}

std::string traced(void) {
  std::string text;
  int n = simtracecount < SIM_TRACE ? simtracecount : SIM_TRACE;
  for (int i = 0; i < n; i++) {
    char line[40];
    snprintf(line, sizeof line, "%s %03x %02x\n", simtrace[i].write ? "W" : "R",
             simtrace[i].address, simtrace[i].value);
    text += line;
  }
  return text;
}

// ---- pattern operations -------------------------------------------------

struct PatternCase {
  uint32_t b;
  uint16_t p;
  uint8_t applied;  // applypattern
  uint8_t toggled;  // togglepattern
  int matched;      // matchpattern
};

TEST(PatternTest, OperationsFollowMaskAndValue) {
  const PatternCase cases[] = {
      {0xFF, 0x0F05, 0xF5, 0xFA, 0},
      {0xF0, 0x0005, 0xF5, 0xF5, 0},   // a value bit outside the mask never matches
      {0x35, 0x0F05, 0x35, 0x30, 1},   // match looks at the mask only
      {0x37, 0x0F05, 0x35, 0x32, 0},
      {0xA5, 0x0000, 0xA5, 0xA5, 1},   // no bits selected: always matches
      {0x00, 0x0000, 0x00, 0x00, 1},
      {0xF0, 0xFF05, 0x05, 0xF5, 0},   // toggle ignores the mask byte
      {0x00, 0x0030, 0x30, 0x30, 0},   // apply ORs the whole value byte in
      {0x1FF, 0x0100, 0xFE, 0xFF, 0},  // only the low byte of b counts
      {0x180, 0x8080, 0x80, 0x00, 1},
      {0x12F0, 0xF0F0, 0xF0, 0x00, 1},
      {0x55, 0xFF00, 0x00, 0x55, 0},
      {0x00, 0xFFFF, 0xFF, 0xFF, 0},
      {0xFF, 0xFFFF, 0xFF, 0x00, 1},
  };
  for (const PatternCase &c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "b=" << c.b << " p=" << c.p);
    EXPECT_EQ(applypattern(c.b, c.p), c.applied);
    EXPECT_EQ(togglepattern(c.b, c.p), c.toggled);
    EXPECT_EQ(matchpattern(c.b, c.p), c.matched);
  }
}

// ---- input assembly -----------------------------------------------------

struct InputCase {
  uint8_t status;   // raw status register
  uint8_t control;  // raw control register
  uint16_t calinv;
  uint16_t input;
};

TEST_F(PortTest, InputTakesStatusBitsSevenToThreeAndControlBitsTwoToZero) {
  const InputCase cases[] = {
      {0x5A, 0xC7, 0x0000, 0x005F},
      {0x5A, 0xC7, 0x1200, 0x125F},  // the high byte is calinv's
      {0xFF, 0x00, 0x0000, 0x00F8},  // status bits 2-0 are dropped
      {0x07, 0xFF, 0x0000, 0x0007},  // control bits 7-3 are dropped
      {0x00, 0x00, 0x0083, 0x0083},
      {0xA5, 0x02, 0x0083, 0x0021},
      {0xFF, 0xFF, 0xFFFF, 0xFF00},
  };
  for (int n = 0; n < LOGICAL_PORTS; n++) {
    for (const InputCase &c : cases) {
      SCOPED_TRACE(::testing::Message() << std::hex << "port " << n << " status="
                                        << int(c.status) << " control=" << int(c.control)
                                        << " calinv=" << c.calinv);
      simreset();
      rigregisters(simadapter[n], c.status, c.control);
      prog.calinv = c.calinv;
      EXPECT_EQ(portinput(n), c.input);
    }
  }
}

// A WAIT sees only the low byte, so a calinv high byte cannot spoil a match.
TEST_F(PortTest, CalinvHighByteLeavesWaitComparisonAlone) {
  rigregisters(simadapter[0], 0x5A, 0xC7);
  prog.calinv = 0x1200;
  uint16_t input = portinput(0);
  EXPECT_EQ(input >> 8, 0x12);
  EXPECT_EQ(matchpattern(input, 0xFF5F), 1);
  EXPECT_EQ(matchpattern(input, 0xFF12), 0);
}

// With the test connector and the calibration it yields, every calibrated
// input bit follows the data bit of the same position, on both ports.
TEST_F(PortTest, CalibratedInputFollowsDataThroughTestConnector) {
  prog.calctl = 0x04;
  prog.calinv = 0x0083;
  for (int n = 0; n < LOGICAL_PORTS; n++) {
    for (int d = 0; d < 256; d++) {
      portwrite(n, static_cast<uint8_t>(d));
      ASSERT_EQ(portinput(n), d) << "port " << n;
    }
  }
}

TEST_F(PortTest, ReadBackReturnsDataLatchWithoutCalibration) {
  prog.calinv = 0x00FF;
  const uint8_t bytes[] = {0x00, 0x01, 0x5A, 0x80, 0xFF};
  for (int n = 0; n < LOGICAL_PORTS; n++) {
    for (uint8_t b : bytes) {
      portwrite(n, b);
      EXPECT_EQ(portreadback(n), b) << "port " << n;
      EXPECT_EQ(simadapter[n].data, b);
    }
  }
  portwrite(0, 0x11);
  portwrite(1, 0x22);
  EXPECT_EQ(portreadback(0), 0x11);  // the two ports do not share a latch
  EXPECT_EQ(portreadback(1), 0x22);
}

// ---- register traffic ---------------------------------------------------

enum Op { INPUT, READBACK, WRITE };

struct TrafficCase {
  Op op;
  int32_t n;
  uint8_t verbose;
  uint8_t portdebug;
  const char *trace;  // the accesses in order: direction, address, byte
};

// Each operation touches exactly its registers, the control byte first for
// input, and the diagnostic reads come only with both flags.
TEST_F(PortTest, OperationsTouchTheirRegistersInOrder) {
  const TrafficCase cases[] = {
      {INPUT, 0, 0, 0, "W 37a 04\nR 379 87\nR 37a 03\n"},
      {INPUT, 1, 0, 0, "W 27a 04\nR 279 87\nR 27a 03\n"},
      {INPUT, 0, ON, 0, "W 37a 04\nR 379 87\nR 37a 03\n"},
      {INPUT, 0, 0, ON, "W 37a 04\nR 379 87\nR 37a 03\n"},
      {INPUT, 0, ON, ON, "W 37a 04\nR 37a 03\nR 379 87\nR 379 87\nR 37a 03\n"},
      {INPUT, 1, ON, ON, "W 27a 04\nR 27a 03\nR 279 87\nR 279 87\nR 27a 03\n"},
      {READBACK, 0, ON, ON, "R 378 00\n"},
      {READBACK, 1, 0, 0, "R 278 00\n"},
      {WRITE, 0, ON, ON, "W 378 a5\n"},
      {WRITE, 1, 0, 0, "W 278 a5\n"},
  };
  for (const TrafficCase &c : cases) {
    SCOPED_TRACE(::testing::Message() << "op " << c.op << " port " << c.n << " -v "
                                      << int(c.verbose) << " -b " << int(c.portdebug));
    resetall();
    prog.calctl = 0x1204;  // only the low byte reaches the register
    prog.verbose = c.verbose;
    prog.portdebug = c.portdebug;
    simtracing = 1;
    ::testing::internal::CaptureStdout();
    if (c.op == INPUT) portinput(c.n);
    if (c.op == READBACK) portreadback(c.n);
    if (c.op == WRITE) portwrite(c.n, 0xA5);
    fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(traced(), c.trace);
  }
}

struct DiagnosticCase {
  uint8_t verbose;
  uint8_t portdebug;
  const char *out;
};

// The line shows the raw status byte, then the raw control byte.
TEST_F(PortTest, InputDiagnosticLineOnlyWithVerboseAndPortDebug) {
  const DiagnosticCase cases[] = {
      {0, 0, ""},
      {ON, 0, ""},
      {0, ON, ""},
      {ON, ON, "inputting 5a | c7\n"},
  };
  for (const DiagnosticCase &c : cases) {
    SCOPED_TRACE(::testing::Message() << "-v " << int(c.verbose) << " -b " << int(c.portdebug));
    resetall();
    rigregisters(simadapter[0], 0x5A, 0xC7);
    prog.calinv = 0x00FF;  // raw bytes: no calibration in the line
    prog.verbose = c.verbose;
    prog.portdebug = c.portdebug;
    ::testing::internal::CaptureStdout();
    uint16_t input = portinput(0);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(input, 0x00A0);  // the diagnostic reads change nothing
  }
}

// ---- the locator --------------------------------------------------------

struct LocateCase {
  uint16_t biosword;
  int deny;
  int32_t result;
  uint32_t out0;   // logical port 0's data register afterwards
  const char *hint;
};

TEST_F(PortTest, LocatePortTakesBiosWordForLogicalPortZeroOnly) {
  const LocateCase cases[] = {
      {0x378, 0, 0, 0x378, ""},
      {0x3BC, 0, 0, 0x3BC, ""},
      {0x278, 0, 0, 0x278, ""},
      {0xBC00, 0, 0, 0xBC00, ""},
      {0x0000, 0, -1, 0x378, "no parallel port found"},  // never address 0
      {0x3BC, 1, -1, 0x378, "access to the port registers was refused"},
  };
  for (const LocateCase &c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "word " << c.biosword << " deny " << c.deny);
    resetall();
    simbiosword = c.biosword;
    simdenyaccess = c.deny;
    EXPECT_EQ(locateport(), c.result);
    EXPECT_EQ(portaddresses.data[0], c.out0);
    EXPECT_EQ(portaddresses.data[1], 0x278u);
    EXPECT_STREQ(porthint, c.hint);
  }
}

// After locating a port elsewhere, logical port 0 drives that adapter and
// logical port 1 stays on 0x278.
TEST_F(PortTest, LocatedPortMovesOnlyLogicalPortZero) {
  simbiosword = 0x3BC;
  simadapter[0].base = 0x3BC;
  ASSERT_EQ(locateport(), 0);
  simtracing = 1;
  portwrite(0, 0x12);
  portwrite(1, 0x34);
  portinput(0);
  portinput(1);
  EXPECT_EQ(simadapter[0].data, 0x12);
  EXPECT_EQ(simadapter[1].data, 0x34);
  EXPECT_EQ(traced(),
            "W 3bc 12\nW 278 34\n"
            "W 3be 00\nR 3bd 97\nR 3be 01\n"
            "W 27a 00\nR 279 b7\nR 27a 03\n");
}

// ---- logical ports out of range -----------------------------------------

// Registered inside the dying child: shows whether any register was touched
// before the program ended.
void reportaccesses(void) { fprintf(stderr, "accesses=%d\n", simtracecount); }

struct RangeCase {
  Op op;
  int32_t n;
  const char *message;
};

using PortDeathTest = PortTest;

TEST_F(PortDeathTest, OutOfRangePortEndsProgramBeforeTouchingRegisters) {
  const RangeCase cases[] = {
      {INPUT, 2, "Attempt to input from logical port 2, > max of 1\n"},
      {READBACK, 2, "Attempt to read-back from logical port 2, > max of 1\n"},
      {WRITE, 2, "Attempt to write to logical port 2, > max of 1\n"},
      {INPUT, 255, "Attempt to input from logical port 255, > max of 1\n"},
      {READBACK, 255, "Attempt to read-back from logical port 255, > max of 1\n"},
      {WRITE, 255, "Attempt to write to logical port 255, > max of 1\n"},
  };
  for (const RangeCase &c : cases) {
    SCOPED_TRACE(c.message);
    std::string expected = std::string("^") + c.message + "accesses=0\n$";
    EXPECT_EXIT(
        {
          simtracing = 1;
          atexit(reportaccesses);
          if (c.op == INPUT) portinput(c.n);
          if (c.op == READBACK) portreadback(c.n);
          if (c.op == WRITE) portwrite(c.n, 0xFF);
        },
        ::testing::ExitedWithCode(255), expected);
  }
}

// The highest valid port is the last one: no death there.
TEST_F(PortTest, PortOneIsTheHighestValidPort) {
  portwrite(1, 0x3C);
  EXPECT_EQ(portreadback(1), 0x3C);
  prog.calctl = 4;
  prog.calinv = 0x83;
  EXPECT_EQ(portinput(1), 0x3C);
}

}  // namespace
