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

// The state the hooks below keep; only they and publish.cpp touch it.
struct PortSeen {
  uint8_t out, in, read, status, control;  // read: 1 once a thread has read the port
};
extern bool publishon;                   // a region exists: the hooks keep its state
extern PortSeen portseen[LOGICAL_PORTS]; // what the ports showed last
// The forced input bits of each port: mask, then value, in the region (a
// monitor writes them).
extern volatile uint8_t *forcemask;
extern volatile uint8_t *forcevalue;
extern int32_t publishcount;             // passes until the next publishtick
extern uint8_t publishedkey;             // the key of the last pass that had one

// Creates the region for the loaded script and starts publishing; the
// region is removed at every end of the program. Returns 0, or -1 with
// errno set (nothing is published then).
int publishstart(void);

void publishtick(void);

// The hooks in the loop. Off, each is one test of publishon.

// At the start of every pass.
inline void publishpass(void) {
  if (--publishcount <= 0) publishtick();
}

// The loop slept (the real-time mode): the next pass ticks.
inline void publishslept(void) {
  if (publishon) publishcount = 1;
}

// Logical port n's raw status and control registers as an input read them
// (n in range).
inline void publishregisters(int32_t n, uint8_t status, uint8_t control) {
  if (!publishon) return;
  portseen[n].status = status;
  portseen[n].control = control;
}

// Logical port n's calibrated input: returns it with the bits a monitor
// forces in place of what the lines show, for the threads, the trace and
// the monitor alike (n in range).
inline uint8_t publishinput(int32_t n, uint8_t in) {
  if (!publishon) return in;
  uint8_t mask = forcemask[n];
  in = static_cast<uint8_t>((in & ~mask) | (forcevalue[n] & mask));
  portseen[n].in = in;
  portseen[n].read = 1;
  return in;
}

// A byte written to logical port n's data register (n in range).
inline void publishoutput(int32_t n, uint8_t byte) {
  if (publishon) portseen[n].out = byte;
}

// The key read in this pass.
inline void publishkey(uint8_t key) {
  if (publishon) publishedkey = key;
}

// The run is in the real-time mode: monitors say so.
void publishrealtime(void);

// Removes the region (at exit; also from a fatal signal's handler).
void publishend(void);

// The region's path while it exists ("" before; it may carry a suffix of
// its own when its plain name was taken).
const char *publishpath(void);

// Samples pass times as if a monitor were attached (the benchmark).
void publishsample(bool on);

// Ends publishing and forgets every count (tests).
void publishreset(void);

#endif
