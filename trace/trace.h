// A run as a waveform: every change of a data line, an input bit, a flag
// bit, a thread's place in the script and the key of a pass, stamped with
// its time, written as a Value Change Dump that waveform viewers and
// logic-analyser software read.
//
// While recording, the trace listens to the loop (core/watch.h): each
// event costs one comparison with the value last recorded, and only a
// change costs more (a clock read and a line into the trace's buffer).
// Not recording, it listens to nothing.
#ifndef QUON_TRACE_TRACE_H
#define QUON_TRACE_TRACE_H

#include <cstdint>

#include "core/tables.h"

// Passes between two looks at how long recorded changes have waited in
// the buffer (about a millisecond of passes at the shortest).
constexpr int32_t TRACE_POLLPASSES = 4096;

// 1 while a trace is being recorded.
bool tracing(void);

// Records the trace into fd, an open regular file of the run's own (named
// name in messages), which is emptied here: from this moment the file is a
// trace that readers take, however the program ends. Until tracebegin it
// says that no thread ran (the ports' lines unknown); a write that fails
// says so once and stops the trace, as any later write error does.
void traceuse(int fd, const char *name);

// 1 while the trace has a file to write: traceuse wrote its opening.
bool traceready(void);

// Creates the trace file as start-up does (never through a link, never
// anything but a regular file, close-on-exec) and uses it. Returns 0, or -1
// with errno set as openfdforwrite (platform/files.h) sets it.
int traceopen(const char *name);

// The end of the trace (also at exit, whatever ends the program): the time
// of the end, everything on disk, the file closed, recording off.
void traceclose(void);

// What the trace starts with: the logical ports the script uses (bit n set
// for port n) and their data and input bytes as the threads start.
struct TraceStart {
  unsigned ports;
  uint8_t out[LOGICAL_PORTS];
  uint8_t in[LOGICAL_PORTS];
  // The flag banks traced (bit n for bank n; ports 0 and 1 never) and each
  // one's bits as the threads start.
  unsigned banks;
  uint8_t flag[PORT_NUMBERS];
  const char *version;  // the program's name and version, for the header
  bool dated = true;    // a $date line (not in simulated time: a testbench's
                        // trace is the same on every run)
};

// Writes the header and every variable's value at time 0 (from prog: the
// threads, their names and tokenline) in place of what traceuse wrote, in
// one piece that no signal's last words can cut, and starts recording.
void tracebegin(const TraceStart &start);

#endif
