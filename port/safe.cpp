#include "port/safe.h"

#include <unistd.h>

#include "platform/lastwords.h"
#include "port/port.h"
#include "trace/trace.h"

namespace {

// The safe outputs' whole state; safereset puts it back.
struct SafeState {
  bool declared[LOGICAL_PORTS] = {};
  uint16_t patterns[LOGICAL_PORTS] = {};
  pid_t owner = 0;                       // a SPAWN'd child never drives the port
  volatile sig_atomic_t applied = 0;     // the signal path ran
};
SafeState safe;

void onexit(void) { safeapply(); }

// The last words: the port straight (registers or lines), then the trace
// told what they now hold. Only async-signal-safe calls.
void onsignal(void) {
  if (safe.applied || getpid() != safe.owner) return;
  safe.applied = 1;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (!safe.declared[n]) continue;
    uint8_t byte = applypattern(portrawreadback(n), safe.patterns[n]);
    (void)portrawwrite(n, byte);
    tracesignaloutput(n, byte);
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

void safeapply(void) {
  if (safe.owner != 0 && getpid() != safe.owner) return;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (safe.declared[n]) portwrite(n, applypattern(portreadback(n), safe.patterns[n]));
  }
}

void safeapplyport0(void) {
  if (safe.declared[0]) portwrite(0, applypattern(portreadback(0), safe.patterns[0]));
}

void safereset(void) {
  safe = SafeState{};
}
