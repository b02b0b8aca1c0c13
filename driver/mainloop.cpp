#include "driver/mainloop.h"

#include "core/watch.h"
#include "executor/pass.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "port/edges.h"
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

void edgewait(void) {
  if (edgesnext() != 0) return;
  uint64_t now = clockus();
  uint32_t nowms = static_cast<uint32_t>(now / 1000);
  uint32_t earliest = 0;
  int timed = 0;
  if (!passidle(nowms, &earliest, &timed, true)) return;
  // Listeners that count passes (a monitor's region, the watchdog, a
  // trace's buffer; the region also brings keys typed from outside) are
  // asked at least every EDGE_TICKUS; with none, the loop wakes only to
  // look again.
  uint64_t sleep = watched(WATCH_PASS) ? EDGE_TICKUS : EDGE_LONGESTUS;
  if (timed) {
    int64_t left = static_cast<int64_t>(static_cast<int32_t>(earliest - nowms)) * 1000 -
                   static_cast<int64_t>(now % 1000);
    if (left <= 0) return;  // due: the next pass ends it
    if (static_cast<uint64_t>(left) < sleep) sleep = static_cast<uint64_t>(left);
  }
  int fds[LOGICAL_PORTS];
  keywaitfor(sleep, fds, edgesfds(fds));
  watchslept();
  edgesnext();
}

namespace {
// The terminal's keys, at most one a pass, so every thread sees each key
// for one pass; the loop spins.
struct Terminal {
  int next(void) { return keyavailable() ? readkey() : watchkeyin(); }
  void after(void) {}
};
// GPIO ports followed by their edges: between passes the oldest queued
// edge is applied (the next pass sees it), and when none is waiting and no
// thread can move but by an edge, a key or the clock, the loop sleeps in
// the kernel until one of them comes (edgewait).
struct Edges : Terminal {
  void after(void) { edgewait(); }
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
  if (edgeson) {
    Edges source;
    return runloop(source);
  }
  Terminal source;
  return runloop(source);
}
