// The statement compiler: one script line to one token.
#ifndef QUON_COMPILER_COMPILER_H
#define QUON_COMPILER_COMPILER_H

#include <cstdint>

#include "compiler/token.h"

constexpr int LINE_BUFFER = 80;  // a script line: 79 characters and the NUL

// Compiles one line as the loader read it (at most 79 characters, normally
// ending in a newline, which is cut off in place). Returns a token, the
// separator included, or NO_TOKEN for blank lines, comments and lines in
// error. Appends SPAWN/NOTATE/KILL texts to prog.strings, sets
// prog.threadname[prog.threadcount] for NAME, and writes the listing
// (prog.verbose) and every error message to prog.logfile; each error is
// counted in prog.scripterrors, the first one's line in prog.firsterrorline.
Token compileline(char *line);

// A line longer than 79 characters (length, without its newline), of which
// line holds the first 79. A statement line is a script error and yields
// no token, so no part of it runs; a comment stays a comment and a "$"
// line a separator, as only their first word counts.
Token compilelongline(char *line, uint64_t length);

// The statement a line's first word selects by its first one or two
// letters, in any case: its opcode, with the keyword ("SPAWN", "$") and the
// number of letters that select it. -1 when it selects none (a comment).
int keywordof(const char *first, const char **keyword, int *letters);

#endif
