// The simulated port: two SPP adapters at register level, with the test
// connector plugged into both, and the simulated BIOS data area.
//
// Data (base+0): latches the byte written, reads it back; 0 at start.
// Status (base+1): bits 7-3 report the pins BUSY (7, reads 1 when the pin is
//   low), ACK (6), PAPER-OUT (5), SELECT (4), ERROR (3); bits 2-0 read 1.
// Control (base+2): writes latch. Bits 0-3 read the level of open-collector
//   pins: the level the latch drives AND the external level. STROBE (0),
//   AUTOFEED (1) and SELECT-IN (3) are inverted (latch 0 drives high, reads
//   1 when low); INIT (2) is not. Bits 4-7 read back the latch. Tests can
//   rig other inversions (an adapter on which INIT is inverted too is free
//   on every line under control byte 0).
// Test connector: data line i drives the pin of input bit i (data 7-3 to
//   BUSY, ACK, PAPER-OUT, SELECT, ERROR; data 2-0 to INIT, AUTOFEED,
//   STROBE). Unconnected pins float high; a stuck pin holds its level
//   whatever drives it. SELECT-IN is not on the connector. An address that
//   no adapter decodes reads 0xFF and ignores writes.
#ifndef QUON_SIM_SIMPORT_H
#define QUON_SIM_SIMPORT_H

#include <cstdint>

constexpr int SIM_ADAPTERS = 2;
constexpr uint32_t SIM_BASE0 = 0x378;
constexpr uint32_t SIM_BASE1 = 0x278;
constexpr uint8_t SIM_CONTROL_INVERTED = 0x0B;  // STROBE, AUTOFEED, SELECT-IN

// An adapter at power-on with the test connector plugged in, as
// SimAdapter{base} makes it.
struct SimAdapter {
  uint32_t base = 0;       // I/O base address
  uint8_t data = 0;        // data latch
  uint8_t control = 0;     // control latch
  int8_t wire[8] = {0, 1, 2, 3, 4, 5, 6, 7};  // input bit i is driven by data
                                              // line wire[i]; -1 open
  int8_t stuck[8] = {-1, -1, -1, -1, -1, -1, -1, -1};  // pin stuck at 0 or 1;
                                                       // -1 free
  uint8_t forced = 0;      // bit r set: register base+r reads forcevalue[r]
  uint8_t forcevalue[3] = {0, 0, 0};  // raw register bytes for rigged tests
  uint8_t inverted = SIM_CONTROL_INVERTED;  // bit i set: control line i is
                                            // inverted (0x0B on a PC)
};

extern SimAdapter simadapter[SIM_ADAPTERS];
extern uint16_t simbiosword;  // word at offset 8 of the BIOS data area; 0 none
extern int simdenyaccess;     // nonzero: ioaccess refuses

// One register access, for tests that check order and count.
struct SimAccess {
  uint32_t address;
  uint8_t value;
  uint8_t write;  // 1 write, 0 read
};
constexpr int SIM_TRACE = 64;
extern SimAccess simtrace[SIM_TRACE];  // the first SIM_TRACE accesses
extern int simtracecount;             // accesses traced since the last reset
extern int simtracing;                // nonzero: record and count accesses

// Both adapters at power-on with the test connector plugged in, the BIOS
// word 0x378, access allowed, tracing off and cleared.
void simreset(void);

// Register model, used by ioread/iowrite of the simulated back-end.
uint8_t simread(uint32_t address);
void simwrite(uint32_t address, uint8_t value);

#endif
