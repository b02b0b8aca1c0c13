// The lock a base, attacked as another local user would attack it: each
// case runs in a child with a mount and a network namespace of its own (a
// private /run, a socket namespace no other run shares), where names are
// planted and a first holder, often a second uid, holds on before a QUON
// asks for the port. Only a holder that could drive the port keeps a run
// of root off, a run without root counts every holder and sees root's
// file, the holder is named by the kernel's numbers, and nothing planted
// is written through.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

struct Who {
  uid_t uid;
  bool rawio;  // holds CAP_SYS_RAWIO, as a quon given the capability does
};
const Who ROOT = {0, true}, NOBODY = {65534, false}, NOBODYRAW = {65534, true},
          THIRD = {65533, false}, THIRDRAW = {65533, true};

struct Case {
  const char *name;
  const char *plant;  // shell commands run as root in /run first
  char how;           // the first holder: 'q' a QUON, 'b' binds the lock's name
                      // and never listens, 'f' locks a file at the old name,
                      // 'n' none
  Who holder;
  std::string outcome;  // "held", or the refusal with the holder's id as N
  const char *kept;     // a file that must keep PRECIOUS
  Who asker = ROOT;     // who asks for the port
  bool squat = false;   // a user without the capability binds the name
                        // before the holder, and leaves before the asking
};

// Makes CAP_SYS_RAWIO alone effective (of those permitted), as in a quon
// given the capability whose ids are not root's.
bool keeprawio(void) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective = 1u << CAP_SYS_RAWIO;
  data[1].effective = 0;
  return syscall(SYS_capset, &header, data) == 0;
}

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

// A first holder, in a process of its own; its id once it holds.
pid_t hold(char how, Who who) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    uid_t u = who.uid;
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setresgid(u, u, u) != 0 || setresuid(u, u, u) != 0 ||
        (u != 0 && who.rawio && !keeprawio())) {
      _exit(1);
    }
    char message[256];
    sockaddr_un lock{};
    lock.sun_family = AF_UNIX;
    memcpy(lock.sun_path + 1, "quon-port-0x378", 15);
    int fd = how == 'f' ? open(OLDNAME, O_RDWR | O_CREAT | O_EXCL, 0644)
                        : socket(AF_UNIX, SOCK_STREAM, 0);
    bool held = how == 'q' ? portlock(0x378, message, sizeof message) == 0
              : how == 'b' ? bind(fd, reinterpret_cast<sockaddr *>(&lock),
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

void end(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string scenario(const Case &c) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || mkdir("/run/lock", 01777) != 0 ||
      chmod("/run/lock", 01777) != 0 || chdir("/run") != 0) {
    return std::string("cannot make private namespaces: ") + strerror(errno);
  }
  writeall(VICTIM, PRECIOUS);
  pid_t squatter = c.squat ? hold('b', NOBODY) : 0;
  pid_t first = system(c.plant) != 0 || squatter < 0 ? -1 : c.how == 'n' ? 0 : hold(c.how, c.holder);
  if (first < 0) return "the plant or a holder failed";
  end(squatter);
  char message[256] = "";
  // The asker keeps root as its saved id, to end the holder afterwards.
  bool asking = setresuid(c.asker.uid, c.asker.uid, 0) == 0 &&
                (c.asker.uid == 0 || !c.asker.rawio || keeprawio());
  std::string outcome = !asking ? "cannot become the asker"
                        : portlock(0x378, message, sizeof message) == 0 ? "held" : message;
  (void)setresuid(0, 0, 0);
  end(first);
  std::string pid = "process " + std::to_string(first);
  if (outcome.find(pid) != std::string::npos) outcome.replace(outcome.find(pid), pid.size(), "process N");
  return outcome + "\n" + readall(c.kept);
}

TEST(PortLockTest, OnlyAHolderThatCouldDriveThePortKeepsAQuonOffNamedByNumbers) {
  if (geteuid() != 0) {
    if (getenv("QUON_CI") != nullptr) FAIL() << "a second uid and private namespaces need root";
    GTEST_SKIP() << "a second uid and private namespaces need root";
  }
  const std::string SAMEUSER = "Port 0x378 is driven by another QUON (process N); one QUON a port.";
  const std::string OTHERUSER = "Port 0x378 is held by process N of user 65534; one QUON a port.";
  const std::string ROOTS = "Port 0x378 is held by process N of user 0; one QUON a port.";
  auto unlockable = [](const std::string &why) {
    return "Port 0x378 cannot be locked (" + why + "); one QUON a port.";
  };
  const Case cases[] = {
      {"a QUON of the same user", "true", 'q', ROOT, SAMEUSER, VICTIM},
      {"a QUON of another user given the capability", "true", 'q', NOBODYRAW, OTHERUSER, VICTIM},
      {"another user binds the lock's name", "true", 'b', NOBODY, "held", VICTIM},
      {"another user without the capability runs a QUON", "true", 'q', NOBODY, "held", VICTIM},
      {"the same, asked by a third user", "true", 'b', NOBODY,
       "Port 0x378 is held by a process of user 65534; one QUON a port.", VICTIM, THIRD},
      {"a QUON of root, asked by a user given the capability", "true", 'q', ROOT, ROOTS, VICTIM,
       THIRDRAW},
      {"root's QUON past a squatter, asked once the squatter left", "true", 'q', ROOT, ROOTS,
       VICTIM, THIRDRAW, true},
      {"a lock folder that others may write", "mkdir -m 0777 quon", 'n', ROOT,
       unlockable("/run/quon is not a folder of root's that only root may write"), VICTIM},
      {"a lock folder of another user", "mkdir quon && chown 65534 quon", 'n', ROOT,
       unlockable("/run/quon is not a folder of root's that only root may write"), VICTIM},
      {"a link at the lock folder's name", "mkdir lock/dir && ln -s lock/dir quon", 'n', ROOT,
       unlockable("/run/quon: Not a directory"), VICTIM},
      {"a link at the lock file's name", "mkdir quon && ln -s ../lock/victim quon/port-0x378.lock",
       'n', ROOT, unlockable("/run/quon/port-0x378.lock: Too many levels of symbolic links"),
       VICTIM},
      {"a lock file of another user", "mkdir quon && touch quon/port-0x378.lock && "
       "chown 65534 quon/port-0x378.lock", 'n', ROOT,
       unlockable("/run/quon/port-0x378.lock is not a file of root's"), VICTIM},
      {"a FIFO at the lock file's name", "mkdir quon && mkfifo quon/port-0x378.lock", 'n', ROOT,
       unlockable("/run/quon/port-0x378.lock is not a file of root's"), VICTIM},
      {"another user's locked file at the old name", "true", 'f', NOBODY, "held", OLDNAME},
      {"a symbolic link at the old name", "ln -s victim lock/quon-port-0x378.lock", 'q', ROOT,
       SAMEUSER, VICTIM},
      {"a folder at the old name", "mkdir lock/quon-port-0x378.lock", 'q', ROOT, SAMEUSER, VICTIM},
      {"a FIFO at the old name", "mkfifo lock/quon-port-0x378.lock", 'q', ROOT, SAMEUSER, VICTIM},
      {"a hard link to root's file at the old name", "ln lock/victim lock/quon-port-0x378.lock",
       'q', ROOT, SAMEUSER, VICTIM},
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
