// File names on a case-sensitive file system, matched the way scripts and
// calibration files written on case-insensitive systems expect.
#ifndef QUON_DRIVER_FILES_H
#define QUON_DRIVER_FILES_H

#include <cstdio>

// Opens name with fopen mode; when no file of exactly that name exists,
// opens the one entry of the same folder whose name differs only in the case
// of ASCII letters (the first such in directory order when there are
// several). Returns nullptr with errno set when neither opens.
FILE *fopencase(const char *name, const char *mode);

// The existing name that fopencase would open for name, written to out
// (size bytes); returns 0 when found, -1 when no such entry exists.
int findcasename(const char *name, char *out, size_t size);

#endif
