// The simulated adapters at register level: data latch, status pins with
// BUSY inverted, open-collector control lines with their inversions, the
// test connector, rigged wiring, unmapped addresses and the access trace.
#include <gtest/gtest.h>

#include "sim/simport.h"
#include "tests/testutil.h"

namespace {

class SimPortTest : public ::testing::Test {
 protected:
  void SetUp() override { resetall(); }
};

// The input byte as the port layer assembles it, straight from registers.
uint8_t assembled(uint32_t base) {
  return static_cast<uint8_t>((simread(base + 1) & 0xF8) | (simread(base + 2) & 0x07));
}

// What the simulated port shows to whoever looks first, before any test has
// touched it or called simreset(): quon-sim never resets it, so this is the
// port a script starts on. Taken while the test program loads.
struct PortState {
  uint32_t base[SIM_ADAPTERS];
  uint8_t data[SIM_ADAPTERS];     // the data register as read
  uint8_t status[SIM_ADAPTERS];   // the status register as read
  uint8_t control[SIM_ADAPTERS];  // the control register as read
  uint8_t input[SIM_ADAPTERS];    // every data line low: the input byte
  uint8_t looped[SIM_ADAPTERS];   // control byte 4, data 0x5A: the input byte
  uint16_t biosword;
  int denyaccess, tracing, tracecount;
};

PortState lookat(void) {
  PortState s{};
  s.biosword = simbiosword;
  s.denyaccess = simdenyaccess;
  s.tracing = simtracing;
  s.tracecount = simtracecount;
  for (int n = 0; n < SIM_ADAPTERS; n++) {
    s.base[n] = simadapter[n].base;
    s.data[n] = simread(s.base[n]);
    s.status[n] = simread(s.base[n] + 1);
    s.control[n] = simread(s.base[n] + 2);
    s.input[n] = assembled(s.base[n]);
  }
  // The test connector is plugged in from the start: with the lines
  // released, the inputs follow the data lines.
  for (int n = 0; n < SIM_ADAPTERS; n++) {
    simwrite(s.base[n] + 2, 0x04);
    simwrite(s.base[n], 0x5A);
    s.looped[n] = assembled(s.base[n]);
    simwrite(s.base[n], 0x00);
    simwrite(s.base[n] + 2, 0x00);
  }
  return s;
}

const PortState ATLOAD = lookat();

TEST_F(SimPortTest, PowerOnState) {
  const uint32_t bases[SIM_ADAPTERS] = {0x378, 0x278};
  for (int n = 0; n < SIM_ADAPTERS; n++) {
    EXPECT_EQ(ATLOAD.base[n], bases[n]);
    EXPECT_EQ(ATLOAD.data[n], 0x00);
    EXPECT_EQ(ATLOAD.status[n], 0x87);   // data 0 on the pins, BUSY inverted
    EXPECT_EQ(ATLOAD.control[n], 0x03);  // latch 0 drives INIT low; data 0 pulls the rest
    EXPECT_EQ(ATLOAD.input[n], 0x83);
    EXPECT_EQ(ATLOAD.looped[n], 0x5A ^ 0x83);
  }
  EXPECT_EQ(ATLOAD.biosword, 0x378);
  EXPECT_EQ(ATLOAD.denyaccess, 0);
  EXPECT_EQ(ATLOAD.tracing, 0);
  EXPECT_EQ(ATLOAD.tracecount, 0);
}

// simreset() gives every test the port a fresh program starts on.
TEST_F(SimPortTest, ResetRestoresThePowerOnState) {
  simadapter[0].stuck[3] = 1;
  simadapter[1].wire[0] = -1;
  simadapter[1].inverted = 0x0F;
  simwrite(SIM_BASE0, 0xFF);
  simwrite(SIM_BASE1 + 2, 0xF0);
  simbiosword = 0;
  simdenyaccess = 1;
  simtracing = 1;
  simreset();
  PortState now = lookat();
  for (int n = 0; n < SIM_ADAPTERS; n++) {
    EXPECT_EQ(now.base[n], ATLOAD.base[n]) << n;
    EXPECT_EQ(now.data[n], ATLOAD.data[n]) << n;
    EXPECT_EQ(now.status[n], ATLOAD.status[n]) << n;
    EXPECT_EQ(now.control[n], ATLOAD.control[n]) << n;
    EXPECT_EQ(now.input[n], ATLOAD.input[n]) << n;
    EXPECT_EQ(now.looped[n], ATLOAD.looped[n]) << n;
  }
  EXPECT_EQ(now.biosword, ATLOAD.biosword);
  EXPECT_EQ(now.denyaccess, ATLOAD.denyaccess);
  EXPECT_EQ(now.tracing, ATLOAD.tracing);
  EXPECT_EQ(now.tracecount, ATLOAD.tracecount);
}

TEST_F(SimPortTest, DataLatchReadsBackWhatWasWritten) {
  const uint8_t bytes[] = {0x00, 0x01, 0x80, 0x5A, 0xA5, 0xFF};
  for (uint32_t base : {SIM_BASE0, SIM_BASE1}) {
    for (uint8_t b : bytes) {
      simwrite(base, b);
      EXPECT_EQ(simread(base), b) << std::hex << base;
    }
  }
}

struct StatusCase {
  uint8_t data;
  uint8_t status;
};

// Data lines 7-3 reach the status pins; BUSY reads inverted; bits 2-0 read 1.
TEST_F(SimPortTest, StatusFollowsDataLinesWithBusyInverted) {
  const StatusCase cases[] = {
      {0x00, 0x87}, {0xFF, 0x7F}, {0x80, 0x07}, {0x40, 0xC7}, {0x20, 0xA7},
      {0x10, 0x97}, {0x08, 0x8F}, {0x07, 0x87}, {0x55, 0xD7}, {0xAA, 0x2F},
  };
  for (const StatusCase &c : cases) {
    simwrite(SIM_BASE0, c.data);
    EXPECT_EQ(simread(SIM_BASE0 + 1), c.status) << std::hex << "data " << int(c.data);
  }
}

TEST_F(SimPortTest, StatusRegisterIgnoresWrites) {
  simwrite(SIM_BASE0 + 1, 0x00);
  EXPECT_EQ(simread(SIM_BASE0 + 1), 0x87);
  EXPECT_EQ(simread(SIM_BASE0), 0x00);
  EXPECT_EQ(simread(SIM_BASE0 + 2), 0x03);
}

struct ControlCase {
  uint8_t latch;
  uint8_t data;     // data lines 2-0 reach STROBE, AUTOFEED, INIT
  uint8_t control;  // the control register as read
};

// Lines 0-3 read the open-collector level, STROBE, AUTOFEED and SELECT-IN
// inverted; bits 7-4 read the latch.
TEST_F(SimPortTest, ControlReadsOpenCollectorLevels) {
  const ControlCase cases[] = {
      {0x04, 0x00, 0x03},  // all released, connector pulls 0-2 low
      {0x04, 0x07, 0x04},  // all released and high
      {0x04, 0x01, 0x02},  // only STROBE high
      {0x04, 0x02, 0x01},  // only AUTOFEED high
      {0x04, 0x04, 0x07},  // only INIT high
      {0x00, 0x07, 0x00},  // INIT latch 0 pulls INIT low
      {0x0B, 0x07, 0x0B},  // inverted latch bits pull their lines low
      {0x01, 0x07, 0x01},
      {0x02, 0x07, 0x02},
      {0x08, 0x07, 0x08},  // SELECT-IN pulled low by its latch
      {0x05, 0x06, 0x05},
      {0xF4, 0x07, 0xF4},  // bits 7-4 are the latch
      {0xA4, 0x00, 0xA3},
      {0xFF, 0x00, 0xFB},
  };
  for (const ControlCase &c : cases) {
    simwrite(SIM_BASE0, c.data);
    simwrite(SIM_BASE0 + 2, c.latch);
    EXPECT_EQ(simread(SIM_BASE0 + 2), c.control)
        << std::hex << "latch " << int(c.latch) << " data " << int(c.data);
    EXPECT_EQ(simadapter[0].control, c.latch);
  }
}

// Under control byte 4 every line is released, so each input bit follows
// its data line, with BUSY, STROBE and AUTOFEED reading inverted.
TEST_F(SimPortTest, TestConnectorLoopsBackUnderControlByteFour) {
  for (uint32_t base : {SIM_BASE0, SIM_BASE1}) {
    simwrite(base + 2, 0x04);
    for (int d = 0; d < 256; d++) {
      simwrite(base, static_cast<uint8_t>(d));
      ASSERT_EQ(assembled(base), d ^ 0x83) << std::hex << base << " data " << d;
    }
  }
}

TEST_F(SimPortTest, OpenInputsFloatHigh) {
  for (int8_t &w : simadapter[0].wire) w = -1;
  simwrite(SIM_BASE0 + 2, 0x04);
  for (uint8_t d : {0x00, 0xFF}) {
    simwrite(SIM_BASE0, d);
    EXPECT_EQ(simread(SIM_BASE0 + 1), 0x7F);  // every pin high, BUSY reads 0
    EXPECT_EQ(simread(SIM_BASE0 + 2), 0x04);
  }
}

struct StuckCase {
  int bit;
  int8_t level;
  uint8_t latch;
  uint8_t data;
  uint8_t input;  // assembled input byte
};

// A stuck pin holds its level against the connector and the adapter alike.
TEST_F(SimPortTest, StuckPinsHoldTheirLevel) {
  const StuckCase cases[] = {
      {7, 0, 0x04, 0x80, 0x83},  // BUSY low reads 1 though data 7 is 1
      {7, 1, 0x04, 0x00, 0x03},  // BUSY high reads 0 though data 7 is 0
      {4, 0, 0x04, 0xFF, 0x6C},
      {3, 1, 0x04, 0x00, 0x8B},
      {2, 1, 0x00, 0x00, 0x87},  // INIT stuck high against a latch driving low
      {2, 0, 0x04, 0xFF, 0x78},
      {0, 0, 0x04, 0xFF, 0x7D},  // STROBE low reads 1
      {1, 1, 0x06, 0x00, 0x81},  // AUTOFEED stuck high although its latch pulls low
  };
  for (const StuckCase &c : cases) {
    simreset();
    simadapter[0].stuck[c.bit] = c.level;
    simwrite(SIM_BASE0 + 2, c.latch);
    simwrite(SIM_BASE0, c.data);
    EXPECT_EQ(assembled(SIM_BASE0), c.input) << "bit " << c.bit << " level " << int(c.level);
  }
}

TEST_F(SimPortTest, RiggedWiringMovesDataLines) {
  simadapter[0].wire[3] = 5;  // input bit 3 driven by data line 5
  simadapter[0].wire[0] = 7;  // input bit 0 driven by data line 7
  simwrite(SIM_BASE0 + 2, 0x04);
  simwrite(SIM_BASE0, 0x20);
  EXPECT_EQ(assembled(SIM_BASE0) ^ 0x83, 0x28);
  simwrite(SIM_BASE0, 0x80);
  EXPECT_EQ(assembled(SIM_BASE0) ^ 0x83, 0x81);
  simwrite(SIM_BASE0, 0x09);  // lines 3 and 0 now drive nothing
  EXPECT_EQ(assembled(SIM_BASE0) ^ 0x83, 0x00);
}

// An adapter on which INIT is inverted as well: latch 0 releases every line,
// and each control bit reads the inverse of its pin.
TEST_F(SimPortTest, RiggedInversionChangesWhichLatchReleasesALine) {
  const ControlCase cases[] = {
      {0x00, 0x00, 0x07},  // all released, connector pulls 0-2 low
      {0x00, 0x07, 0x00},  // all released and high
      {0x00, 0x04, 0x03},  // only INIT high
      {0x04, 0x07, 0x04},  // INIT latch 1 now pulls INIT low
      {0x0F, 0x07, 0x0F},  // every latch bit pulls its line low
  };
  simadapter[0].inverted = 0x0F;
  for (const ControlCase &c : cases) {
    simwrite(SIM_BASE0, c.data);
    simwrite(SIM_BASE0 + 2, c.latch);
    EXPECT_EQ(simread(SIM_BASE0 + 2), c.control)
        << std::hex << "latch " << int(c.latch) << " data " << int(c.data);
  }
  simwrite(SIM_BASE1, 0x07);
  simwrite(SIM_BASE1 + 2, 0x00);
  EXPECT_EQ(simread(SIM_BASE1 + 2), 0x00);  // the other adapter keeps its INIT
  simreset();
  EXPECT_EQ(simadapter[0].inverted, SIM_CONTROL_INVERTED);
}

TEST_F(SimPortTest, ForcedRegistersReadTheirByte) {
  simadapter[1].forced = 0x07;
  simadapter[1].forcevalue[0] = 0x11;
  simadapter[1].forcevalue[1] = 0x22;
  simadapter[1].forcevalue[2] = 0x33;
  simwrite(SIM_BASE1, 0xFF);
  EXPECT_EQ(simread(SIM_BASE1), 0x11);
  EXPECT_EQ(simread(SIM_BASE1 + 1), 0x22);
  EXPECT_EQ(simread(SIM_BASE1 + 2), 0x33);
  EXPECT_EQ(simadapter[1].data, 0xFF);  // the latch still takes the write
  EXPECT_EQ(simread(SIM_BASE0), 0x00);  // the other adapter is unaffected
}

TEST_F(SimPortTest, AdaptersAreIndependent) {
  simwrite(SIM_BASE1, 0xFF);
  simwrite(SIM_BASE1 + 2, 0xF4);
  EXPECT_EQ(simread(SIM_BASE0), 0x00);
  EXPECT_EQ(simread(SIM_BASE0 + 1), 0x87);
  EXPECT_EQ(simread(SIM_BASE0 + 2), 0x03);
  EXPECT_EQ(simread(SIM_BASE1 + 1), 0x7F);
}

TEST_F(SimPortTest, UndecodedAddressesFloatAndIgnoreWrites) {
  for (uint32_t address : {0x000u, 0x377u, 0x37Bu, 0x277u, 0x27Bu, 0x3BCu, 0x10000u}) {
    simwrite(address, 0xAA);
    EXPECT_EQ(simread(address), 0xFF) << std::hex << address;
  }
  EXPECT_EQ(simread(SIM_BASE0), 0x00);
  EXPECT_EQ(simadapter[0].control, 0x00);
  EXPECT_EQ(simadapter[1].control, 0x00);
}

TEST_F(SimPortTest, TraceRecordsAccessesInOrderOnlyWhileTracing) {
  simwrite(SIM_BASE0, 0x01);  // not traced
  simtracing = 1;
  simwrite(SIM_BASE0 + 2, 0x04);
  simread(SIM_BASE0 + 1);
  simread(0x123);
  simtracing = 0;
  simread(SIM_BASE0);  // not traced
  ASSERT_EQ(simtracecount, 3);
  EXPECT_EQ(simtrace[0].address, SIM_BASE0 + 2);
  EXPECT_EQ(simtrace[0].value, 0x04);
  EXPECT_EQ(simtrace[0].write, 1);
  EXPECT_EQ(simtrace[1].address, SIM_BASE0 + 1);
  EXPECT_EQ(simtrace[1].value, 0x87);
  EXPECT_EQ(simtrace[1].write, 0);
  EXPECT_EQ(simtrace[2].address, 0x123u);
  EXPECT_EQ(simtrace[2].value, 0xFF);
  EXPECT_EQ(simtrace[2].write, 0);
}

// The record keeps the first SIM_TRACE accesses; the count goes on.
TEST_F(SimPortTest, TraceKeepsFirstEntriesWhenFull) {
  simtracing = 1;
  for (int i = 0; i < SIM_TRACE + 10; i++) simwrite(SIM_BASE1, static_cast<uint8_t>(i));
  EXPECT_EQ(simtracecount, SIM_TRACE + 10);
  EXPECT_EQ(simtrace[0].value, 0);
  EXPECT_EQ(simtrace[SIM_TRACE - 1].value, SIM_TRACE - 1);
  simreset();
  EXPECT_EQ(simtracecount, 0);
  EXPECT_EQ(simtracing, 0);
  EXPECT_EQ(simtrace[0].address, 0u);
}

}  // namespace
