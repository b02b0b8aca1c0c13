// One QUON a port: the lock a base that keeps a second QUON off a port it
// drives, held for the whole run. Provider: portlock_linux.cpp.
#ifndef QUON_PLATFORM_PORTLOCK_H
#define QUON_PLATFORM_PORTLOCK_H

#include <cstddef>
#include <cstdint>

// Takes the lock of base until the process ends. Returns 0, or -1 with
// the refusal (one line, no newline) in message (size bytes).
int portlock(uint32_t base, char *message, size_t size);

#endif
