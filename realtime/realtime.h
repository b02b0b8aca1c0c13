// The real-time mode (--realtime): the loop on a processor of its own at a
// real-time priority, with its memory locked, and waiting without spinning
// when nothing can change: while every thread is parked at a DELAY or a
// KEY it sleeps until a margin before the earliest deadline (or a key),
// then spins to the deadline as always. The margin is learned from the
// machine's own wake-ups and paid from a processor budget (margin.h).
// While the loop spins (a WAIT polls), it gives the processor back for
// REALTIME_SLICEUS in every REALTIME_SLICEEVERYUS by the clock, however
// long a pass takes, so the kernel's limit on real-time tasks never
// throttles it and a normal task sharing its processor still runs. DELAY's
// meaning is unchanged: only how the loop waits for it.
#ifndef QUON_REALTIME_REALTIME_H
#define QUON_REALTIME_REALTIME_H

#include <cstdint>

#include "realtime/margin.h"

constexpr int REALTIME_PRIORITY = 49;            // below the kernel's interrupt threads (50)
constexpr unsigned REALTIME_SLICEUS = 100;       // given back while a WAIT polls ...
constexpr uint64_t REALTIME_SLICEEVERYUS = 1000; // ... once in every this long
constexpr uint64_t REALTIME_LONGESTUS = 10000;   // the longest sleep: the features' ticks go on

extern bool realtimeon;  // the mode is applied: the loop waits through realtimewait
extern RealtimeFigures realtimefigures;  // the margin and the lateness so far

// Applies the mode (priority 1-98; cpu -1: an isolated processor, else the
// last processor the run may use) and prints one line on standard error
// saying what was applied and what could not be, with the reason. Without
// the privilege the run goes on as a plain run. percent: the budget.
void realtimestart(int priority, int cpu, unsigned percent = BUDGET_DEFAULT);

// The mode off and everything it learned forgotten.
void realtimereset(void);

// Between two passes of the loop.
void realtimewait(void);

// In a SPAWN'd command's process: none of the mode is inherited.
void realtimechild(void);

#endif
