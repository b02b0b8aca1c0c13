// The pass: every thread stepped once in order, after the key of the pass
// is made lastkey. The main loop and a testbench both run their threads
// through it; the pass's beginning, its key and its end are told to the
// watchers here (executor/watch.h), once.
#ifndef QUON_EXECUTOR_PASS_H
#define QUON_EXECUTOR_PASS_H

#include <cstdint>

// Allocates threadcurrent and threadtimer, parks every thread at its start
// with an idle timer, clears lastkey.
void parkthreads(void);

// One pass with key the code read for it (-1: none): the key becomes
// lastkey (ESC ends the run before any thread sees it), every thread steps
// once, lastkey is cleared. Returns EXIT_ESC after ESC, else 0.
int runpass(int key);

// After a pass: 1 when nothing but the clock or a key can move any thread
// (each is parked at a running DELAY or at a KEY; none at a WAIT, whose
// inputs may change at any time, none about to go on), with the earliest
// DELAY deadline (clock ms) in *earliest and *timed 1 when there is one.
int passidle(uint32_t *earliest, int *timed);

#endif
