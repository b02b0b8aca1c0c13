// Stamped lines (--stamp): every line the run prints while its threads run
// (notes, KEY and KILL lines, -d's outputs) begins with the run's clock,
// the one DELAY counts on (a testbench's simulated clock under a bench), in
// seconds and milliseconds: "12.345 ". A life test is then timed and
// counted from its output alone. Off, a printed line pays one flag test.
#ifndef QUON_EXECUTOR_STAMP_H
#define QUON_EXECUTOR_STAMP_H

#include <cstdint>

extern uint8_t stamping;  // FLAG_ON: lines are stamped; 0 off

// The clock's "S.mmm " on standard output, before a line.
void printstamp(void);

inline void stampline(void) {
  if (__builtin_expect(stamping != 0, 0)) printstamp();
}

#endif
