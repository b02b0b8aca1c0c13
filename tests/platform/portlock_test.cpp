// The lock a base, attacked as another local user would attack it: each
// case runs in a child with a mount and a network namespace of its own (a
// private /run/lock, a socket namespace no other run shares), where names
// are planted and a first holder, often a second uid, holds on before a
// QUON asks for the port. Only a holder keeps the QUON off, it is named by
// the kernel's numbers, and nothing planted is written through.
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

const char *const OLDNAME = "/run/lock/quon-port-0x378.lock";  // the lock file of old
const char *const VICTIM = "/run/lock/victim";
const char *const PRECIOUS = "\x1b]0;owned\x07 4242\n";  // bytes no refusal may print

struct Case {
  const char *name;
  const char *plant;  // shell commands run as root in /run/lock first
  char how;           // the first holder: 'q' a QUON, 'b' binds the lock's name
                      // and never listens, 'f' locks a file at the old name
  uid_t holder;
  std::string outcome;  // "held", or the refusal with the holder's id as N
  const char *kept;     // a file that must keep PRECIOUS
  uid_t asker = 0;      // who asks for the port
};

// What fd gives until its end or until want bytes came, within a generous bound.
std::string readbounded(int fd, size_t want = SIZE_MAX) {
  std::string text;
  char chunk[512];
  pollfd p = {fd, POLLIN, 0};
  while (text.size() < want && poll(&p, 1, 20000) == 1) {
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - text.size()));
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

// The first holder, in a process of its own; its id once it holds.
pid_t hold(const Case &c) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    uid_t u = c.holder;
    if (setresgid(u, u, u) != 0 || setresuid(u, u, u) != 0) _exit(1);
    char message[256];
    sockaddr_un lock{};
    lock.sun_family = AF_UNIX;
    memcpy(lock.sun_path + 1, "quon-port-0x378", 15);
    int fd = c.how == 'f' ? open(OLDNAME, O_RDWR | O_CREAT | O_EXCL, 0644)
                          : socket(AF_UNIX, SOCK_STREAM, 0);
    bool held = c.how == 'q' ? portlock(0x378, message, sizeof message) == 0
              : c.how == 'b' ? bind(fd, reinterpret_cast<sockaddr *>(&lock),
                                    offsetof(sockaddr_un, sun_path) + 16) == 0
                             : write(fd, PRECIOUS, strlen(PRECIOUS)) > 0 && flock(fd, LOCK_EX) == 0;
    if (!held || write(ready[1], "r", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  bool held = readbounded(ready[0], 1) == "r";
  close(ready[0]);
  return held ? pid : -1;
}

std::string scenario(const Case &c) {
  (void)mkdir("/run/lock", 0755);
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777") != 0 || chdir("/run/lock") != 0) {
    return std::string("cannot make private namespaces: ") + strerror(errno);
  }
  writeall(VICTIM, PRECIOUS);
  pid_t first = system(c.plant) == 0 ? hold(c) : -1;
  if (first < 0) return "the plant or the first holder failed";
  char message[256] = "";
  // The asker keeps root as its saved id, to end the holder afterwards.
  bool asking = setresuid(c.asker, c.asker, 0) == 0;
  std::string outcome = !asking ? "cannot become the asker"
                        : portlock(0x378, message, sizeof message) == 0 ? "held" : message;
  (void)setresuid(0, 0, 0);
  kill(first, SIGKILL);
  std::string pid = "process " + std::to_string(first);
  if (outcome.find(pid) != std::string::npos) outcome.replace(outcome.find(pid), pid.size(), "process N");
  return outcome + "\n" + readall(c.kept);
}

TEST(PortLockTest, OnlyAHolderKeepsAQuonOffAndItIsNamedByNumbers) {
  if (geteuid() != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "a second uid and private namespaces need root";
    GTEST_SKIP() << "a second uid and private namespaces need root";
  }
  const std::string SAMEUSER = "Port 0x378 is driven by another QUON (process N); one QUON a port.";
  const std::string OTHERUSER = "Port 0x378 is held by process N of user 65534; one QUON a port.";
  const Case cases[] = {
      {"a QUON of the same user", "true", 'q', 0, SAMEUSER, VICTIM},
      {"a QUON of another user", "true", 'q', 65534, OTHERUSER, VICTIM},
      {"another user binds the lock's name", "true", 'b', 65534, OTHERUSER, VICTIM},
      {"the same, asked by a third user", "true", 'b', 65534,
       "Port 0x378 is held by a process of user 65534; one QUON a port.", VICTIM, 65533},
      {"another user's locked file at the old name", "true", 'f', 65534, "held", OLDNAME},
      {"a symbolic link at the old name", "ln -s victim quon-port-0x378.lock", 'q', 0, SAMEUSER,
       VICTIM},
      {"a folder at the old name", "mkdir quon-port-0x378.lock", 'q', 0, SAMEUSER, VICTIM},
      {"a FIFO at the old name", "mkfifo quon-port-0x378.lock", 'q', 0, SAMEUSER, VICTIM},
      {"a hard link to root's file at the old name", "ln victim quon-port-0x378.lock", 'q', 0,
       SAMEUSER, VICTIM},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      alarm(60);
      std::string said = scenario(c);
      _exit(write(out[1], said.data(), said.size()) < 0);
    }
    close(out[1]);
    std::string said = readbounded(out[0]);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    if (said.rfind("cannot make", 0) == 0 && getenv("QUON_CI") == nullptr) GTEST_SKIP() << said;
    EXPECT_EQ(said, c.outcome + "\n" + PRECIOUS);
  }
}

}  // namespace
