// One QUON a port: the lock a base that keeps a second QUON off a port it
// drives, held for the whole run and dropped with the process. Nothing
// another user can create stands for it or is written through it, and a
// user who could not drive the port cannot keep a run of root from it.
// Provider: portlock_linux.cpp.
#ifndef QUON_PLATFORM_PORTLOCK_H
#define QUON_PLATFORM_PORTLOCK_H

#include <cstddef>
#include <cstdint>

// Takes the lock of base until the process ends. Returns 0, or -1 with
// the refusal (one line, no newline) in message (size bytes): the holder
// named by process id ("driven by another QUON (process N)" when it runs
// as the same user, "held by process N of user U" otherwise), or why no
// lock could be had (for root: a lock folder or file that is not root's
// alone).
int portlock(uint32_t base, char *message, size_t size);

#endif
