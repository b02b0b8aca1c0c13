// Declared safe outputs: a pattern per logical port (--safe=PORT:PATTERN)
// applied to the port's output byte, as OUTPUT applies one, as the last
// thing the program does to the port however it stops: at exit (ESC, a
// failure), on every signal that ends it (through the last words, with
// async-signal-safe steps only), after a calibration before the card is
// plugged back, and at a testbench's end. SIGKILL and a power cut cannot
// be caught: the card's own watchdog or pull resistors are the answer there.
#ifndef QUON_PORT_SAFE_H
#define QUON_PORT_SAFE_H

#include <cstdint>

#include "core/tables.h"

// Declares port n's safe pattern (n in range). Returns 0, or -1 when the
// port has one already.
int safedeclare(int32_t n, uint16_t pattern);

// Arms the safe outputs once the port is reached: the stop sequence's safe
// stage, at exit and in the last words.
void safearm(void);

// The bytes the last words of an ending signal wrote (bit n of the result:
// port n's byte is in bytes[n]); 0 before. Async-signal-safe: the stages
// after the safe outputs' (the trace) record them.
unsigned safelastwords(uint8_t bytes[LOGICAL_PORTS]);

// Applies every declared pattern now, through the port layer (so the trace
// and the monitors see it).
void safeapply(void);

// Applies port 0's pattern only (after a calibration).
void safeapplyport0(void);

// The logical ports (bit n for port n) with a declared pattern: ports the
// run drives at its end whatever its script does.
unsigned safeports(void);

// Forgets every declaration (tests).
void safereset(void);

#endif
