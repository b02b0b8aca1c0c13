// Runs code under a pseudo-terminal, as a user at a terminal would meet it:
// a built executable (ptystart with an argument list) or a piece of test
// code in a forked child (ptystart with a body). The parent plays the user:
// it types on the master side, reads the screen, looks at the terminal's
// mode, signals the child and collects its status. A body reports values
// through a pipe, one int at a time, and waits for the parent's go-ahead
// through another. Every wait of the parent is bounded, so a hanging child
// fails its test instead of hanging the run; a child still running when
// its PtyChild goes away is killed.
#ifndef QUON_TESTS_SUPPORT_PTYRUN_H
#define QUON_TESTS_SUPPORT_PTYRUN_H

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

constexpr int PTYWAITMS = 5000;  // longest wait for any one event: generous,
                                 // the machine may be busy

// The mode a user's shell leaves a terminal in: line editing, echo, CR to
// newline on input, newline to CR-LF on output, signal keys (Ctrl-Z too).
termios ttystartmode(void);
bool samemode(const termios &a, const termios &b);

struct PtyChild {
  pid_t pid = -1;
  int master = -1;       // the terminal's master side; -1 without one
  std::string out;       // everything printed on the terminal so far
  termios before{};      // terminal mode when the child started
  int status = -1;       // wait status once finished
  termios after{};       // terminal mode when it had finished
  int results = -1;      // a body's reports
  int control = -1;      // go-ahead bytes to a body
  bool reaped = false;   // its status has been collected

  PtyChild() = default;
  PtyChild(PtyChild &&other) noexcept;
  PtyChild &operator=(PtyChild &&other) noexcept;
  PtyChild(const PtyChild &) = delete;
  PtyChild &operator=(const PtyChild &) = delete;
  ~PtyChild();
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
// is also its controlling terminal, in ttystartmode(). Signal dispositions
// are inherited, as from any shell.
PtyChild ptystart(const std::vector<std::string> &argv,
                  const PtyOptions &options = PtyOptions());

// Starts body(results, control) in a child. With a terminal, the child runs
// on a new pseudo-terminal in ttystartmode(); without, it runs in a session
// of its own that has no controlling terminal. Its signals are as a fresh
// program in the foreground has them. The child ends with _exit(0) when
// body returns.
PtyChild ptystart(void (*body)(int results, int control), bool withterminal = true);

// Reads the terminal until text has appeared in out (true) or timeoutms
// passed (false).
bool ptywaitfor(PtyChild &child, const std::string &text, int timeoutms = PTYWAITMS);

// Appends what the terminal shows to out, waiting at most waitms.
void ptyread(PtyChild &child, int waitms);

// Types keys at the terminal.
void ptysend(PtyChild &child, const std::string &keys);

// Reads until the child exits; kills it after timeoutms. Returns the wait
// status (also in child.status) and keeps the terminal's mode then in
// child.after; the descriptors are closed.
int ptyfinish(PtyChild &child, int timeoutms = PTYWAITMS);

// Kills the child if it still runs and closes its descriptors.
void ptyclose(PtyChild &child);

// Terminal mode now (the slave's, seen through the master).
termios ptymode(const PtyChild &child);

// A body's next report; false when none came within timeoutms. Keeps
// reading the screen meanwhile, so the child never stalls on its output.
bool ptyresult(PtyChild &child, int *value, int timeoutms = PTYWAITMS);

// Tells a body what to do next: the byte its childcommand returns.
void ptytell(PtyChild &child, char command);
inline void ptygo(PtyChild &child) { ptytell(child, 'g'); }

long ptynowms(void);  // a monotonic clock for the tests' own waits

// ---------------------------------------------------------------------------
// A body's side

void childreport(int results, int value);
// Blocks until the parent says go and returns the byte it sent (ptytell);
// a parent gone away ends the child.
char childcommand(int control);
inline void childwait(int control) { childcommand(control); }

#endif
