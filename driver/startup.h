// Start-up: the command line, the files and the fixed sequence that hands
// over to the loader, the dump and the main loop.
#ifndef QUON_DRIVER_STARTUP_H
#define QUON_DRIVER_STARTUP_H

#include <cstdio>

// The program's entry. Returns only when the user ends the run with ESC
// (EXIT_ESC), or with a testbench's verdict (0 all held, 1 not);
// every other end of the program is an immediate exit.
int quonmain(int argc, char **argv);

// Starts the trace that traceopen created: the header names the ports the
// loaded script uses, and their lines as the threads start are its first
// values.
void starttrace(void);

// "<program> <version>", as --version prints it and a trace's header
// names it; the entry point of each executable sets it.
extern const char *programidentity;

// Reads the arguments from left to right: sets the option flags, prints
// the usage text and exits for -? or /?, opens every script name given.
void readarguments(int argc, char **argv);

// Reads the control byte and the inversion word from a calibration file
// ("%02x %04x"). Returns 1 when both were converted.
int scancalibration(FILE *f);

#endif
