// The main loop: one key poll per pass, then the pass (executor/pass.h).
// Spins without sleeping; ends only on ESC.
#ifndef QUON_DRIVER_MAINLOOP_H
#define QUON_DRIVER_MAINLOOP_H

#include "executor/pass.h"

// parkthreads, then the keyboard in key mode.
void mainloopinit(void);

// One pass with the key the terminal has for it. Returns EXIT_ESC when ESC
// was read (no thread stepped), else 0.
int mainlooppass(void);

// mainloopinit, then passes until ESC. Returns EXIT_ESC.
int mainloop(void);

#endif
