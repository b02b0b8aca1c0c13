#include "driver/mainloop.h"

#include "core/watch.h"
#include "executor/pass.h"
#include "platform/keys.h"
#include "realtime/realtime.h"

void mainloopinit(void) {
  parkthreads();
  keyboardstart();  // key mode from the first pass on
}

int mainlooppass(void) {
  // At most one key per pass, so every thread sees each key for one pass;
  // the terminal's first, then one typed from outside (a monitor).
  return runpass(keyavailable() ? readkey() : watchkeyin());
}

namespace {
// The terminal's keys, at most one a pass, so every thread sees each key
// for one pass; the loop spins.
struct Terminal {
  int next(void) { return keyavailable() ? readkey() : watchkeyin(); }
  void after(void) {}
};
// The same, waiting between passes as the real-time mode decides.
struct RealTime {
  int next(void) { return keyavailable() ? readkey() : watchkeyin(); }
  void after(void) { realtimewait(); }
};
}  // namespace

int mainloop(void) {
  mainloopinit();
  if (realtimeon) {
    RealTime source;
    return runloop(source);
  }
  Terminal source;
  return runloop(source);
}
