// Terminal modes shared by the tests that run code on a pseudo-terminal:
// the mode a user's shell leaves a terminal in, and a whole-mode compare.
#ifndef QUON_TESTS_TTYMODE_H
#define QUON_TESTS_TTYMODE_H

#include <termios.h>

#include <cstring>

// The mode a user's shell leaves a terminal in: line editing, echo, CR to
// newline on input, newline to CR-LF on output, signal keys (Ctrl-Z too).
inline termios ttystartmode(void) {
  termios mode{};
  cfmakeraw(&mode);
  mode.c_iflag = ICRNL | IXON;
  mode.c_oflag = OPOST | ONLCR;
  mode.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  mode.c_cflag = CS8 | CREAD;
  mode.c_cc[VINTR] = 3;
  mode.c_cc[VQUIT] = 28;
  mode.c_cc[VSUSP] = 26;
  mode.c_cc[VERASE] = 127;
  mode.c_cc[VEOF] = 4;
  mode.c_cc[VSTART] = 17;
  mode.c_cc[VSTOP] = 19;
  mode.c_cc[VLNEXT] = 22;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  cfsetispeed(&mode, B38400);
  cfsetospeed(&mode, B38400);
  return mode;
}

inline bool samemode(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

#endif
