#include "executor/delay.h"

#include "compiler/literals.h"
#include "core/tables.h"
#include "platform/clock.h"

int64_t delayticks(uint16_t code) {
  // A single-precision value times 1000 is exact in double precision, so the
  // truncation below is the only rounding: 0.7 s decodes a little below 0.7
  // and waits 699 ms.
  double ms = static_cast<double>(timecodetoseconds(code)) * 1000.0;
  // Only the too-large code lands outside 32 bits; it must not reach the
  // integer conversion, where it would have no defined value.
  if (!(ms > -2147483649.0 && ms < 2147483648.0)) return DELAY_NEVER;
  return static_cast<int64_t>(ms);
}

int delaystep(int32_t t, uint16_t code) {
  uint32_t deadline = prog.threadtimer[t];
  if (deadline == 0) {
    int64_t ticks = delayticks(code);
    if (ticks == DELAY_NEVER) return 0;  // parked until a KILL sends it home
    deadline = clockms() + static_cast<uint32_t>(ticks);  // modulo 2^32
    if (deadline == 0) {
      // 0 reads as "nothing pending". A deadline still ahead moves one
      // millisecond later, one already due one earlier, so neither ends
      // early nor waits longer than it should.
      deadline = ticks > 0 ? 1u : UINT32_MAX;
    }
    prog.threadtimer[t] = deadline;
    return 0;  // a first visit never completes, whatever the length
  }
  // Compared as a signed distance, so the clock's wrap after 49.7 days
  // neither ends a DELAY early nor holds it for weeks.
  if (clockms() - deadline >= 0x80000000u) return 0;
  prog.threadtimer[t] = 0;
  return 1;
}
