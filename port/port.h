// Logical ports: the numbers scripts use, mapped onto the registers of PC
// parallel ports, with the calibration values applied to every input, or
// onto GPIO lines (platform/gpio.h), read as they are; and the three
// pattern operations of WAIT, OUTPUT and TOGGLE.
//
//   logical port   output (data)   input (status)   control
//        0             base           base + 1       base + 2
//        1             0x278          0x279          0x27A
#ifndef QUON_PORT_PORT_H
#define QUON_PORT_PORT_H

#include <cstdint>

#include "core/tables.h"


// Where the logical ports are: the data register of each. Its status
// register is the next address and its control register the one after.
// Logical port 0 moves to the port that locateport finds.
struct PortAddresses {
  uint32_t data[LOGICAL_PORTS] = {0x378, 0x278};
};
extern PortAddresses portaddresses;

// Finds the first parallel port's base and gains access to it. Returns 0
// when logical port 0 now points at it, -1 when no port can be used; then
// porthint names what the user can do about it. With GPIO ports chosen it
// requests their lines instead, and ends the program when it cannot.
int32_t locateport(void);
extern const char *porthint;
// What the port layer had to say on success (a port not claimed, say);
// nullptr: nothing.
extern const char *portnote;
extern const char *portwarning;  // what the user must know (always shown)
// Bases chosen on the command line (--port=, --port1=); 0: the default.
extern uint32_t chosenbase[LOGICAL_PORTS];

// Logical port n is on the GPIO lines prepared for it (gpioprepare).
void portchoosegpio(int32_t n);
// 1 when a port is on GPIO lines: then every port in use is (locateport
// refuses a parallel port beside them), and there is no calibration.
bool portsongpio(void);
// --spin: the inputs of GPIO ports are polled at every WAIT, as on a
// parallel port, instead of following the kernel's edges (port/edges.h).
// Before locateport.
void portspin(bool spin);

// 1 when a WAIT on logical port n for pattern cannot hold until an edge
// comes or a thread writes: n is a flag bank, or a GPIO port followed by
// its edges, and what a WAIT there sees now does not match. 0 for a port
// that can change at any time (a parallel port, polled lines).
bool portstill(int32_t n, uint16_t pattern);

// The first logical port of addressed (a bit per port) that is on GPIO
// with no lines given, or -1.
int32_t portunwired(unsigned addressed);

// Calibrated input of logical port n (callers use the low 8 bits). Writes
// the control byte first. Ends the program when n is out of range.
uint16_t portinput(int32_t n);

// The raw registers an input read: status and control (GPIO lines: the
// lines and 0).
struct PortRegisters {
  uint8_t status;
  uint8_t control;
};

// Logical port n's input as portinput reads it, for a trace's first value
// and the monitors' region: printing nothing, recording nothing and
// forcing nothing (n in range). raw, when not null, gets the registers.
uint8_t portsample(int32_t n, PortRegisters *raw);

// The byte held in logical port n's data register.
uint8_t portreadback(int32_t n);

// Writes b to logical port n's data register.
void portwrite(int32_t n, uint8_t b);

// Read-back and write of logical port n (in range) with nothing printed,
// published or traced: for the last words, async-signal-safe. The write
// returns 0, or -1 with errno set when GPIO lines refused it.
uint8_t portrawreadback(int32_t n);
int portrawwrite(int32_t n, uint8_t b);

// Pattern operations on the low byte of b; mask is p's high byte, value
// its low byte.
inline uint8_t applypattern(uint32_t b, uint16_t p) {  // OUTPUT
  return static_cast<uint8_t>((b & ~(p >> 8)) | p);
}
inline uint8_t togglepattern(uint32_t b, uint16_t p) {  // TOGGLE
  return static_cast<uint8_t>(b ^ p);
}
inline int matchpattern(uint32_t b, uint16_t p) {  // WAIT
  return (b & (p >> 8) & 0xFF) == (p & 0xFFu);
}

// Flag banks: logical ports FLAG_FIRST to PORT_NUMBERS - 1 made banks of
// eight bits held in memory, all 0 at start. OUTPUT, TOGGLE and read-back
// go to the bits as to a data register, WAIT reads what was last written
// (no calibration, nothing forced), so one thread's OUTPUT is seen by
// another's WAIT in the same pass. A port above 1 that is no bank still
// ends the run at its first use.
//
// Makes the ports of banks (bit n: logical port n; other bits ignored)
// banks, with every bit 0.
void portflagbanks(unsigned banks);
unsigned portflagged(void);  // the banks (bit n: logical port n)
inline bool portisflag(int32_t n) {
  return n >= FLAG_FIRST && n < PORT_NUMBERS && ((portflagged() >> n) & 1) != 0;
}
// Bank n's bits (n a bank).
uint8_t flagbits(int32_t n);
// Applies pattern to bank n as an OUTPUT does (from outside the script: a
// monitor, a testbench); the change is told as a thread's would be.
void flagapply(int32_t n, uint16_t pattern);
// Every bank's bits back to 0 (a run starting afresh), the banks kept.
void flagsclear(void);

// Restores the addresses to 0x378 and 0x278, clears porthint and forgets
// GPIO ports and flag banks (tests).
void resetports(void);

#endif
