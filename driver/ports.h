// The ports as the command line names and lists them: --ports, and the
// value of --port= or --port1= turned into a register base or GPIO lines.
// Called by the start-up once the arguments are read, in their order.
#ifndef QUON_DRIVER_PORTS_H
#define QUON_DRIVER_PORTS_H

#include <cstdint>

// Prints every parallel port the system knows, which one logical port 0
// takes, and the GPIO chips with their lines.
void listports(void);

// What --port= or --port1= made of logical port n.
enum class PortGiven : uint8_t { NOTHING, REGISTERS, GPIO };

// Logical port n at value (option is the option as written up to its
// value, for the messages): a parallel port's base, or GPIO lines whose
// map is read and, when prepare, whose chip is opened and lines found
// (nothing requested yet). Ends the program with the reason when the
// value names no port. Returns what the port was given.
PortGiven chooseport(int32_t n, const char *option, const char *value, bool prepare);

#endif
