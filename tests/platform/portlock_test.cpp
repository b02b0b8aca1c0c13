// The lock a base, attacked as another local user would attack it: each
// case runs in a child with a mount and a network namespace of its own (a
// private /run/lock, and a socket namespace no other run shares), where a
// second uid plants names and holds locks before root's QUON asks for the
// port. Only a holder of the lock keeps root off, it is named by process id
// (and user, when it is not root's), and no planted name is written through.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/portlock.h"
#include "tests/support/files.h"

namespace {

constexpr uint32_t BASE = 0x378;
constexpr uid_t OTHER = 65534;
const char *const LOCKFILE = "/run/lock/quon-port-0x378.lock";  // the old lock's name
const char *const VICTIM = "/run/lock/victim";
const char *const PRECIOUS = "\x1b]0;owned\x07 4242\n";  // bytes no refusal may print

enum Plant { NOPLANT, SYMLINK, FOLDER, FIFO, HARDLINK };
// The first holder: a QUON of root or of the other user, or the other user
// with the lock's name bound by hand, or with a locked file at the old name.
enum Holder { ROOTQUON, OTHERQUON, OTHERBIND, OTHERFILE };

// What fd gives until its end, or until want bytes came, within a generous
// bound.
std::string readbounded(int fd, size_t want = SIZE_MAX) {
  std::string text;
  char chunk[512];
  while (text.size() < want) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return text;
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - text.size()));
    if (n <= 0) return text;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

void plant(Plant what) {
  writeall(VICTIM, PRECIOUS);
  if (what == SYMLINK) (void)symlink(VICTIM, LOCKFILE);
  if (what == FOLDER) (void)mkdir(LOCKFILE, 0777);
  if (what == FIFO) (void)mkfifo(LOCKFILE, 0666);
  if (what == HARDLINK) (void)link(VICTIM, LOCKFILE);
}

// Starts the first holder; returns its process id once it holds.
pid_t hold(Holder who) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    if (who != ROOTQUON && (setresgid(OTHER, OTHER, OTHER) != 0 || setresuid(OTHER, OTHER, OTHER) != 0)) {
      _exit(1);
    }
    char message[256];
    if (who == OTHERFILE) {
      int fd = open(LOCKFILE, O_RDWR | O_CREAT | O_EXCL, 0644);
      if (fd < 0 || write(fd, PRECIOUS, strlen(PRECIOUS)) < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    }
    if (who == ROOTQUON || who == OTHERQUON) {
      if (portlock(BASE, message, sizeof message) != 0) _exit(1);
    } else if (who == OTHERBIND) {
      // The lock's name bound by hand, never listened on: it cannot be asked.
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      const char name[] = "quon-port-0x378";
      memcpy(addr.sun_path + 1, name, sizeof name - 1);
      int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name);
      if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) _exit(1);
    }
    (void)write(ready[1], "r", 1);
    for (;;) pause();
  }
  close(ready[1]);
  bool held = readbounded(ready[0], 1) == "r";
  close(ready[0]);
  return held ? pid : -1;
}

// One case in its own namespaces: "held" or the refusal (the holder's
// process id as N), then a line with the victim's bytes. asker: the user
// whose run asks for the port (root keeps its saved id, to clean up).
std::string scenario(Plant planted, Holder who, uid_t asker) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return std::string("cannot unshare: ") + strerror(errno);
  (void)mkdir("/run/lock", 0755);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777") != 0) {
    return std::string("cannot mount a private /run/lock: ") + strerror(errno);
  }
  plant(planted);
  pid_t first = hold(who);
  if (first < 0) return "the first holder did not start";
  char message[256] = "";
  if (asker != 0 && setresuid(asker, asker, 0) != 0) return "cannot become the asker";
  std::string outcome = portlock(BASE, message, sizeof message) == 0 ? "held" : message;
  if (setresuid(0, 0, 0) != 0) return "cannot become root again";
  std::string pid = "process " + std::to_string(first);
  size_t at = outcome.find(pid);
  if (at != std::string::npos) outcome.replace(at, pid.size(), "process N");
  kill(first, SIGKILL);
  return outcome + "\n" + readall(who == OTHERFILE ? LOCKFILE : VICTIM);
}

std::string inchild(Plant planted, Holder who, uid_t asker) {
  int out[2];
  if (pipe(out) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    alarm(60);
    std::string said = scenario(planted, who, asker);
    (void)write(out[1], said.data(), said.size());
    _exit(0);
  }
  close(out[1]);
  std::string said = readbounded(out[0]);
  close(out[0]);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return said;
}

TEST(PortLockTest, OnlyAHolderKeepsRootOffAndItIsNamedByNumbers) {
  if (geteuid() != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "these cases need root (a second uid, namespaces)";
    GTEST_SKIP() << "a second uid and private namespaces need root";
  }
  const std::string SAMEUSER = "Port 0x378 is driven by another QUON (process N); one QUON a port.";
  const std::string OTHERUSER = "Port 0x378 is held by process N of user 65534; one QUON a port.";
  struct Case {
    const char *name;
    Plant planted;
    Holder first;
    std::string outcome;
    uid_t asker = 0;
  } cases[] = {
      {"a QUON of the same user", NOPLANT, ROOTQUON, SAMEUSER},
      {"a QUON of another user", NOPLANT, OTHERQUON, OTHERUSER},
      {"another user binds the lock and never answers", NOPLANT, OTHERBIND, OTHERUSER},
      {"the same, asked by a user who cannot see his processes", NOPLANT, OTHERBIND,
       "Port 0x378 is held by a process of user 65534; one QUON a port.", 65533},
      {"another user's locked file at the old name", NOPLANT, OTHERFILE, "held"},
      {"a symbolic link at the old name", SYMLINK, ROOTQUON, SAMEUSER},
      {"a folder at the old name", FOLDER, ROOTQUON, SAMEUSER},
      {"a FIFO at the old name", FIFO, ROOTQUON, SAMEUSER},
      {"a hard link to root's file at the old name", HARDLINK, ROOTQUON, SAMEUSER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string said = inchild(c.planted, c.first, c.asker);
    if (said.rfind("cannot ", 0) == 0) {
      if (getenv("QUON_CI") != nullptr) FAIL() << said;
      GTEST_SKIP() << said;
    }
    EXPECT_EQ(said, c.outcome + "\n" + PRECIOUS);
  }
}

}  // namespace
