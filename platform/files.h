// The files the program reads and writes: names on a case-sensitive file
// system matched the way scripts and calibration files written on
// case-insensitive systems expect, files created never through a link, and
// the calibration file's commit. Provider: files_posix.cpp.
#ifndef QUON_PLATFORM_FILES_H
#define QUON_PLATFORM_FILES_H

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

// Opens name with fopen mode; when no file of exactly that name exists,
// opens the entry of the same folder whose name differs only in the case
// of ASCII letters. When several do, the first in byte order (strcmp) is
// taken, so the choice never depends on the directory's order, and all of
// them, in that order, go to *matches (left empty when the name was exact
// or had one match). Returns nullptr with errno set when nothing opens. A
// folder is refused like a file that cannot be read.
FILE *fopencase(const char *name, const char *mode,
                std::vector<std::string> *matches = nullptr);

// The existing name that fopencase would open for name, written to out
// (size bytes), every candidate in *matches when there are several;
// returns 0 when found, -1 when no such entry exists.
int findcasename(const char *name, char *out, size_t size,
                 std::vector<std::string> *matches = nullptr);

// Opens name for writing, created (mode 0666 less the umask) when it is
// not there, and not emptied: never through a symbolic link, never when
// another hard link shares the file, and never unless it is a regular file,
// so that a privileged run in a folder others can write to neither empties
// a file elsewhere nor writes into (or blocks on) a FIFO or a device that
// someone put there. Close-on-exec. *st describes what was opened, *created
// says whether this call made it. Returns -1 with errno set: ELOOP for a
// symbolic link, EMLINK for a shared file, ENXIO for a FIFO, device or
// socket (filekind names it), EISDIR for a folder.
int openfdforwrite(const char *name, struct stat *st, bool *created);

// openfdforwrite's file emptied, as a stream: a file the run writes from
// its start. nullptr with errno set as openfdforwrite sets it.
FILE *createforwrite(const char *name);

// What name is when it is no regular file ("a FIFO", "a device", "a
// socket", "a folder"), without following a link; nullptr otherwise.
const char *filekind(const char *name);

// 1 when a and b describe the same file (device and inode).
int samefile(const struct stat &a, const struct stat &b);

// Creates a file of a fresh name, prefix followed by six characters, in
// the current folder (O_EXCL: a name planted beforehand is never opened),
// mode 0666 less the umask, close-on-exec. Its name goes to *name.
// Returns nullptr with errno set when it cannot be created.
FILE *createtempfile(const char *prefix, std::string *name);

// name as an absolute path with no link in it (realpath); name itself
// when it cannot be resolved.
std::string fullname(const char *name);

// 1 when name is a folder (a symbolic link to one counts).
int isfolder(const char *name);

// Puts f's content on disk and closes it. Returns 0, or -1 when a write,
// the flush or the close failed (f is closed either way).
int finishfile(FILE *f);

// Gives file from the name to in one step, replacing what was there (a
// link of that name is replaced, not followed). Returns 0 or -1 (errno).
int replacefile(const char *from, const char *to);

// The name a run's file of name is kept under until the next run starts:
// ".prev" before the last extension of its last part ("QUON.log" ->
// "QUON.prev.log", "runs/t.vcd" -> "runs/t.prev.vcd"), or after a name
// without one.
std::string previousname(const std::string &name);

// Keeps the last run's file of name as previousname(name), replacing the
// one kept before, when name is a regular file of its own (no symbolic
// link, no other hard link) that is not empty: the new run starts a file
// of its own. Returns 1 when kept, 0 when there was nothing to keep, -1
// with errno set when the rename failed.
int keepprevious(const char *name);

// Removes a name; nothing happens when it is not there.
void removefile(const char *name);

// Removes name only while it still names the file st describes.
void removesamefile(const char *name, const struct stat &st);

#endif
