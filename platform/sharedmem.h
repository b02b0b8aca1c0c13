// Shared memory between a running program and a monitor: a file of its
// own under /dev/shm, mode 0600, mapped by both. Provider: sharedmem_posix.cpp.
#ifndef QUON_PLATFORM_SHAREDMEM_H
#define QUON_PLATFORM_SHAREDMEM_H

#include <cstddef>

// The folder of the regions.
constexpr const char *SHARED_FOLDER = "/dev/shm";

// Creates the region path of size bytes, zeroed, never through a link and
// never over an existing name (O_EXCL), close-on-exec; maps it writable.
// Its pages are reserved at once, so a full folder fails here (ENOSPC)
// rather than with SIGBUS at a later store. nullptr with errno set on
// failure (EEXIST: the name is taken).
void *sharedcreate(const char *path, size_t size);

// Creates a region as sharedcreate does, under a name no one else holds:
// base, or when base is taken (by anything: a file, a link, a folder),
// base, "-" and six random letters, tried afresh up to SHARED_TRIES times.
// The name used goes to name (namesize bytes, at least base's length plus
// eight). EEXIST when every name tried was taken.
constexpr int SHARED_TRIES = 8;
void *sharedcreatefree(const char *base, size_t size, char *name, size_t namesize);

// The group regions created from now on are given (fchown and mode 0660 on
// their descriptor, before anything is written): its members may read and
// write them. -1: none, mode 0600, the user's alone.
void sharedgroup(long gid);

// The group text names (a group's name, or its number): its id, or -1
// when there is no such group.
long sharedgroupnamed(const char *text);

// True when path is a regular file of another user's, made for a group the
// calling process is in (mode 0660, nothing for others) with no other
// link; its owner goes to *uid.
bool sharedforus(const char *path, unsigned *uid);

// True when path is a regular file of the calling user with no other link:
// a region of the user's, not a name someone else planted.
bool sharedmine(const char *path);

// Removes the calling user's regions whose process is gone (ended by
// SIGKILL, say): every name in SHARED_FOLDER that is prefix, a process id,
// then nothing or "-" and the six letters sharedcreatefree adds, and that
// is a regular file of the user's with no other link, while no process
// has that id. Anything else, another user's or a live process's, stays.
// Returns how many were removed.
int sharedsweep(const char *prefix);

// Maps an existing region of the calling user, or one of another user's
// made for a group of the caller's (sharedforus), writable for forcing;
// *size gets its length and *fd a close-on-exec descriptor of its file
// (sharedsize; closed by shareddetach). nullptr with errno set on failure
// (EPERM: not a regular file of the user's).
void *sharedattach(const char *path, size_t *size, int *fd);

// The region file's length now; 0 when it cannot be told.
size_t sharedsize(int fd);

// Unmaps the region and closes fd (-1: none).
void shareddetach(void *region, size_t size, int fd = -1);

// Removes the region's name; async-signal-safe.
void sharedremove(const char *path);

// Runs access(arg), which reads or writes a mapped region, and returns
// true; false when the region's file was cut short under it (the access
// met SIGBUS and was abandoned). access must hold nothing that needs
// releasing (no objects with destructors): it may be left half-way.
bool sharedguarded(void (*access)(void *arg), void *arg);

#endif
