// Shared helpers of the unit tests: a clean record, scripts from strings,
// the log's text.
#ifndef QUON_TESTS_TESTUTIL_H
#define QUON_TESTS_TESTUTIL_H

#include <string>

// Clean record, ports, simulated adapters, fake keys, clock and shell; the
// log is a fresh temporary file.
void resetall(void);

// Makes text the script (prog.infile) and runs the loader on it.
void loadscript(const std::string &text);

// Everything written to prog.logfile so far.
std::string logtext(void);

// A fresh temporary folder, made the current directory for the test;
// returns its path. The previous directory comes back at leavetempdir().
std::string entertempdir(void);
void leavetempdir(void);

// Whole content of a file ("" when missing).
std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &content);

#endif
