// Shared memory between a running program and a monitor: a file of its
// own under /dev/shm, mode 0600, mapped by both. Provider: sharedmem_posix.cpp.
#ifndef QUON_PLATFORM_SHAREDMEM_H
#define QUON_PLATFORM_SHAREDMEM_H

#include <cstddef>

// The folder of the regions.
constexpr const char *SHARED_FOLDER = "/dev/shm";

// Creates the region path of size bytes, zeroed, never through a link and
// never over an existing name (O_EXCL), close-on-exec; maps it writable.
// nullptr with errno set on failure.
void *sharedcreate(const char *path, size_t size);

// Maps an existing region of the calling user (writable for forcing);
// *size gets its length. nullptr with errno set on failure (EPERM: the
// file is not the user's).
void *sharedattach(const char *path, size_t *size);

void shareddetach(void *region, size_t size);

// Removes the region's name; async-signal-safe.
void sharedremove(const char *path);

#endif
