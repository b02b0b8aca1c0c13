// Port registers: the base-address lookup and byte access to I/O addresses.
// Providers: portio_direct.cpp (ioperm and inb/outb on a real PC) and
// portio_sim.cpp (the simulated adapters of simport.h).
#ifndef QUON_PLATFORM_PORTIO_H
#define QUON_PLATFORM_PORTIO_H

#include <cstdint>

// The I/O base address of the first parallel port (1 to 0xFFFF), or -1 when
// none is known; *hint then says what the user can do (one line, no
// newline).
int32_t biosportbase(const char **hint);

// Gains access to base..base+2 and 0x278..0x27A. Returns 0, or -1 with
// *hint set.
int32_t ioaccess(uint32_t base, const char **hint);

// Gives the access up again: called in a SPAWN'd child before it runs the
// command interpreter, so commands cannot touch the port.
void iorelease(void);

// 1 when the registers are the simulated adapters of simport.h (a
// testbench drives them), 0 on a real port.
int iosimulated(void);

// Simulated registers only: holds input bit bit (0 to 7) of the adapter at
// base at pin level level, cut from the line that drove it (a testbench's
// input). Nothing happens on a real port.
void ioholdinput(uint32_t base, int bit, int level);

// One byte from / to an I/O address, at once and in program order.
uint8_t ioread(uint32_t address);
void iowrite(uint32_t address, uint8_t value);

#endif
