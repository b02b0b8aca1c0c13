#include "tests/support/ptyrun.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

termios ttystartmode(void) {
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

bool samemode(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

long ptynowms(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long>(t.tv_sec) * 1000L + t.tv_nsec / 1000000L;
}

PtyChild::PtyChild(PtyChild &&other) noexcept { *this = std::move(other); }

PtyChild &PtyChild::operator=(PtyChild &&other) noexcept {
  if (this != &other) {
    ptyclose(*this);
    pid = other.pid;
    master = other.master;
    out = std::move(other.out);
    before = other.before;
    status = other.status;
    after = other.after;
    results = other.results;
    control = other.control;
    reaped = other.reaped;
    other.pid = -1;
    other.master = other.results = other.control = -1;
  }
  return *this;
}

PtyChild::~PtyChild() { ptyclose(*this); }

namespace {

void closefd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Forks a child whose controlling terminal is a fresh pseudo-terminal in
// ttystartmode(), or that leads a session without one. Returns in both:
// child.pid is 0 in the child, -1 when nothing could start.
void forkonpty(PtyChild &child, bool withterminal) {
  termios mode = ttystartmode();
  winsize size = {24, 80, 0, 0};
  // The terminal is made and its mode read before the fork: read after it,
  // the mode could already be the one the child put in.
  int slave = -1;
  if (withterminal) {
    if (openpty(&child.master, &slave, nullptr, &mode, &size) != 0) return;
    fcntl(child.master, F_SETFD, FD_CLOEXEC);  // no later child inherits it
    child.before = ptymode(child);
  }
  child.pid = fork();
  if (child.pid == 0) {
    if (withterminal) {
      close(child.master);
      if (login_tty(slave) != 0) _exit(121);
    } else if (setsid() < 0) {
      _exit(122);
    }
    return;
  }
  if (slave >= 0) close(slave);
}

void redirect(const std::string &file, int fd, int flags) {
  if (file.empty()) return;
  int f = open(file.c_str(), flags | O_CLOEXEC, 0644);
  if (f < 0) _exit(126);
  dup2(f, fd);
  close(f);
}

// Reads what is there, waiting at most waitms. Returns false at the end of
// the terminal (every slave closed).
bool readsome(PtyChild &child, int waitms) {
  if (child.master < 0) return false;
  pollfd p = {child.master, POLLIN, 0};
  if (poll(&p, 1, waitms) <= 0) return true;
  char buf[4096];
  ssize_t n = read(child.master, buf, sizeof buf);
  if (n > 0) {
    child.out.append(buf, static_cast<size_t>(n));
    return true;
  }
  return !(n == 0 || (n < 0 && errno == EIO));
}

}  // namespace

PtyChild ptystart(const std::vector<std::string> &argv, const PtyOptions &options) {
  PtyChild child;
  forkonpty(child, true);
  if (child.pid != 0) return child;
  if (!options.dir.empty() && chdir(options.dir.c_str()) != 0) _exit(126);
  redirect(options.stdinfile, 0, O_RDONLY);
  if (options.stdoutfd >= 0) {
    dup2(options.stdoutfd, 1);
    if (options.stdoutfd != 1) close(options.stdoutfd);
  } else {
    redirect(options.stdoutfile, 1, O_WRONLY | O_CREAT | O_TRUNC);
  }
  redirect(options.stderrfile, 2, O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

PtyChild ptystart(void (*body)(int results, int control), bool withterminal) {
  PtyChild child;
  int up[2], down[2];
  if (pipe2(up, O_CLOEXEC) != 0) return child;
  if (pipe2(down, O_CLOEXEC) != 0) {
    close(up[0]);
    close(up[1]);
    return child;
  }
  forkonpty(child, withterminal);
  if (child.pid == 0) {
    close(up[0]);
    close(down[1]);
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
  if (child.pid < 0) {
    close(up[0]);
    close(down[1]);
    return child;
  }
  child.results = up[0];
  child.control = down[1];
  return child;
}

void ptyread(PtyChild &child, int waitms) { readsome(child, waitms); }

bool ptywaitfor(PtyChild &child, const std::string &text, int timeoutms) {
  long end = ptynowms() + timeoutms;
  while (child.out.find(text) == std::string::npos) {
    long left = end - ptynowms();
    if (left <= 0) return false;
    if (!readsome(child, static_cast<int>(left < 50 ? left : 50))) {
      return child.out.find(text) != std::string::npos;
    }
  }
  return true;
}

void ptysend(PtyChild &child, const std::string &keys) {
  size_t done = 0;
  while (done < keys.size()) {
    ssize_t n = write(child.master, keys.data() + done, keys.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

int ptyfinish(PtyChild &child, int timeoutms) {
  long end = ptynowms() + timeoutms;
  int status = -1;
  while (child.pid > 0 && !child.reaped) {
    pid_t r = waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) {
      // What it printed last is still in the terminal.
      while (readsome(child, 20) && child.out.size() < (1u << 24)) {
        pollfd p = {child.master, POLLIN, 0};
        if (child.master < 0 || poll(&p, 1, 0) <= 0) break;
      }
      child.reaped = true;
    } else if (r < 0) {
      status = -1;
      break;
    } else if (ptynowms() > end) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      child.reaped = true;
    } else if (child.master >= 0) {
      readsome(child, 20);
    } else {
      poll(nullptr, 0, 10);
    }
  }
  child.status = status;
  if (child.master >= 0) child.after = ptymode(child);
  closefd(&child.master);
  closefd(&child.results);
  closefd(&child.control);
  return child.status;
}

void ptyclose(PtyChild &child) {
  if (child.pid > 0 && !child.reaped) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.reaped = true;
  }
  closefd(&child.master);
  closefd(&child.results);
  closefd(&child.control);
}

termios ptymode(const PtyChild &child) {
  termios mode{};
  tcgetattr(child.master, &mode);
  return mode;
}

bool ptyresult(PtyChild &child, int *value, int timeoutms) {
  long end = ptynowms() + timeoutms;
  for (;;) {
    pollfd p[2] = {{child.results, POLLIN, 0}, {child.master, POLLIN, 0}};
    long left = end - ptynowms();
    if (left <= 0) return false;
    nfds_t nfds = child.master >= 0 ? 2 : 1;
    if (poll(p, nfds, static_cast<int>(left)) <= 0) continue;
    if (nfds == 2 && (p[1].revents & POLLIN)) readsome(child, 0);
    if (p[0].revents & (POLLIN | POLLHUP)) {
      int32_t v;
      ssize_t n = read(child.results, &v, sizeof v);
      if (n != static_cast<ssize_t>(sizeof v)) return false;  // the child died
      *value = v;
      return true;
    }
  }
}

void ptytell(PtyChild &child, char command) {
  if (write(child.control, &command, 1) != 1) return;
}

void childreport(int results, int value) {
  int32_t v = value;
  if (write(results, &v, sizeof v) != static_cast<ssize_t>(sizeof v)) _exit(120);
}

char childcommand(int control) {
  char c;
  ssize_t n;
  do {
    n = read(control, &c, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) _exit(121);
  return c;
}
