// Console keys from the controlling terminal (/dev/tty), so that a script
// read from standard input still leaves the keyboard usable.
//
// While the program runs the terminal is in key mode: no line editing, no
// echo, signals kept. Its old mode comes back at exit (also exit(-1) from a
// failure), from the handlers of the signals that end the program by
// default (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE for output to a pipe
// whose reader has gone, and the alarm, user, resource-limit and profiling
// signals: a step of lastwords.h), and while a SPAWN'd command runs.
//
// Ctrl-Z (SIGTSTP) gives the terminal its old mode back before the program
// stops, so the shell finds it as it left it. When the program continues
// (SIGCONT) in the foreground it takes key mode again, whatever mode the
// shell put in meanwhile; continued in the background it leaves the
// terminal to the job that has it and takes key mode at the next fg.
//
// The main loop polls the keyboard once per pass at full speed, so an empty
// poll must not cost a system call. The terminal announces input with SIGIO,
// whose handler raises a flag; keyavailable reads the terminal only when
// the flag is raised or bytes are already buffered.
//
// Enter reads as 13: key mode turns ICRNL off, so the CR that the terminal
// sends for Enter arrives unchanged (Ctrl-J still reads as 10).
#include "platform/keys.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/keydecode.h"
#include "platform/lastwords.h"
#include "platform/monotonic.h"

namespace {

constexpr int INBUF = 64;  // bytes read from the terminal, not yet decoded
// nextbyte: nothing came in time, or there is no terminal.
constexpr int NOBYTE = KEYDECODE_NOBYTE;

int ttyfd = -1;              // the controlling terminal; -1 when there is none
bool started = false;        // keyboardstart has looked for the terminal
bool ready = false;          // keys may be read: not released after a prompt
bool paused = false;         // a SPAWN'd command has the terminal
bool asyncinput = false;     // SIGIO announces input; else every empty poll reads
termios savedmode;           // the terminal's mode before the program started
termios keymode;             // savedmode turned into key mode
volatile sig_atomic_t keymodewanted = 0;   // 1 while keymode is to be on
volatile sig_atomic_t keymodeon = 0;       // 1 while the terminal is in keymode
volatile sig_atomic_t inputsignalled = 0;  // input may have come since the last read

unsigned char inbuf[INBUF];  // bytes read, oldest at inhead
int inhead = 0;              // next byte to decode
int intail = 0;              // next free place
int heldscan = 0;            // scan code the next readkey returns; 0 = none

// ---------------------------------------------------------------------------
// Signals and restoring the mode
//
// Handlers make only async-signal-safe calls. Each one that makes a system
// call and returns keeps errno as the interrupted code left it.

sigset_t modesignals;          // every signal whose handler changes the mode
struct sigaction stopaction;   // our SIGTSTP handler, put back after each stop
struct sigaction stopdefault;  // SIGTSTP's default action: stop

void oninput(int) { inputsignalled = 1; }

// The terminal is ours to change only while our process group is its
// foreground group: a change from the background would stop the program
// (SIGTTOU) or take the terminal from the job that has it.
bool inforeground(void) {
  pid_t group = tcgetpgrp(ttyfd);
  return group < 0 || group == getpgrp();  // no answer: let tcsetattr decide
}

// Puts key mode in when it is wanted and the terminal is ours, and raises
// the input flag: keys typed meanwhile raised no signal (the line
// discipline keeps a half-typed line to itself), so the next poll must read.
void takekeymode(void) {
  if (!keymodewanted) return;
  if (!inforeground()) {
    keymodeon = 0;  // whatever mode the terminal has now is its owner's
    return;
  }
  keymodeon = 1;  // first, so a signal in between still restores the mode
  if (tcsetattr(ttyfd, TCSANOW, &keymode) != 0) keymodeon = 0;
  inputsignalled = 1;
}

// A signal that ends the program puts the mode back on its way out,
// whoever sends it (a user, a UPS daemon, abort()).
void restoremodeonsignal(void) {
  if (keymodeon) tcsetattr(ttyfd, TCSANOW, &savedmode);
}

// Ctrl-Z: the shell gets the terminal in its old mode, then the program
// stops (only the default action can stop a process). The raise returns
// when the program is continued, or at once when the kernel drops the stop
// because no shell of this session could continue us (an orphaned process
// group); either way key mode comes back if the terminal is ours.
void onstop(int) {
  int savederrno = errno;
  if (keymodeon) {
    tcsetattr(ttyfd, TCSANOW, &savedmode);
    keymodeon = 0;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigaction(SIGTSTP, &stopdefault, nullptr);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(SIGTSTP);
  sigprocmask(SIG_BLOCK, &set, nullptr);  // no stop before the handler is back
  sigaction(SIGTSTP, &stopaction, nullptr);
  takekeymode();
  errno = savederrno;
}

// fg after a stop (ours, or SIGSTOP that no program can catch): the shell
// has put its own mode in, so key mode is taken again.
void oncontinue(int) {
  int savederrno = errno;
  takekeymode();
  errno = savederrno;
}

// The mode changes of the program itself happen with the handlers that
// change it held back, so neither sees the other's work half done.
void holdsignals(sigset_t *old) { sigprocmask(SIG_BLOCK, &modesignals, old); }
void releasesignals(const sigset_t *old) {
  sigprocmask(SIG_SETMASK, old, nullptr);
}

void restoreatexit(void) {
  sigset_t old;
  holdsignals(&old);
  keymodewanted = 0;  // a SIGCONT from now on leaves the terminal alone
  if (keymodeon) tcsetattr(ttyfd, TCSANOW, &savedmode);
  keymodeon = 0;
  releasesignals(&old);
}

// A signal ignored when we started (nohup, a service, a job started in the
// background by a shell without job control) stays ignored.
bool ignoredatstart(int sig) {
  struct sigaction old;
  return sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

void installhandlers(void) {
  lastwordssignals(&modesignals);
  sigaddset(&modesignals, SIGTSTP);
  sigaddset(&modesignals, SIGCONT);

  // Each handler runs with the others held back: a fatal signal waits until
  // a stop or continue is done, and nothing takes key mode again while a
  // fatal signal is on its way out.
  lastwordsinstall(&modesignals);

  // Stop and continue return to the interrupted code: SA_RESTART, so a
  // Ctrl-Z and fg do not break its system calls.
  memset(&stopaction, 0, sizeof stopaction);
  stopaction.sa_handler = onstop;
  stopaction.sa_mask = modesignals;
  stopaction.sa_flags = SA_RESTART;
  memset(&stopdefault, 0, sizeof stopdefault);
  stopdefault.sa_handler = SIG_DFL;
  sigemptyset(&stopdefault.sa_mask);
  if (!ignoredatstart(SIGTSTP)) sigaction(SIGTSTP, &stopaction, nullptr);

  // SIGCONT continues the program whatever its disposition, so ours is
  // installed even over an ignored one: the mode must come back either way.
  struct sigaction cont;
  memset(&cont, 0, sizeof cont);
  cont.sa_handler = oncontinue;
  cont.sa_mask = modesignals;
  cont.sa_flags = SA_RESTART;
  sigaction(SIGCONT, &cont, nullptr);

  struct sigaction input;
  memset(&input, 0, sizeof input);
  input.sa_handler = oninput;
  sigemptyset(&input.sa_mask);
  input.sa_flags = SA_RESTART;  // a key press must not break other system calls
  sigaction(SIGIO, &input, nullptr);
}

// Input signals go to this process alone. Turning O_ASYNC on for a terminal
// aims them at its foreground process group, so the owner is set after it.
bool armasync(void) {
  int flags = fcntl(ttyfd, F_GETFL);
  if (flags < 0 || fcntl(ttyfd, F_SETFL, flags | O_ASYNC) < 0) return false;
  if (fcntl(ttyfd, F_SETOWN, getpid()) < 0) {
    fcntl(ttyfd, F_SETFL, flags & ~O_ASYNC);
    return false;
  }
  return true;
}

void disarmasync(void) {
  int flags = fcntl(ttyfd, F_GETFL);
  if (flags >= 0) fcntl(ttyfd, F_SETFL, flags & ~O_ASYNC);
  asyncinput = false;
}

void enterkeymode(void) {
  if (ttyfd < 0 || paused || keymodewanted) return;
  sigset_t old;
  holdsignals(&old);
  keymodewanted = 1;
  asyncinput = armasync();
  takekeymode();  // in the background: at the next fg instead
  releasesignals(&old);
}

// The terminal hung up or went away: from now on there is none.
void loseterminal(void) {
  sigset_t old;
  holdsignals(&old);
  keymodewanted = 0;
  keymodeon = 0;  // nothing left to restore
  asyncinput = false;
  close(ttyfd);
  ttyfd = -1;
  releasesignals(&old);
}

// ---------------------------------------------------------------------------
// Reading bytes

// Reads what the terminal holds into inbuf; returns the count read.
int fillbuffer(void) {
  if (ttyfd < 0) return 0;
  if (inhead == intail) {
    inhead = intail = 0;
  } else if (intail == INBUF && inhead > 0) {
    memmove(inbuf, inbuf + inhead, static_cast<size_t>(intail - inhead));
    intail -= inhead;
    inhead = 0;
  }
  int space = INBUF - intail;
  if (space == 0) return 0;  // the flag stays up: the rest is read later
  // Cleared before the read: a byte that arrives after it raises it again.
  inputsignalled = 0;
  ssize_t n;
  do {
    n = read(ttyfd, inbuf + intail, static_cast<size_t>(space));
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    intail += static_cast<int>(n);
    if (n == space) inputsignalled = 1;  // more may be waiting
    return static_cast<int>(n);
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  loseterminal();  // end of file or an error: the terminal is gone
  return 0;
}

int64_t nowms(void) { return static_cast<int64_t>(monotonicms()); }

// Takes the next byte, waiting up to timeoutms for it (-1: as long as it
// takes). NOBYTE when none came or there is no terminal.
int nextbyte(int timeoutms) {
  int64_t deadline = timeoutms < 0 ? 0 : nowms() + timeoutms;
  while (inhead == intail) {
    if (fillbuffer() > 0) break;
    if (ttyfd < 0) return NOBYTE;
    int wait = -1;
    if (timeoutms >= 0) {
      int64_t left = deadline - nowms();
      if (left <= 0) return NOBYTE;
      wait = static_cast<int>(left);
    }
    pollfd p = {ttyfd, POLLIN, 0};
    poll(&p, 1, wait);  // EINTR (SIGIO) or a hang-up: the read above tells
  }
  return inbuf[inhead++];
}

// Gives back the byte nextbyte just returned.
void ungetbyte(void) { --inhead; }

}  // namespace

// ---------------------------------------------------------------------------
// The interface

void keyboardstart(void) {
  ready = true;
  if (started) {
    enterkeymode();
    return;
  }
  started = true;
  ttyfd = open("/dev/tty", O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (ttyfd < 0) return;  // no controlling terminal: no keys, nothing changed
  if (tcgetattr(ttyfd, &savedmode) != 0) {
    close(ttyfd);
    ttyfd = -1;
    return;
  }
  keymode = savedmode;
  // Input: Enter's CR arrives as 13, and Ctrl-S / Ctrl-Q are keys rather
  // than output flow control.
  keymode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
  // Local: no line editing and no echo, so a key is seen without Enter. ISIG
  // stays, so Ctrl-C and Ctrl-\ still send their signals; IEXTEN goes, so
  // Ctrl-V and Ctrl-O are keys too.
  keymode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  // A read returns as soon as one byte is there.
  keymode.c_cc[VMIN] = 1;
  keymode.c_cc[VTIME] = 0;
  // Output and control flags stay as they were: "\n" still ends a line.

  // The stop sequence's terminal stage, set before anything is changed.
  stopstage(STOP_TERMINAL, restoreatexit, restoremodeonsignal);
  installhandlers();
  enterkeymode();
}

int keyavailable(void) {
  if (!ready) keyboardstart();
  if (inhead != intail) return 1;
  if (asyncinput && !inputsignalled) return 0;
  fillbuffer();
  return inhead != intail ? 1 : 0;
}

int readkey(void) {
  if (!ready) keyboardstart();
  if (heldscan != 0) {
    int scan = heldscan;
    heldscan = 0;
    return scan;
  }
  int b = nextbyte(-1);
  if (b == NOBYTE) return KEY_ENTER;  // no terminal: as if Enter were pressed
  if (b != KEY_ESC) return b;
  return decodeescape(KeyBytes{nextbyte, ungetbyte}, &heldscan);
}

namespace {
// Key mode off, and no input signals while nobody polls.
void leavekeymode(void) {
  disarmasync();
  sigset_t old;
  holdsignals(&old);
  keymodewanted = 0;  // from now on a signal leaves the terminal's mode alone
  if (keymodeon) {
    tcsetattr(ttyfd, TCSANOW, &savedmode);
    keymodeon = 0;
  }
  releasesignals(&old);
}
}  // namespace

void keyboardrelease(void) {
  if (!ready) return;
  ready = false;
  if (ttyfd < 0 || paused) return;
  leavekeymode();
}

void keyboardpause(void) {
  if (ttyfd < 0 || paused) return;
  paused = true;
  leavekeymode();
}

void keyboardresume(void) {
  if (!paused) return;
  paused = false;
  enterkeymode();
}

void keywait(uint64_t maxus) { keywaitfor(maxus, nullptr, 0); }

void keywaitfor(uint64_t maxus, const int *fds, int count) {
  if (!ready) keyboardstart();
  if (inhead != intail || (asyncinput && inputsignalled)) return;
  timespec span{static_cast<time_t>(maxus / 1000000u), static_cast<long>(maxus % 1000000u) * 1000};
  bool terminal = ttyfd >= 0 && !paused;
  if (!terminal && count <= 0) {
    // An absolute wake-up time survives the signals that cut a sleep short.
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += span.tv_sec;
    until.tv_nsec += span.tv_nsec;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_nsec -= 1000000000L;
      ++until.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return;
  }
  pollfd p[1 + KEYWAIT_FDS];
  nfds_t n = 0;
  if (terminal) p[n++] = pollfd{ttyfd, POLLIN, 0};
  for (int i = 0; i < count && i < KEYWAIT_FDS; ++i) p[n++] = pollfd{fds[i], POLLIN, 0};
  ppoll(p, n, &span, nullptr);  // input, an edge, SIGIO or the time: the next pass tells
}
