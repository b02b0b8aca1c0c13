// The main loop: one key poll per pass, then every thread stepped once in
// order. Spins without sleeping; ends only on ESC.
#ifndef QUON_DRIVER_MAINLOOP_H
#define QUON_DRIVER_MAINLOOP_H

#include <cstdint>

// Allocates threadcurrent and threadtimer, parks every thread at its start
// with an idle timer, clears lastkey.
void mainloopinit(void);

// One pass. Returns EXIT_ESC when ESC was read (no thread stepped), else 0.
int mainlooppass(void);

// mainloopinit, then passes until ESC. Returns EXIT_ESC.
int mainloop(void);

#endif
