// Checking a script (--check): it is compiled as for a run, and every
// script error and every warning goes to standard error in the form
// editors and CI read ("FILE:LINE: error: ..."), each as it is found,
// then one summary line. Nothing runs: no port, no calibration, no
// QUON.log. The checker is the loader's sink: it keeps no report, so a
// script of any length is checked in the memory its program takes.
//
// The warnings name what the language does without a word: a first word
// taken at its first letters, a comment that was meant as a statement, a
// scan that passed over characters, a DELAY shorter than written, a KILL
// that reaches no thread, a NOTATE that prints at every pass.
#ifndef QUON_CHECK_CHECK_H
#define QUON_CHECK_CHECK_H

#include <cstdint>

#include "compiler/compiler.h"

// Begins a check of the script called name (as the reports name it): the
// sink the loader hands the compiler, which reports each line's errors
// and warnings as they are found.
const ScriptSink *checkbegin(const char *name);

// The warnings that need the whole program (KILL names, notes after WAIT),
// once it is loaded, in line order among themselves.
void checkprogram(void);

// Prints the summary line. Returns 0 when nothing was reported, 1
// otherwise.
int checkfinish(void);

// Forgets the check (tests).
void checkreset(void);

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
