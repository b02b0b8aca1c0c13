// The files the program reads and writes: names on a case-sensitive file
// system matched the way scripts and calibration files written on
// case-insensitive systems expect, files created never through a link, and
// the calibration file's commit. Provider: files_posix.cpp.
#ifndef QUON_PLATFORM_FILES_H
#define QUON_PLATFORM_FILES_H

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

// Opens name for writing, created empty (mode 0666 less the umask) or
// emptied, never through a symbolic link and never when another hard link
// shares the file: a privileged run in a folder that others can write to
// must not empty a file elsewhere. Close-on-exec. Returns nullptr with
// errno set: ELOOP for a symbolic link, EMLINK for a shared file.
FILE *createforwrite(const char *name);

// The same as a descriptor, for writers with a buffer of their own; -1 with
// errno set when it cannot be opened.
int createfdforwrite(const char *name);

// Creates a file of a fresh name, prefix followed by six characters, in
// the current folder (O_EXCL: a name planted beforehand is never opened),
// mode 0666 less the umask, close-on-exec. Its name goes to *name.
// Returns nullptr with errno set when it cannot be created.
FILE *createtempfile(const char *prefix, std::string *name);

// 1 when name is a folder (a symbolic link to one counts).
int isfolder(const char *name);

// Puts f's content on disk and closes it. Returns 0, or -1 when a write,
// the flush or the close failed (f is closed either way).
int finishfile(FILE *f);

// Gives file from the name to in one step, replacing what was there (a
// link of that name is replaced, not followed). Returns 0 or -1 (errno).
int replacefile(const char *from, const char *to);

// Removes a name; nothing happens when it is not there.
void removefile(const char *name);

#endif
