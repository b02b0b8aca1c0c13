// Publishing the running program's state for monitors (region.h), and the
// input bits a monitor forces.
//
// The loop pays one countdown per pass: every PUBLISH_EVERY passes (or,
// while a monitor is attached, every PUBLISH_SAMPLE passes, timing one pass
// each time) the clock is read, and about fifty times a second the state
// is copied into the region.
#ifndef QUON_PUBLISH_PUBLISH_H
#define QUON_PUBLISH_PUBLISH_H

#include <cstdint>

#include "core/tables.h"

constexpr int32_t PUBLISH_EVERY = 1024;
constexpr int32_t PUBLISH_SAMPLE = 16;

// What the ports showed last: kept by the port layer at every access.
struct PortSeen {
  uint8_t out, in, status, control;
};
extern PortSeen portseen[LOGICAL_PORTS];

// The forced input bits of each port: mask, then value. They point into the
// region once it exists (a monitor writes them), at zeros before.
extern volatile uint8_t *forcemask;
extern volatile uint8_t *forcevalue;

extern int32_t publishcount;  // passes until the next publishtick
extern uint8_t publishkey;    // the key of the last pass that had one

// Creates the region for the loaded script and starts publishing; the
// region is removed at every end of the program. Returns 0, or -1 with
// errno set (nothing is published then).
int publishstart(void);

void publishtick(void);

// At the start of every pass.
inline void publishpass(void) {
  if (--publishcount <= 0) publishtick();
}

// Removes the region (at exit; also from a fatal signal's handler).
void publishend(void);

// Samples pass times as if a monitor were attached (the benchmark).
void publishsample(bool on);

#endif
