// The real-time mode's margin: how long before a DELAY's deadline the loop
// wakes to spin the rest. It is learned from the machine's own wake-ups:
// every sleep's overshoot (woke - asked) goes into a window of the last
// MARGIN_SAMPLES, and the margin is the 99.9th percentile of that window,
// kept between MARGIN_FLOORUS and MARGIN_CEILUS. A machine whose wake-ups
// come late spins longer; one whose wake-ups are prompt spins less. What a
// sleep may spin is further bounded by the processor budget: a script that
// only waits for times and keys spends at most that share of a processor.
// Plain functions over one record, so a series of overshoots can be fed in
// and the margin it gives read back.
#ifndef QUON_REALTIME_MARGIN_H
#define QUON_REALTIME_MARGIN_H

#include <cstdint>

constexpr uint32_t MARGIN_FLOORUS = 50;     // never closer to a deadline than this
constexpr uint32_t MARGIN_CEILUS = 10000;   // never further: the longest sleep
constexpr uint32_t MARGIN_STARTUS = 100;    // before the window holds MARGIN_WARMUP
constexpr int32_t MARGIN_WARMUP = 16;
constexpr int32_t MARGIN_SAMPLES = 4096;    // the window: the last few thousand sleeps
constexpr uint32_t MARGIN_PERMILLE = 999;   // the percentile kept
constexpr uint32_t MARGIN_BUCKETUS = 10;    // the window's resolution
constexpr int32_t MARGIN_BUCKETS = static_cast<int32_t>(MARGIN_CEILUS / MARGIN_BUCKETUS) + 1;
constexpr unsigned BUDGET_DEFAULT = 20;     // percent of a processor

struct Margin {
  uint32_t marginus = MARGIN_STARTUS;  // the margin learned
  int32_t filled = 0;                  // overshoots in the window
  int32_t next = 0;                    // where the next one goes
  int32_t top = 0;                     // the highest bucket that holds one
  uint16_t window[MARGIN_SAMPLES];     // each overshoot's bucket, oldest overwritten
  uint16_t count[MARGIN_BUCKETS];      // overshoots per bucket of MARGIN_BUCKETUS
};

// The figures the mode shows (monitor, --once, the latency report).
struct RealtimeFigures {
  uint32_t marginus = MARGIN_STARTUS;  // the margin learned so far
  uint32_t worstlateus = 0;            // the latest a wake-up came after its deadline
  uint32_t lateover100 = 0;            // wake-ups more than 100 us after their deadline
  uint32_t lateover1000 = 0;           // ... more than 1 ms
  uint32_t deadlines = 0;              // deadlines the loop slept toward
  uint32_t slices = 0;                 // slices given back while spinning
  bool budgetshort = false;            // the budget could not cover the margin once
};

void marginreset(Margin *m);

// One sleep's overshoot, microseconds; a negative one (woken early, by a
// key) says nothing about the wake-ups and is left out. Returns the margin.
uint32_t marginlearn(Margin *m, int64_t overshootus);

// The processor budget: spinning before deadlines is paid from a credit
// that grows by percent of the time that passes, up to percent of
// BUDGET_WINDOWUS, so over any stretch of a run a script that only waits
// for times and keys spins at most that share of it (and one short DELAY
// among long ones borrows from the rest).
constexpr uint64_t BUDGET_WINDOWUS = 100000;

struct Budget {
  unsigned percent = BUDGET_DEFAULT;
  int64_t creditus = 0;  // spinning still allowed
  uint64_t at = 0;       // the clock when the credit was last grown
};

void budgetstart(Budget *b, unsigned percent, uint64_t now);

// The margin a deadline may keep at now: the learned one, or the credit
// when that is less (*cut is then set).
uint32_t budgetmargin(Budget *b, uint32_t learnedus, uint64_t now, bool *cut);

// The loop spun us microseconds before a deadline.
void budgetspend(Budget *b, uint64_t us);

// One deadline slept toward, woken lateus after it (0 or less: in time).
void marginlate(RealtimeFigures *f, int64_t lateus);

#endif
