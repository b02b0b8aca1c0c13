// Port registers: the base-address lookup and byte access to I/O addresses.
// Providers: portio_direct.cpp (ioperm and inb/outb on a real PC, with the
// kernel's ports in parports_linux.cpp) and sim/portio_sim.cpp (the
// simulated adapters of sim/simport.h).
#ifndef QUON_PLATFORM_PORTIO_H
#define QUON_PLATFORM_PORTIO_H

#include <cstdint>
#include <string>
#include <vector>

// A parallel port the system knows of.
struct KnownPort {
  std::string name;    // "parport0"
  uint32_t base;       // data register
  int32_t basehi;      // extended registers' base; -1 none
  std::string modes;   // as the kernel lists them, made printable
};

// Every parallel port the kernel lists (the simulated back-end: its
// adapters), and the BIOS data area's port word: 0 none, or below 0 when
// it cannot be read, for the reason named below.
void ioports(std::vector<KnownPort> *ports, int32_t *biosword);
constexpr int32_t BIOSWORD_REFUSED = -1;     // the kernel refused /dev/mem
constexpr int32_t BIOSWORD_ABSENT = -2;      // there is no /dev/mem
constexpr int32_t BIOSWORD_UNREADABLE = -3;  // /dev/mem gave no word there

// The driver the kernel's I/O map gives address to, "" when none
// (printable: the map's names are the drivers' own).
std::string ioowner(uint32_t address);

// The I/O base address of the first parallel port (1 to 0xFFFF), or -1 when
// none is known; *hint then says what the user can do (one line, no
// newline).
int32_t biosportbase(const char **hint);

// Gains access to base..base+2 and base1..base1+2 and keeps others off
// base for the run: where the kernel drives the port, it is claimed through
// its /dev/parportN; a lock shared by every QUON refuses a second run on
// the same base. Returns 0, or -1 with *hint set. On success *note may say
// what was left out (a port not claimed; for -v) and *warning what the user
// must know (a mode in which the lines do not follow the data); nullptr:
// nothing.
int32_t ioaccess(uint32_t base, uint32_t base1, const char **hint, const char **note,
                 const char **warning);

// Keeps others off base1 as well, once the run is known to drive logical
// port 1 (a run of port 0 alone leaves the second port to others); held
// once however often asked, and when it is base. Returns 0, or -1 with
// *hint set (the run must end without driving port 1); *note as above.
int32_t iohold(const char **hint, const char **note);

// Gives the access up again: called in a SPAWN'd child before it runs the
// command interpreter, so commands cannot touch the port.
void iorelease(void);

// 1 when the registers are the simulated adapters of sim/simport.h (a
// testbench drives them), 0 on a real port.
int iosimulated(void);

// Simulated registers only: holds input bit bit (0 to 7) of the adapter at
// base at pin level level, cut from the line that drove it (a testbench's
// input); a level below 0 gives the pin back to its line (a bench starting
// afresh). Nothing happens on a real port.
void ioholdinput(uint32_t base, int bit, int level);

// One byte from / to an I/O address, at once and in program order.
uint8_t ioread(uint32_t address);
void iowrite(uint32_t address, uint8_t value);

#endif
