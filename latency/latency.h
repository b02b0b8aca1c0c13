// The latency report (--latency-test[=SECONDS]): how late DELAYs of 1 ms
// end on this machine, in the plain loop and in the real-time mode where
// the mode may be applied, with a one-line verdict on which timing a
// script here can count on; one JSON object with --json. It needs no
// port, no calibration and no script: it runs a script of its own that
// touches no port, through the same loop a run uses.
#ifndef QUON_LATENCY_LATENCY_H
#define QUON_LATENCY_LATENCY_H

#include <cstdint>
#include <string>
#include <vector>

// What the command line asked of it, and what else it named (refused).
struct LatencyChoices {
  int seconds = 10;        // per loop measured
  bool json = false;
  int priority = 0;        // --realtime=PRIORITY; 0: the mode's default
  int cpu = -1;            // --cpu=N
  int budget = 0;          // --realtime-budget=PERCENT; 0: the default
  bool script = false;     // a script was named
  bool bench = false;      // --testbench
  bool check = false;      // --check
  bool trace = false;      // --trace
  void (*load)(void) = nullptr;  // the start-up's loader: prog.infile into the tables
};

// The figures of one loop, from its DELAYs' lateness in microseconds.
struct LatencyFigures {
  bool measured = false;
  size_t delays = 0;
  double median = 0, p99 = 0, p999 = 0, worst = 0;
  size_t over100 = 0, over1000 = 0;
  uint32_t marginus = 0;  // the real-time mode's margin at the end; 0 plain
  bool budgetshort = false;
};

// Sorts late and gives its figures.
LatencyFigures latencyfigures(std::vector<double> *late);

// The verdict in plain words; realtime is nullptr when the mode was not
// applied.
std::string latencyverdict(const LatencyFigures &plain, const LatencyFigures *realtime);

// Runs the test and prints its report; the exit status. Refused
// combinations end the program with a message before anything runs.
int latencytest(const LatencyChoices &choices);

#endif
