#include "realtime/realtime.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "executor/pass.h"
#include "core/watch.h"
#include "platform/clock.h"
#include "platform/keys.h"
#include "platform/realtime.h"

bool realtimeon = false;

namespace {
uint64_t spunfrom = 0;  // when the loop last gave the processor back
int32_t passes = 0;     // passes since the clock was last read while spinning

// After a sleep the watchers' pass counts mean nothing: their next pass
// looks at the clock.
void slept(void) {
  watchslept();
  spunfrom = clockus();
  passes = 0;
}
}  // namespace

void realtimestart(int priority, int cpu) {
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
  spunfrom = clockus();
}

namespace {

// How long the loop may sleep after this pass: 0 when it must go on
// spinning (a WAIT polls, or a deadline is closer than the margin).
uint64_t sleepfor(void) {
  uint32_t earliest = 0;
  int timed = 0;
  if (!passidle(&earliest, &timed)) return 0;
  if (!timed) return REALTIME_LONGESTUS;  // only keys: woken by one at once
  uint64_t now = clockus();
  int64_t left = static_cast<int64_t>(static_cast<int32_t>(earliest - clockms())) * 1000 -
                 static_cast<int64_t>(now % 1000);
  if (left <= static_cast<int64_t>(REALTIME_MARGINUS)) return 0;
  uint64_t sleep = static_cast<uint64_t>(left) - REALTIME_MARGINUS;
  return sleep < REALTIME_LONGESTUS ? sleep : REALTIME_LONGESTUS;
}

}  // namespace

void realtimewait(void) {
  uint64_t sleep = sleepfor();
  if (sleep > 0) {
    keywait(sleep);
    slept();
    return;
  }
  if (++passes < 64) return;  // while spinning the clock is read every 64 passes
  passes = 0;
  if (clockus() - spunfrom < REALTIME_SLICEEVERYUS) return;
  rtsleep(REALTIME_SLICEUS);
  slept();
}

void realtimechild(void) {
  if (realtimeon) rtrelease();
}
