// What a testbench watches in the executor: the notes printed and the
// threads sent back to their start. Off (no testbench), each hook is one
// test of benchwatching.
#ifndef QUON_TESTBENCH_WATCH_H
#define QUON_TESTBENCH_WATCH_H

#include <cstdint>

extern bool benchwatching;    // a testbench runs the script
extern uint32_t benchloops;   // threads sent back to their start so far

void benchnoteslow(const char *text);

// Nothing watched, nothing counted (tests).
void benchreset(void);

// A NOTATE printed text.
inline void benchnote(const char *text) {
  if (benchwatching) benchnoteslow(text);
}

// A thread was sent back to its start (its separator or a KILL): with the
// threads' places, it tells a pass that did nothing.
inline void benchloop(void) {
  if (benchwatching) ++benchloops;
}

#endif
