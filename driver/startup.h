// Start-up: the command line, the files and the fixed sequence that hands
// over to the loader, the dump and the main loop.
#ifndef QUON_DRIVER_STARTUP_H
#define QUON_DRIVER_STARTUP_H

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "driver/options.h"
#include "testbench/testbench.h"

// The program's entry. Returns only when the user ends the run with ESC
// (EXIT_ESC), or with a testbench's verdict (0 all held, 1 not);
// every other end of the program is an immediate exit.
int quonmain(int argc, char **argv);

// Opens a script name argument as prog.infile; a name without any '.' gets
// ".qun". A warning for the log (the name matched only without regard to
// case) is added to run->warnings.
void openscript(const char *argument, RunChoices *run);

// Which of the run's own files the file st describes is (same device and
// inode, however named): "script" (standard input when no name was
// given), "testbench", "replay file", "calibration file" (QUON.INI as the
// run finds it) or "log" (QUON.log itself, never through a link); nullptr
// when none. A trace and a report must be none of them.
const char *runinput(const struct stat &st, const RunChoices &run,
                     const std::vector<Testbench> &benches);

// Starts the trace that start-up opened: the header names the ports the
// loaded script uses, and their lines as the threads start are its first
// values. dated: the header carries the date (not in simulated time, where
// a trace is the same on every run).
void starttrace(bool dated = true);

// Reads the control byte and the inversion word from a calibration file
// ("%02x %04x"). Returns 1 when both were converted.
int scancalibration(FILE *f);

// A clean run: the record, the ports and every feature's state (the trace,
// the publishing) as at start. For tests and benchmarks.
void resetrun(void);

#endif
