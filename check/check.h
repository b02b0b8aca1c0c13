// Checking a script (--check): it is compiled as for a run, and every
// script error and every warning goes to standard error in the form
// editors and CI read ("FILE:LINE: error: ..."), then one summary line.
// Nothing runs: no port, no calibration, no QUON.log.
//
// The warnings name what the language does without a word: a first word
// taken at its first letters, a comment that was meant as a statement, a
// scan that passed over characters, a DELAY shorter than written, a KILL
// that reaches no thread, a NOTATE that prints at every pass.
#ifndef QUON_CHECK_CHECK_H
#define QUON_CHECK_CHECK_H

#include <cstdint>

#include "compiler/token.h"

extern bool checking;  // the script is being checked, not run

// A script error or warning at line (the text without "Error: " and
// without its newline).
void checkreport(int32_t line, bool error, const char *text);

// The warnings of one loaded line: its first 79 characters (as compiled),
// its whole length and the token it gave.
void checkline(const char *line, uint64_t length, Token token);

// The warnings that need the whole program (KILL names, notes after WAIT),
// once it is loaded.
void checkprogram(void);

// Prints every report in line order and the summary line for name.
// Returns 0 when nothing was reported, 1 otherwise.
int checkfinish(const char *name);

// The DELAY length in milliseconds a time as written waits, and a time
// that waits what was meant (written * 1000 ms, rounded) where the literal
// cannot give it as written; "" when none exists or none is needed.
struct DelayAdvice {
  int64_t waits;      // ms the compiled time waits (DELAY_NEVER: never ends)
  int64_t meant;      // ms the written time means
  char better[24];    // a time that waits meant ms, or ""
};
DelayAdvice delayadvice(double written);

#endif
