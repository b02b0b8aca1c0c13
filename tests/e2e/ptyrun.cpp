#include "tests/e2e/ptyrun.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utmp.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
long nowms(void) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void redirect(const std::string &file, int fd, int flags) {
  if (file.empty()) return;
  int f = open(file.c_str(), flags, 0644);
  if (f < 0) _exit(126);
  dup2(f, fd);
  close(f);
}

// Reads what is there, waiting at most waitms. Returns false at end.
bool readsome(PtyChild &child, int waitms) {
  pollfd p = {child.master, POLLIN, 0};
  int r = poll(&p, 1, waitms);
  if (r <= 0) return true;
  char buf[4096];
  ssize_t n = read(child.master, buf, sizeof buf);
  if (n > 0) {
    child.out.append(buf, static_cast<size_t>(n));
    return true;
  }
  return !(n == 0 || (n < 0 && errno == EIO));
}
}  // namespace

PtyChild ptystart(const std::vector<std::string> &argv,
                  const PtyOptions &options) {
  PtyChild child;
  termios mode = ttystartmode();
  winsize size = {24, 80, 0, 0};
  // The terminal is made and its mode read before the fork: read after it,
  // the mode could already be the one the program put in.
  int slave = -1;
  if (openpty(&child.master, &slave, nullptr, &mode, &size) != 0) return child;
  child.before = ptymode(child);
  child.pid = fork();
  if (child.pid == 0) {
    close(child.master);
    if (login_tty(slave) != 0) _exit(121);
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
  close(slave);
  return child;
}

bool ptywaitfor(PtyChild &child, const std::string &text, int timeoutms) {
  long end = nowms() + timeoutms;
  while (child.out.find(text) == std::string::npos) {
    long left = end - nowms();
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
  long end = nowms() + timeoutms;
  for (;;) {
    int status;
    pid_t r = waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) {
      while (readsome(child, 20) && child.out.size() < (1u << 24)) {
        pollfd p = {child.master, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
      }
      child.status = status;
      break;
    }
    if (nowms() > end) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      child.status = status;
      break;
    }
    readsome(child, 20);
  }
  child.after = ptymode(child);
  if (child.master >= 0) close(child.master);
  child.master = -1;
  return child.status;
}

termios ptymode(const PtyChild &child) {
  termios mode{};
  tcgetattr(child.master, &mode);
  return mode;
}


std::string maketempdir(const std::string &prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern;
}

std::string readall(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeall(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> tempsleft(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("QUON.INI.", 0) == 0 && name.size() == 15) names.push_back(name);
  }
  return names;
}

int exitstatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
