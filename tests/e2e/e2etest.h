// The fixture of the end-to-end tests: the built quon-sim under a
// pseudo-terminal, in a fresh folder of the test's own that holds the test
// connector's calibration, with standard error kept in err.txt there.
#ifndef QUON_TESTS_E2E_E2ETEST_H
#define QUON_TESTS_E2E_E2ETEST_H

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "publish/region.h"
#include "tests/support/ptyrun.h"

constexpr int WAITMS = PTYWAITMS;
const char *const CALIBRATED = "04\n0083\n";  // the test connector's values
const char *const NOTICE = "Unable to open QUON.INI. Running calibration!\n";

// A small file system of its own on a folder, for writes that must fail
// for want of space; mounting needs root. Taken away again at the end.
struct SmallDisk {
  std::string folder;
  bool mounted = false;
  // size ("8k"), files: how many names it takes (its root counts as one).
  bool mount(const std::string &where, const char *size, int files) {
    unmount();
    folder = where;
    mkdir(folder.c_str(), 0755);
    std::string data = std::string("size=") + size + ",nr_inodes=" + std::to_string(files);
    mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, data.c_str()) == 0;
    return mounted;
  }
  void unmount(void) {
    if (mounted) umount2(folder.c_str(), MNT_DETACH);
    mounted = false;
  }
  ~SmallDisk() { unmount(); }
};

// Reads the terminal for a while without expecting anything.
inline void drain(PtyChild &child, int ms) { ptywaitfor(child, "\x01\x02\x03", ms); }

// Waits until the program has put the terminal in key mode, so that a check
// of the mode at the end means something.
inline bool waitkeymode(PtyChild &child, int timeoutms) {
  for (int waited = 0; waited < timeoutms; waited += 20) {
    if (!samemode(child.before, ptymode(child))) return true;
    drain(child, 20);
  }
  return false;
}

// Waits until holds() is true, looking every 20 ms, for at most ms.
inline bool waituntil(int ms, const std::function<bool(void)> &holds) {
  for (int waited = 0; waited <= ms; waited += 20) {
    if (holds()) return true;
    usleep(20000);
  }
  return false;
}

// Waits until a file holds text (a run without a terminal).
inline bool waitsays(const std::string &path, const std::string &text, int ms = WAITMS) {
  return waituntil(ms, [&] { return readall(path).find(text) != std::string::npos; });
}

// The region a run of process pid and user uid publishes.
inline std::string regionof(int pid, unsigned uid = geteuid()) { return regionpath(uid, pid); }

// Waits until a file holds text, reading the terminal meanwhile.
inline bool waitfile(PtyChild &child, const std::string &path, const std::string &text,
              int timeoutms) {
  for (int waited = 0; waited < timeoutms; waited += 20) {
    if (readall(path).find(text) != std::string::npos) return true;
    drain(child, 20);
  }
  return false;
}

// What a run of quon-sim without a terminal left: its status, standard
// output and standard error.
struct PlainRun {
  int status;  // exit status; -1 when it did not exit
  std::string out, err;
};

// What a plain run starts beyond its arguments: the program (quon-sim
// unless said) and variables set in its environment.
struct PlainStart {
  const char *program = QUON_SIM_PATH;
  std::vector<std::pair<std::string, std::string>> vars;
};

// quon-sim with args in folder, without a terminal: a session of its own,
// standard input from /dev/null, as a service manager or CI starts it; as
// the user uid (and its group) when uid >= 0. Standard output and error go
// to plain-out.txt and plain-err.txt there. Returns the process id.
inline pid_t startplain(const std::string &folder, const std::vector<std::string> &args,
                        int uid = -1, const PlainStart &start = PlainStart{}) {
  std::string out = folder + "/plain-out.txt", err = folder + "/plain-err.txt";
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (uid >= 0 && (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) {
      _exit(126);
    }
    for (const auto &v : start.vars) setenv(v.first.c_str(), v.second.c_str(), 1);
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || o < 0 || e < 0 || chdir(folder.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char *> argv = {const_cast<char *>(start.program)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(start.program, argv.data());
    _exit(127);
  }
  return pid;
}

// startplain, waited for.
inline PlainRun runplain(const std::string &folder, const std::vector<std::string> &args,
                         int uid = -1, const PlainStart &start = PlainStart{}) {
  std::string out = folder + "/plain-out.txt", err = folder + "/plain-err.txt";
  pid_t pid = startplain(folder, args, uid, start);
  int status = 0;
  waitpid(pid, &status, 0);
  PlainRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readall(out), readall(err)};
  unlink(out.c_str());
  unlink(err.c_str());
  return r;
}

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = maketempdir("quone2e");
    ASSERT_FALSE(dir.empty());
    options.dir = dir;
    options.stderrfile = path("err.txt");
    writeall(path("QUON.INI"), CALIBRATED);
  }
  void TearDown() override {
    chmod(dir.c_str(), 0755);  // a case may have made the folder read-only
    std::error_code error;
    std::filesystem::remove_all(dir, error);
  }

  std::string path(const std::string &name) const { return dir + "/" + name; }

  // Writes script as t.qun and starts quon-sim on it, flags first.
  PtyChild start(const std::string &script, const std::vector<std::string> &flags = {}) {
    writeall(path("t.qun"), script);
    std::vector<std::string> argv = {QUON_SIM_PATH};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back("t");
    return ptystart(argv, options);
  }

  // Answers the calibration's first prompt with Enter and its last with
  // last (Enter goes on to the script, ESC quits); false when a prompt did
  // not come.
  static bool passprompts(PtyChild &child, const std::string &last) {
    if (!ptywaitfor(child, "<enter> to continue", WAITMS) || !inkeymode(child)) return false;
    ptysend(child, "\r");
    if (!ptywaitfor(child, "<ESC> to quit", WAITMS) || !inkeymode(child)) return false;
    ptysend(child, last);
    return true;
  }

  // Waits until the prompt reads its key (the terminal in key mode): a key
  // typed before that would be read in line mode.
  static bool inkeymode(PtyChild &child) {
    for (int waited = 0; waited < WAITMS; waited += 20) {
      if (!samemode(child.before, ptymode(child))) return true;
      ptywaitfor(child, "\x01", 20);
    }
    return false;
  }

  // Folder without a calibration file: the next start calibrates.
  void uncalibrate(void) { std::filesystem::remove(path("QUON.INI")); }

  std::string dir;
  PtyOptions options;
};

#endif
