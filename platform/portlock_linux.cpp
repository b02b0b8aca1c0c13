// The lock a base, in two parts, so that no user who cannot drive a port
// can keep a run that can from it:
//
// - Runs of root lock a file of root's, /run/quon/port-0x378.lock, with an
//   fcntl record lock. Only root can make or open it (the folder is root's
//   and no one else may write in it; the file is root's, mode 0600), so
//   only root can hold it; the kernel names the holder's process (F_GETLK)
//   and drops the lock with the process, even at SIGKILL.
// - Every run also takes a listening socket in the abstract namespace of
//   unix(7), "quon-port-0x378": a run of another user given CAP_SYS_RAWIO
//   cannot open root's file, so the name is how it and root see each other.
//   Any user can bind that name, so root counts its holder only when the
//   holder could drive a port itself (CAP_SYS_RAWIO in its effective set);
//   any other holder is a squatter and is passed over. A run that is not
//   root counts every holder, and once it holds the name it asks the
//   kernel's lock table (/proc/locks) whether a run of root holds the file.
//
// Each side takes its own lock before it looks for the other's, so of two
// runs that start together at least one sees the other. Every refusal
// prints numbers the kernel gave, never bytes another user wrote. Abstract
// names are per network namespace: runs in different containers do not see
// each other's names (root's file is seen wherever /run/quon is shared).
#include "platform/portlock.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *const FOLDER = "/run/quon";
constexpr int CAP_RAWIO_BIT = 17;  // CAP_SYS_RAWIO in /proc/PID/status's CapEff

struct Holder {
  long pid = 0;   // 0: not known
  long uid = -1;
};

socklen_t lockaddress(uint32_t base, sockaddr_un *address, char *name, size_t size) {
  snprintf(name, size, "quon-port-0x%x", base);
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  size_t length = strlen(name);
  memcpy(address->sun_path + 1, name, length);  // sun_path[0] == 0: abstract
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// The holder asked directly: the kernel reports the process that listens.
bool askholder(const sockaddr_un &address, socklen_t length, Holder *holder) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  ucred peer{};
  socklen_t size = sizeof peer;
  bool told = connect(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0 &&
              getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0;
  close(fd);
  if (told) {
    holder->pid = peer.pid;
    holder->uid = static_cast<long>(peer.uid);
  }
  return told;
}

// The inode and owner of the socket bound to name, from the kernel's
// socket table (sock_diag(7)): its answer is structured, so no name that
// another user chose can pass for the lock's. False when none is bound.
bool boundsocket(const char *name, unsigned long *inode, long *uid) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_UNIX;
  ask.request.udiag_states = ~0u;
  ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
  size_t length = strlen(name);
  bool found = false, done = send(fd, &ask, sizeof ask, 0) != static_cast<ssize_t>(sizeof ask);
  alignas(nlmsghdr) char reply[32768];
  while (!done) {
    ssize_t n = recv(fd, reply, sizeof reply, 0);
    if (n <= 0) break;
    int left = static_cast<int>(n);
    for (auto *h = reinterpret_cast<nlmsghdr *>(reply); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) done = true;
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      auto *socketinfo = static_cast<unix_diag_msg *>(NLMSG_DATA(h));
      int attributes = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *socketinfo));
      bool named = false;
      long owner = -1;
      for (auto *a = reinterpret_cast<rtattr *>(socketinfo + 1); RTA_OK(a, attributes);
           a = RTA_NEXT(a, attributes)) {
        const char *data = static_cast<const char *>(RTA_DATA(a));
        if (a->rta_type == UNIX_DIAG_NAME) {
          named = RTA_PAYLOAD(a) == length + 1 && data[0] == '\0' &&
                  memcmp(data + 1, name, length) == 0;
        } else if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
          uint32_t u;
          memcpy(&u, data, sizeof u);
          owner = static_cast<long>(u);
        }
      }
      // A connection not yet taken shares the name but has no inode.
      if (named && socketinfo->udiag_ino != 0 && owner >= 0) {
        *inode = socketinfo->udiag_ino;
        *uid = owner;
        found = true;
      }
    }
  }
  close(fd);
  return found;
}

// The lowest process id with a descriptor of the socket inode; 0 when none
// can be seen (only root sees every process's descriptors).
long socketprocess(unsigned long inode) {
  std::string target = "socket:[" + std::to_string(inode) + "]";
  DIR *processes = opendir("/proc");
  if (processes == nullptr) return 0;
  long lowest = 0;
  while (dirent *p = readdir(processes)) {
    char *end = nullptr;
    long pid = strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || (lowest != 0 && pid >= lowest)) continue;
    std::string fds = std::string("/proc/") + p->d_name + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    while (dirent *f = readdir(dir)) {
      char link[64];
      ssize_t n = readlinkat(dirfd(dir), f->d_name, link, sizeof link - 1);
      if (n <= 0) continue;
      link[n] = '\0';
      if (target == link) {
        lowest = pid;
        break;
      }
    }
    closedir(dir);
  }
  closedir(processes);
  return lowest;
}

// A holder that does not listen (the name bound by hand) or takes no more
// connections: the owner of the bound socket, and the process whose
// descriptor it is where that can be seen.
bool findholder(const char *name, Holder *holder) {
  unsigned long inode = 0;
  if (!boundsocket(name, &inode, &holder->uid)) return false;
  holder->pid = socketprocess(inode);
  return true;
}

// Reads up to size - 1 bytes of a file under /proc, terminated; "" when
// it cannot be read.
void readproc(const char *path, char *text, size_t size) {
  text[0] = '\0';
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  size_t got = 0;
  ssize_t n;
  while (got + 1 < size && (n = read(fd, text + got, size - 1 - got)) > 0) got += static_cast<size_t>(n);
  text[got] = '\0';
  close(fd);
}

// True when process pid may drive a port itself: CAP_SYS_RAWIO is in its
// effective set. A process that cannot be read (gone, hidden) may not.
bool candrive(long pid) {
  char path[48], status[4096];
  snprintf(path, sizeof path, "/proc/%ld/status", pid);
  readproc(path, status, sizeof status);
  const char *line = strstr(status, "\nCapEff:");
  if (line == nullptr) return false;
  char *end = nullptr;
  unsigned long long effective = strtoull(line + 8, &end, 16);
  return end != line + 8 && ((effective >> CAP_RAWIO_BIT) & 1) != 0;
}

// The refusal naming holder (one line, no newline).
void refuse(uint32_t base, const Holder &holder, char *message, size_t size) {
  if (holder.pid == 0 && holder.uid < 0) {
    snprintf(message, size, "Port 0x%x is held by a process that cannot be named; one QUON a port.",
             base);
  } else if (holder.pid == 0) {
    snprintf(message, size, "Port 0x%x is held by a process of user %ld; one QUON a port.", base,
             holder.uid);
  } else if (holder.uid == static_cast<long>(geteuid())) {
    snprintf(message, size, "Port 0x%x is driven by another QUON (process %ld); one QUON a port.",
             base, holder.pid);
  } else {
    snprintf(message, size, "Port 0x%x is held by process %ld of user %ld; one QUON a port.",
             base, holder.pid, holder.uid);
  }
}

// Refused rather than run unguarded: a second QUON must never drive the port.
int unlockable(uint32_t base, const char *why, char *message, size_t size) {
  snprintf(message, size, "Port 0x%x cannot be locked (%s); one QUON a port.", base, why);
  return -1;
}

// The lock folder, opened: a real folder (no link followed) of root's that
// no one else may write in, so nothing in it is anyone else's. Returns its
// descriptor, or -1 with *why set. make: root makes it when it is missing.
int openfolder(bool make, std::string *why) {
  bool made = make && mkdir(FOLDER, 0755) == 0;
  if (make && !made && errno != EEXIST) {
    return *why = std::string(FOLDER) + ": " + strerror(errno), -1;
  }
  int fd = open(FOLDER, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return *why = std::string(FOLDER) + ": " + strerror(errno), -1;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    return *why = std::string(FOLDER) + " is not a folder of root's that only root may write", -1;
  }
  // Whatever the umask, other users' runs must see the files to find
  // root's locks in the kernel's table.
  if (made) (void)fchmod(fd, 0755);
  return fd;
}

void filename(uint32_t base, char *name, size_t size) {
  snprintf(name, size, "port-0x%x.lock", base);
}

// Root's file lock of base, taken. Returns 0; or -1 with the refusal.
int lockfile(uint32_t base, char *message, size_t size) {
  std::string why;
  int folder = openfolder(true, &why);
  if (folder < 0) return unlockable(base, why.c_str(), message, size);
  char name[32];
  filename(base, name, sizeof name);
  int fd = openat(folder, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  int error = errno;
  close(folder);
  std::string path = std::string(FOLDER) + "/" + name;
  if (fd < 0) return unlockable(base, (path + ": " + strerror(error)).c_str(), message, size);
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0) {
    close(fd);
    return unlockable(base, (path + " is not a file of root's").c_str(), message, size);
  }
  // A holder that ends between the two calls leaves the lock free: ask again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == 0) return 0;  // held until the process ends
    if (errno != EACCES && errno != EAGAIN) {
      error = errno;
      close(fd);
      return unlockable(base, (path + ": " + strerror(error)).c_str(), message, size);
    }
    if (fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
      close(fd);
      Holder holder;
      holder.pid = lock.l_pid > 0 ? static_cast<long>(lock.l_pid) : 0;
      holder.uid = 0;  // only root can open the file
      refuse(base, holder, message, size);
      return -1;
    }
  }
  close(fd);
  return unlockable(base, (path + " is taken and freed without end").c_str(), message, size);
}

// For a run that is not root: the process of root's that holds the file
// lock of base, from the kernel's lock table, matched by the file's device
// and inode; 0 when none does. -1 when the table cannot be read.
long filelockholder(uint32_t base) {
  std::string why;
  int folder = openfolder(false, &why);
  if (folder < 0) return 0;  // no folder root could trust: no lock of root's
  char name[32];
  filename(base, name, sizeof name);
  struct stat st{};
  bool present = fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                 st.st_uid == 0;
  close(folder);
  if (!present) return 0;
  FILE *table = fopen("/proc/locks", "re");
  if (table == nullptr) return -1;
  char line[256], want[64];
  snprintf(want, sizeof want, "%02x:%02x:%" PRIuMAX " ", major(st.st_dev), minor(st.st_dev),
           static_cast<uintmax_t>(st.st_ino));
  long holder = 0;
  while (holder == 0 && fgets(line, sizeof line, table) != nullptr) {
    // "1: POSIX  ADVISORY  WRITE 4242 00:1a:1234 0 EOF"; "1: -> ..." waits.
    long pid = 0;
    char kind[16] = "", where[64] = "";
    // The kernel writes the table: every field is counted, the id checked.
    if (strstr(line, "->") != nullptr ||
        sscanf(line, "%*d: %15s %*s %*s %ld %63s", kind, &pid, where) != 3) {  // NOLINT(cert-err34-c)
      continue;
    }
    std::string found = std::string(where) + " ";
    if (strcmp(kind, "POSIX") == 0 && pid > 0 && found == want) holder = pid;
  }
  fclose(table);
  return holder;
}

}  // namespace

int portlock(uint32_t base, char *message, size_t size) {
  bool root = geteuid() == 0;
  if (root && lockfile(base, message, size) != 0) return -1;
  char name[32];
  sockaddr_un address;
  socklen_t length = lockaddress(base, &address, name, sizeof name);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
    // Listening lets a second run ask who holds the port (each asking run
    // leaves a connection queued until this run ends; past the backlog it
    // is named from the socket table instead). The lock is the name alone,
    // held whether or not anyone can ask.
    (void)listen(fd, SOMAXCONN);
    if (root) return 0;  // fd stays open, and the port held, until the process ends
    long holder = filelockholder(base);
    if (holder == 0) return 0;
    close(fd);
    if (holder < 0) return unlockable(base, "/proc/locks cannot be read", message, size);
    Holder h;
    h.pid = holder;
    h.uid = 0;  // only root can open the file
    refuse(base, h, message, size);
    return -1;
  }
  int error = errno;
  if (fd >= 0) close(fd);
  // Root holds the port by its file; the name only tells runs of other
  // users, so root goes on without it when it cannot be had.
  if (error != EADDRINUSE) return root ? 0 : unlockable(base, strerror(error), message, size);
  Holder holder;
  bool named = askholder(address, length, &holder) || findholder(name, &holder);
  if (root && (holder.pid == 0 || holder.pid == getpid() || !candrive(holder.pid))) {
    return 0;  // a squatter, or this run itself: no QUON of another user
  }
  if (!named) holder = Holder{};
  refuse(base, holder, message, size);
  return -1;
}
