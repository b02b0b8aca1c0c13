#include "port/safe.h"

#include <unistd.h>

#include "platform/lastwords.h"
#include "port/port.h"

namespace {

// The safe outputs' whole state; safereset puts it back.
struct SafeState {
  bool declared[LOGICAL_PORTS] = {};
  uint16_t patterns[LOGICAL_PORTS] = {};
  pid_t owner = 0;                       // a SPAWN'd child never drives the port
  volatile sig_atomic_t applied = 0;     // the signal path ran
  volatile sig_atomic_t written = 0;     // bit n: the signal path wrote port n ...
  uint8_t byte[LOGICAL_PORTS] = {};      // ... this byte
};
SafeState safe;

void onexit(void) { safeapply(); }

// The last words: the port straight (registers or lines), and what they
// now hold kept for the stages after this one (the trace records it).
// Only async-signal-safe calls.
void onsignal(void) {
  if (safe.applied || getpid() != safe.owner) return;
  safe.applied = 1;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (!safe.declared[n]) continue;
    uint8_t byte = applypattern(portrawreadback(n), safe.patterns[n]);
    (void)portrawwrite(n, byte);
    safe.byte[n] = byte;
    safe.written = safe.written | (1 << n);
  }
}

}  // namespace

int safedeclare(int32_t n, uint16_t pattern) {
  if (safe.declared[n]) return -1;
  safe.declared[n] = true;
  safe.patterns[n] = pattern;
  return 0;
}

void safearm(void) {
  bool any = false;
  for (bool d : safe.declared) any = any || d;
  if (!any) return;
  safe.owner = getpid();
  // The stop sequence writes the safe outputs before it ends the trace and
  // removes the region, whenever those started: the trace records them.
  stopstage(STOP_SAFE, onexit, onsignal);
}

unsigned safelastwords(uint8_t bytes[LOGICAL_PORTS]) {
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) bytes[n] = safe.byte[n];
  return static_cast<unsigned>(safe.written);
}

void safeapply(void) {
  if (safe.owner != 0 && getpid() != safe.owner) return;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (safe.declared[n]) portwrite(n, applypattern(portreadback(n), safe.patterns[n]));
  }
}

void safeapplyport0(void) {
  if (safe.declared[0]) portwrite(0, applypattern(portreadback(0), safe.patterns[0]));
}

unsigned safeports(void) {
  unsigned ports = 0;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) ports |= safe.declared[n] ? 1u << n : 0u;
  return ports;
}

void safereset(void) {
  safe = SafeState{};
}
