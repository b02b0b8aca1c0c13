// Where a real PC keeps the first parallel port's base address: the word at
// physical 0x408 (BIOS data area, segment 0x40, offset 8), and, where the
// firmware fills no such word, the kernel's first parport.
#ifndef QUON_PLATFORM_BIOSBASE_H
#define QUON_PLATFORM_BIOSBASE_H

#include <cstdint>

constexpr uint32_t BIOS_PORT_WORD = 0x408;

// Reads the base from memfile (read at offset BIOS_PORT_WORD, little-endian
// 16-bit) and, when that fails or holds 0, from parportfile (a decimal
// number). Returns the base, or -1 with *hint set. Paths are parameters so
// tests can give fake files.
int32_t lookupportbase(const char *memfile, const char *parportfile,
                       const char **hint);

// The word the BIOS data area holds for the first port (0: none), or why
// memfile cannot be read: BIOSWORD_REFUSED, BIOSWORD_ABSENT or
// BIOSWORD_UNREADABLE (portio.h).
int32_t biosdataword(const char *memfile);

// The hint lines shared by the lookup and the direct back-end.
extern const char *const HINT_NOPORT;      // nothing names a port

extern const char *const HINT_PERMISSION;  // the kernel refused access

#endif
