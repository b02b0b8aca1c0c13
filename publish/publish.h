// Publishing the running program's state for monitors (region.h), and the
// input bits a monitor forces.
//
// While publishing, the loop pays one countdown per pass: every PUBLISH_EVERY passes (or,
// while a monitor is attached, every PUBLISH_SAMPLE passes, timing one pass
// each time) the clock is read, and about fifty times a second the state
// is copied into the region. At each tick the commands monitors put in the
// region's ring are taken and checked; the keys among them are given to the
// passes one a pass (the seam's keyin, asked only while the run holds some:
// one test a pass while none waits), the flag bits applied to their banks in turn. Each note is
// written into the region's note ring as it is printed.
#ifndef QUON_PUBLISH_PUBLISH_H
#define QUON_PUBLISH_PUBLISH_H

#include <cstdint>

#include "core/tables.h"
#include "port/port.h"

constexpr int32_t PUBLISH_EVERY = 1024;
constexpr int32_t PUBLISH_SAMPLE = 16;

// Reads logical port n's input lines as an input would, printing nothing,
// recording nothing and reaching no thread, with the raw registers of the
// read (the port layer's sample).
using PortSampler = uint8_t (*)(int32_t n, PortRegisters *raw);

// Creates the region for the loaded script and starts publishing: the
// publishing listens to the loop (core/watch.h) and copies the lines
// that sample reads into the region; the bits a monitor forces reach the
// threads, the trace and the monitor alike. The region is removed at every
// end of the program. Returns 0, or -1 with errno set (nothing is
// published then).
int publishstart(PortSampler sample);

void publishtick(void);

// The run is in the real-time mode: monitors say so.
void publishrealtime(void);

// Removes the region (at exit; also from a fatal signal's handler).
void publishend(void);

// The region's path while it exists ("" before; it may carry a suffix of
// its own when its plain name was taken).
const char *publishpath(void);

// Samples pass times as if a monitor were attached (the benchmark).
void publishsample(bool on);

// Takes keys typed from outside (on, from publishstart) or not (the
// benchmark's pass without the inbox).
void publishinbox(bool on);

// Ends publishing and forgets every count (tests).
void publishreset(void);

#endif
