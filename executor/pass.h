// The pass: every thread stepped once in order, after the key of the pass
// is made lastkey. The main loop and a testbench both run their threads
// through it; the pass's beginning, its key and its end are told to the
// watchers here (core/watch.h), once.
#ifndef QUON_EXECUTOR_PASS_H
#define QUON_EXECUTOR_PASS_H

#include <cstdint>

#include "core/fatal.h"  // EXIT_ESC

// Allocates threadcurrent and threadtimer, parks every thread at its start
// with an idle timer, clears lastkey.
void parkthreads(void);

// One pass with key the code read for it (-1: none): the key becomes
// lastkey (ESC ends the run before any thread sees it), every thread steps
// once, lastkey is cleared. Returns EXIT_ESC after ESC, else 0.
int runpass(int key);

// After a pass: 1 when nothing but the clock or a key can move any thread
// (each is parked at a running DELAY or at a KEY; none at a WAIT, whose
// inputs may change at any time, none about to go on; no key typed from
// outside waits for its pass), with the earliest
// DELAY deadline (clock ms) in *earliest and *timed 1 when there is one.
// now is the clock the caller read after the pass: the loop's wait reads
// it once for everything it decides. With waits, a thread at a WAIT that
// cannot hold until an edge or a thread's write (port/port.h: portstill)
// is idle too: the loop that follows GPIO edges sleeps through it.
int passidle(uint32_t now, uint32_t *earliest, int *timed, bool waits = false);

// The one loop: passes with the keys a source gives, until ESC or until
// the source ends it. A source is a type with int next() (the key for the
// next pass, -1 none, LOOP_END to end the loop) and void after() (between
// two passes): the terminal with the real clock (the main loop), or a
// testbench in simulated time. Inline, so the main loop's source costs
// nothing. Returns EXIT_ESC after ESC, else 0.
constexpr int LOOP_END = -2;
template <typename Source>
int runloop(Source &source) {
  for (;;) {
    int key = source.next();
    if (key == LOOP_END) return 0;
    if (runpass(key) != 0) return EXIT_ESC;
    source.after();
  }
}

#endif
