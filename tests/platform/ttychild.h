// Runs a piece of test code in a child process whose controlling terminal is
// a fresh pseudo-terminal (or, on request, that has no terminal at all). The
// parent plays the user: it types on the master side, reads the screen,
// looks at the terminal's mode, signals the child and collects its status.
// The child reports values through a pipe, one int at a time, and waits for
// the parent's go-ahead through another. Every wait of the parent is
// bounded, so a hanging child fails its test instead of hanging the run.
#ifndef QUON_TESTS_PLATFORM_TTYCHILD_H
#define QUON_TESTS_PLATFORM_TTYCHILD_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/ttymode.h"

constexpr int TTYWAITMS = 5000;  // longest wait for any one event

struct TtyChild {
  pid_t pid = -1;
  int master = -1;      // master side of the child's terminal; -1 without one
  int results = -1;     // the child's reports
  int control = -1;     // go-ahead bytes to the child
  termios before{};     // the terminal's mode before the child changed it
  std::string screen;   // everything the terminal has shown so far
};

// ---------------------------------------------------------------------------
// Child side

inline void childreport(int results, int value) {
  int32_t v = value;
  if (write(results, &v, sizeof v) != static_cast<ssize_t>(sizeof v)) _exit(120);
}

// Blocks until the parent says go and returns the byte it sent (ttysend);
// a parent gone away ends the child.
inline char childcommand(int control) {
  char c;
  ssize_t n;
  do {
    n = read(control, &c, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) _exit(121);
  return c;
}

inline void childwait(int control) { childcommand(control); }

// ---------------------------------------------------------------------------
// Parent side

// Starts body(results, control) in a child. With a terminal, the child runs
// on a new pseudo-terminal in ttystartmode(); without, it runs in a session
// of its own that has no controlling terminal. The child ends with _exit(0)
// when body returns.
inline TtyChild ttystart(void (*body)(int results, int control),
                         bool withterminal = true) {
  TtyChild child;
  int up[2], down[2];
  if (pipe2(up, O_CLOEXEC) != 0) return child;
  if (pipe2(down, O_CLOEXEC) != 0) {
    close(up[0]);
    close(up[1]);
    return child;
  }
  termios mode = ttystartmode();
  winsize size = {24, 80, 0, 0};
  // The terminal is made and its mode read before the fork: read after it,
  // the mode could already be the one the child's code put in.
  int slave = -1;
  if (withterminal) {
    if (openpty(&child.master, &slave, nullptr, &mode, &size) != 0) return child;
    tcgetattr(child.master, &child.before);
  }
  child.pid = fork();
  if (child.pid == 0 && withterminal) {
    close(child.master);
    if (login_tty(slave) != 0) _exit(121);
  }
  if (slave >= 0 && child.pid != 0) close(slave);
  if (child.pid == 0) {
    close(up[0]);
    close(down[1]);
    if (!withterminal && setsid() < 0) _exit(122);
    rlimit nocore = {0, 0};
    setrlimit(RLIMIT_CORE, &nocore);  // SIGQUIT leaves no core file behind
    // Dispositions as a fresh program in the foreground has them, whatever
    // the test run was started with (a background job ignores SIGINT and
    // SIGQUIT, some runners ignore SIGPIPE).
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    body(up[1], down[0]);
    _exit(0);
  }
  close(up[1]);
  close(down[0]);
  child.results = up[0];
  child.control = down[1];
  return child;
}

inline long ttynowms(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long>(t.tv_sec) * 1000L + t.tv_nsec / 1000000L;
}

// Appends what the terminal shows to screen, waiting at most waitms.
inline void ttyreadscreen(TtyChild &child, int waitms) {
  if (child.master < 0) return;
  pollfd p = {child.master, POLLIN, 0};
  if (poll(&p, 1, waitms) <= 0) return;
  char buf[1024];
  ssize_t n = read(child.master, buf, sizeof buf);
  if (n > 0) child.screen.append(buf, static_cast<size_t>(n));
}

// The child's next report; false when none came within timeoutms. Keeps
// reading the screen meanwhile, so the child never stalls on its output.
inline bool ttyresult(TtyChild &child, int *value, int timeoutms = TTYWAITMS) {
  long end = ttynowms() + timeoutms;
  for (;;) {
    pollfd p[2] = {{child.results, POLLIN, 0}, {child.master, POLLIN, 0}};
    long left = end - ttynowms();
    if (left <= 0) return false;
    int nfds = child.master >= 0 ? 2 : 1;
    if (poll(p, static_cast<nfds_t>(nfds), static_cast<int>(left)) <= 0) continue;
    if (nfds == 2 && (p[1].revents & POLLIN)) ttyreadscreen(child, 0);
    if (p[0].revents & (POLLIN | POLLHUP)) {
      int32_t v;
      ssize_t n = read(child.results, &v, sizeof v);
      if (n != static_cast<ssize_t>(sizeof v)) return false;  // the child died
      *value = v;
      return true;
    }
  }
}

// Waits until text has appeared on the screen.
inline bool ttywaitscreen(TtyChild &child, const std::string &text,
                          int timeoutms = TTYWAITMS) {
  long end = ttynowms() + timeoutms;
  while (child.screen.find(text) == std::string::npos) {
    long left = end - ttynowms();
    if (left <= 0) return false;
    ttyreadscreen(child, static_cast<int>(left < 50 ? left : 50));
  }
  return true;
}

inline void ttytype(TtyChild &child, const std::string &keys) {
  size_t done = 0;
  while (done < keys.size()) {
    ssize_t n = write(child.master, keys.data() + done, keys.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

// Tells the child what to do next: the byte its childcommand returns.
inline void ttysend(TtyChild &child, char command) {
  if (write(child.control, &command, 1) != 1) return;
}

inline void ttygo(TtyChild &child) { ttysend(child, 'g'); }

// The terminal's mode now, as the child's side sees it.
inline termios ttymode(const TtyChild &child) {
  termios mode{};
  tcgetattr(child.master, &mode);
  return mode;
}

// Waits for the child to end (killing it after timeoutms) and returns its
// wait status. The master stays open, so ttymode still tells the mode the
// child left behind; ttyclose releases it.
inline int ttyfinish(TtyChild &child, int timeoutms = TTYWAITMS) {
  long end = ttynowms() + timeoutms;
  int status = -1;
  for (;;) {
    pid_t r = waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) break;
    if (r < 0) return -1;
    if (ttynowms() > end) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      return -1;  // no status a test expects
    }
    if (child.master >= 0) {
      ttyreadscreen(child, 10);
    } else {
      poll(nullptr, 0, 10);
    }
  }
  return status;
}

inline void ttyclose(TtyChild &child) {
  if (child.pid > 0 && waitpid(child.pid, nullptr, WNOHANG) == 0) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
  }
  for (int *fd : {&child.master, &child.results, &child.control}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  child.pid = -1;
}

#endif
