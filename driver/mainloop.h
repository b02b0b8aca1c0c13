// The main loop: one key poll per pass, then the pass (executor/pass.h).
// Spins without sleeping, but on GPIO ports followed by their edges (and
// in the real-time mode) it sleeps while nothing can change; ends only on
// ESC.
#ifndef QUON_DRIVER_MAINLOOP_H
#define QUON_DRIVER_MAINLOOP_H

#include "executor/pass.h"

// parkthreads, then the keyboard in key mode.
void mainloopinit(void);

// One pass with the key the terminal has for it. Returns EXIT_ESC when ESC
// was read (no thread stepped), else 0.
int mainlooppass(void);

// The longest sleep of the loop that follows GPIO edges while a listener
// counts passes or takes keys from outside (a key typed in a monitor is
// seen within it), and while none does.
constexpr uint64_t EDGE_TICKUS = 10000;
constexpr uint64_t EDGE_LONGESTUS = 1000000;

// Between two passes of a run whose GPIO ports are followed by their
// edges: the next edge applied, or a sleep until an edge, a key or the
// earliest DELAY deadline when nothing else can move a thread.
void edgewait(void);

// mainloopinit, then passes until ESC. Returns EXIT_ESC.
int mainloop(void);

#endif
