// Runs a built executable under a pseudo-terminal, as a user at a terminal
// would: type keys, read what it prints, signal it, collect its status.
#ifndef QUON_TESTS_E2E_PTYRUN_H
#define QUON_TESTS_E2E_PTYRUN_H

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "tests/ttymode.h"

struct PtyChild {
  pid_t pid = -1;
  int master = -1;       // the terminal's master side
  std::string out;       // everything printed on the terminal so far
  termios before{};      // terminal mode when the child started
  int status = -1;       // wait status once finished
  termios after{};       // terminal mode when it had finished
};

struct PtyOptions {
  std::string dir;         // working directory ("" = current)
  std::string stdinfile;   // standard input from this file ("" = terminal)
  std::string stdoutfile;  // standard output to this file ("" = terminal)
  std::string stderrfile;  // standard error to this file ("" = terminal)
  int stdoutfd = -1;       // standard output to this open descriptor (a pipe,
                           // say) instead of stdoutfile; -1 = not used
};

// Starts argv[0] (a path) with its arguments on a new pseudo-terminal, which
// is also its controlling terminal, in ttystartmode().
PtyChild ptystart(const std::vector<std::string> &argv,
                  const PtyOptions &options = PtyOptions());

// Reads the terminal until text has appeared in out (true) or timeoutms
// passed (false).
bool ptywaitfor(PtyChild &child, const std::string &text, int timeoutms);

// Types keys at the terminal.
void ptysend(PtyChild &child, const std::string &keys);

// Reads until the child exits; kills it after timeoutms. Returns the wait
// status (also in child.status).
int ptyfinish(PtyChild &child, int timeoutms);

// Terminal mode now (the slave's, seen through the master).
termios ptymode(const PtyChild &child);


// Small helpers that every end-to-end test needs.
std::string maketempdir(const std::string &prefix);  // a fresh folder
std::string readall(const std::string &path);        // "" when missing
void writeall(const std::string &path, const std::string &text);
bool exists(const std::string &path);
// Temporary calibration files ("QUON.INI." and six characters) in dir.
std::vector<std::string> tempsleft(const std::string &dir);
int exitstatus(int status);  // the exit status, -1 when ended by a signal

#endif
