// The parallel ports as the Linux kernel knows them, for the direct
// register provider (portio_direct.cpp): the kernel's list of ports and its
// I/O map (ioports and ioowner of portio.h are defined beside these), the
// lock that keeps a second QUON off a base, the claim through /dev/parportN
// that keeps the printer driver off the lines, and the hints that say why
// the kernel refused.
#ifndef QUON_PLATFORM_PARPORTS_LINUX_H
#define QUON_PLATFORM_PARPORTS_LINUX_H

#include <cstdint>

// Keeps every other user off base for the run: the lock a base shared by
// every QUON, and the claim of the port where the kernel drives it.
// Returns 0, or -1 with *hint set; the caller then gives up the registers
// it was granted. *note and *warning (nullptr: not wanted) are as ioaccess
// (portio.h) gives them, and left as they were when there is nothing to
// say.
int32_t holdport(uint32_t base, const char **hint, const char **note, const char **warning);

// What the user can do about an ioperm() that failed with error (an errno
// value): lockdown or privilege for EPERM, one line, no newline.
const char *accesshint(int error);

#endif
