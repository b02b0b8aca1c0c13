// The statement compiler: one script line to one token.
#ifndef QUON_COMPILER_COMPILER_H
#define QUON_COMPILER_COMPILER_H

#include "compiler/token.h"

// Compiles one line as the loader read it (at most 79 characters, normally
// ending in a newline, which is cut off in place). Returns a token, the
// separator included, or NO_TOKEN for blank lines, comments and lines in
// error. Appends SPAWN/NOTATE/KILL texts to prog.strings, sets
// prog.threadname[prog.threadcount] for NAME, and writes the listing
// (prog.verbose) and every error message to prog.logfile.
Token compileline(char *line);

// Writes the listing prefix of the current line to the log:
// "%03ld: %-40.40s |  " with prog.linenumber and the line.
void writelistingprefix(const char *line);

#endif
