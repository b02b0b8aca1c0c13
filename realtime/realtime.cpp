#include "realtime/realtime.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/watch.h"
#include "executor/pass.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/rtsched.h"
#include "port/edges.h"
#include "realtime/margin.h"

bool realtimeon = false;
RealtimeFigures realtimefigures;

namespace {

// The deadline the loop sleeps toward, taken at the first idle pass that
// sees it, with how far away it was then. Until the last sleep before it
// its margin follows what is learned, as far as the budget pays; after
// that sleep the loop spins to it instead of sleeping again in smaller
// and smaller pieces.
struct Aim {
  bool on = false;
  uint32_t ms = 0;        // the deadline on the millisecond clock
  uint64_t us = 0;        // the same on the microsecond clock
  uint64_t spanus = 0;    // how far away it was when first seen
  uint32_t marginus = 0;  // the margin kept for it
  bool cut = false;       // the budget kept it below the learned margin
  bool reached = false;   // the last sleep before it is over: spin
};

// The mode's bookkeeping of one run; realtimereset puts it back.
struct RealtimeState {
  uint64_t spunfrom = 0;   // when the loop last gave the processor back
  Margin margin;           // learned from every sleep of the run
  Budget budget;           // what spinning before deadlines may cost
  Aim aim;                 // the deadline slept toward
  bool toldshort = false;  // the budget's shortfall was told
};
RealtimeState rt;

// After a sleep the watchers' pass counts mean nothing: their next pass
// looks at the clock.
void slept(void) {
  watchslept();
  rt.spunfrom = clockus();
}

// Once in a run, when the budget leaves less spinning than the learned
// margin asks for: DELAYs of that length may end late by a late wake-up.
void tellshort(uint32_t learned, uint64_t spanus) {
  if (rt.margin.filled < MARGIN_WARMUP) return;  // nothing learned yet
  realtimefigures.budgetshort = true;
  if (rt.toldshort) return;
  rt.toldshort = true;
  fprintf(stderr,
          "realtime: a budget of %u %% of a processor cannot cover the %u us margin the "
          "wake-ups here need before a deadline %.1f ms away: such DELAYs can end late by a "
          "late wake-up (--realtime-budget=PERCENT)\n",
          rt.budget.percent, learned, static_cast<double>(spanus) / 1000.0);
}

// A sleep that began at from and asked for asked microseconds is over:
// its overshoot (negative when a key cut it short).
int64_t learnsleep(uint64_t from, uint64_t asked) {
  int64_t overshoot = static_cast<int64_t>(clockus() - from) - static_cast<int64_t>(asked);
  realtimefigures.marginus = marginlearn(&rt.margin, overshoot);
  return overshoot;
}

}  // namespace

void realtimereset(void) {
  realtimeon = false;
  rt = RealtimeState{};
  marginreset(&rt.margin);
  realtimefigures = RealtimeFigures{};
}

void realtimestart(int priority, int cpu, unsigned percent) {
  realtimereset();
  budgetstart(&rt.budget, percent, clockus());
  int scheduled = rtscheduler(priority);
  if (scheduled != 0) {
    fprintf(stderr, "realtime: not applied: SCHED_FIFO priority %d refused (%s); the run goes "
                    "on as a plain run\n", priority, strerror(scheduled));
    return;
  }
  std::string line = "realtime: SCHED_FIFO priority " + std::to_string(priority);
  int chosen = -1;
  bool isolated = false;
  int pinned = rtpin(cpu, &chosen, &isolated);
  line += pinned == 0 ? ", processor " + std::to_string(chosen) + (isolated ? " (isolated)" : "")
                      : ", not pinned to processor " + std::to_string(chosen) + " (" +
                            strerror(pinned) + ")";
  int locked = rtlockmemory();
  line += locked == 0 ? ", memory locked" : std::string(", memory not locked (") + strerror(locked) + ")";
  int latency = rtlatency();
  line += latency == 0 ? ", DMA latency 0" : std::string(", DMA latency not held (") + strerror(latency) + ")";
  line += "; kernel " + rtkernel() + ", throttling " + rtthrottling();
  fprintf(stderr, "%s\n", line.c_str());
  realtimeon = true;
  rt.spunfrom = clockus();
}

namespace {

// How long the loop may sleep after this pass, now: 0 when it must go on
// spinning (a WAIT polls, or a deadline is closer than its margin). *last
// is set for the last sleep before a deadline.
uint64_t sleepfor(uint64_t now, bool *last) {
  *last = false;
  uint32_t earliest = 0;
  int timed = 0;
  // The millisecond clock is the microsecond one in whole milliseconds.
  uint32_t nowms = static_cast<uint32_t>(now / 1000);
  if (!passidle(nowms, &earliest, &timed, edgeson)) return 0;
  if (!timed) return REALTIME_LONGESTUS;  // only keys: woken by one at once
  int64_t left = static_cast<int64_t>(static_cast<int32_t>(earliest - nowms)) * 1000 -
                 static_cast<int64_t>(now % 1000);
  if (!rt.aim.on || rt.aim.ms != earliest) {
    rt.aim = Aim{};
    rt.aim.on = true;
    rt.aim.ms = earliest;
    rt.aim.us = now + static_cast<uint64_t>(left > 0 ? left : 0);
    rt.aim.spanus = static_cast<uint64_t>(left > 0 ? left : 0);
  }
  if (rt.aim.reached) return 0;
  // The margin as learned so far, as far as the budget pays for it.
  rt.aim.marginus = budgetmargin(&rt.budget, rt.margin.marginus, now, &rt.aim.cut);
  if (left <= static_cast<int64_t>(rt.aim.marginus)) {
    // Too close to sleep at all: spin to it.
    rt.aim.reached = true;
    budgetspend(&rt.budget, static_cast<uint64_t>(left > 0 ? left : 0));
    if (rt.aim.cut) tellshort(rt.margin.marginus, rt.aim.spanus);
    return 0;
  }
  uint64_t sleep = static_cast<uint64_t>(left) - rt.aim.marginus;
  if (sleep >= REALTIME_LONGESTUS) return REALTIME_LONGESTUS;
  *last = true;
  return sleep;
}

}  // namespace

void realtimewait(void) {
  // Followed by their edges, GPIO inputs are one more thing the sleep
  // waits for: a queued edge is applied first and the next pass sees it.
  if (edgeson && edgesnext() != 0) return;
  uint64_t now = clockus();
  bool last = false;
  uint64_t sleep = sleepfor(now, &last);
  if (sleep > 0) {
    int fds[LOGICAL_PORTS];
    keywaitfor(sleep, fds, edgeson ? edgesfds(fds) : 0);
    // Cut short by a key, the next pass decides again.
    if (learnsleep(now, sleep) >= 0 && last) {
      rt.aim.reached = true;
      budgetspend(&rt.budget, rt.aim.marginus);
      if (rt.aim.cut) tellshort(rt.margin.marginus, rt.aim.spanus);
      marginlate(&realtimefigures, static_cast<int64_t>(clockus()) - static_cast<int64_t>(rt.aim.us));
    }
    slept();
    if (edgeson) edgesnext();
    return;
  }
  // Spinning: by the clock, whatever a pass costs, the processor is given
  // back for a slice in every REALTIME_SLICEEVERYUS.
  if (now - rt.spunfrom < REALTIME_SLICEEVERYUS) return;
  rtsleep(REALTIME_SLICEUS);
  learnsleep(now, REALTIME_SLICEUS);
  ++realtimefigures.slices;
  slept();
}

void realtimechild(void) {
  if (realtimeon) rtrelease();
}
