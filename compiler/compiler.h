// The statement compiler: one script line to one token.
#ifndef QUON_COMPILER_COMPILER_H
#define QUON_COMPILER_COMPILER_H

#include <cstdint>

#include "compiler/token.h"

constexpr int LINE_BUFFER = 80;  // a script line: 79 characters and the NUL

// How much of a line is measured: past this many characters the rest of
// the line is passed over unread, so no input, however long its lines,
// holds the loader for longer than reading it takes.
constexpr uint64_t LINE_MEASURED = 65536;

// Where the script errors of loading go when the script is checked rather
// than run (the loader hands it to every line it compiles); without one,
// every error goes to the log, after its line's listing prefix.
struct ScriptSink {
  // A script error or warning at line: its text without "Error: " and
  // without a newline.
  void (*report)(int32_t line, bool error, const char *text);
  // Each line once compiled: its first 79 characters as compiled, its
  // whole length (LINE_MEASURED + 1: longer) and the token it gave.
  void (*compiled)(const char *line, uint64_t length, Token token);
};

// Compiles one line as the loader read it (at most 79 characters, normally
// ending in a newline, which is cut off in place). Returns a token, the
// separator included, or NO_TOKEN for blank lines, comments and lines in
// error. Appends SPAWN/NOTATE/KILL texts to prog.strings, sets
// prog.threadname[prog.threadcount] for NAME, and writes the listing
// (prog.verbose) and every error message to prog.logfile; each error is
// counted in prog.scripterrors, the first one's line in prog.firsterrorline.
// With a sink, errors go to it instead of the log.
Token compileline(char *line, const ScriptSink *sink = nullptr);

// A line longer than 79 characters (length, without its newline), of which
// line holds the first 79. A statement line is a script error and yields
// no token, so no part of it runs; a comment stays a comment and a "$"
// line a separator, as only their first word counts, however long.
Token compilelongline(char *line, uint64_t length, const ScriptSink *sink = nullptr);

// The statement a line's first word selects by its first one or two
// letters, in any case: its opcode, with the keyword ("SPAWN", "$") and the
// number of letters that select it. -1 when it selects none (a comment).
int keywordof(const char *first, const char **keyword, int *letters);

// The first words the language documents, for telling a near miss: each
// keyword spelled out (SYSTEM after SPAWN), the separator not among them.
// i from 0; nullptr past the last.
const char *documentedword(int i);

// The next word of a line being cut: words are cut at spaces only, so a
// TAB belongs to a word. The word is ended in place and *at left just after
// the one space that ended it, which is where the rest of the line begins.
// nullptr when only spaces are left.
char *nextword(char **at);

#endif
