// The main loop: one key poll per pass, then every thread stepped once in
// order. Spins without sleeping; ends only on ESC.
#ifndef QUON_DRIVER_MAINLOOP_H
#define QUON_DRIVER_MAINLOOP_H

#include <cstdint>

// Allocates threadcurrent and threadtimer, parks every thread at its start
// with an idle timer, clears lastkey.
void parkthreads(void);

// parkthreads, then the keyboard in key mode.
void mainloopinit(void);

// One pass. Returns EXIT_ESC when ESC was read (no thread stepped), else 0.
int mainlooppass(void);

// The pass after the key poll, with key the code read (-1: none): the key
// becomes lastkey (ESC ends the run before any thread sees it), every
// thread steps once. A testbench feeds its own keys through it.
int runpass(int key);

// mainloopinit, then passes until ESC. Returns EXIT_ESC.
int mainloop(void);

#endif
