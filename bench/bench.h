// The benchmark program's shared parts: its options, the timing and
// statistics helpers, the figure table and the program set-up that every
// measurement starts from.
//
// Every figure is the median of several repetitions; ratios are taken per
// repetition between runs made back to back, so a machine that slows down
// for a while slows both sides of a ratio alike.
#ifndef QUON_BENCH_BENCH_H
#define QUON_BENCH_BENCH_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

struct BenchOptions {
  int smoke;          // nonzero: tiny counts, only proves that everything runs
  int repetitions;    // samples per figure; the median is reported
  double samplems;    // wall time one timed sample aims at, in ms
  int delays;         // DELAYs timed for the lateness figure
  int reactions;      // handovers timed for each reaction figure
  int32_t loadsmall;  // lines of the smaller loading script
  int32_t loadlarge;  // lines of the larger loading script
  const char *demo;   // the demo script's file name
};
extern BenchOptions benchopt;

extern FILE *report;  // where the figures go (standard output is silenced)
extern int benchfailures;  // self-checks that failed; the exit status says so

// CLOCK_MONOTONIC in nanoseconds, read straight from the system.
uint64_t nowns(void);

// Median and p-quantile (0..1, nearest rank) of n values; v is sorted.
double median(double *v, int n);
double quantile(double *v, int n, double p);

// One line of the figure table, printed at once.
void figure(const char *name, double value, const char *unit);

// One target: a figure against its limit, remembered for the summary.
void target(const char *name, double value, double limit, const char *unit);
void printtargets(void);

// A clean record over a script given as text: tables loaded, the simulated
// port at power-on with the test connector and its calibration, the log a
// sink. Returns the number of log bytes written (0 means no script error).
long loadtext(const std::string &script);

// Runs run() with standard error silenced: the wall time in seconds, what
// it returned in *status (-1: not run, standard error could not be
// silenced: a failed self-check).
double timedsilenced(const std::function<int(void)> &run, int *status);

// timedbench: the loaded script under bench, the verdict in *verdict.
struct Testbench;
double timedbench(Testbench *bench, int *verdict);

// Whole content of a file; "" when it cannot be read.
std::string readwholefile(const char *path);

// The measurements, in report order.
void benchpasses(void);     // pass cost, hand-written floor, ratios
void benchkeys(void);       // keyavailable on a quiet pseudo-terminal
void benchreaction(void);   // reaction through the test connector
void benchdelays(void);     // DELAY lateness on the real clock
void benchloading(void);    // loader cost per line and peak memory
void benchtracing(void);    // the traced pass against the untraced one
void benchpublishing(void); // the pass with the monitors' region against without
void benchkeyin(void);      // the pass with the key inbox watched against without
void benchservice(void);    // the pass with the service's watchdog against without
void benchrealtime(void);   // the real-time mode against the plain loop, idle and loaded
void benchexpectations(void); // a bench of many expectations (testbench part)
void benchkills(void);      // KILLs of a thousand threads under a testbench
void benchbridges(void);    // quon-mqtt's and quon-modbus's answers and their cost to the pass
void benchsuites(void);     // coverage counted and several benches in one run (testbench part)
void benchflags(void);      // the pass on a flag bank against the same on port 0
void benchsimulation(void); // simulated seconds per wall second (runs last)

// Sees every register write after the simulated port took it (called by
// the benchmark's port back-end, portio_watch.cpp).
void watchedwrite(uint32_t address, uint8_t value);

// The child behind the peak-memory figure: writes a script of lines lines,
// loads it, prints the peak resident KiB before and after the load.
int loadchild(int32_t lines);

#endif
