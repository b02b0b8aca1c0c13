// The lock a base: a listening socket in the abstract namespace of
// unix(7), named "quon-port-0x378" after the base. No file names it, so
// nothing can be planted in its place (no link, folder, FIFO or file of
// someone else's) and taking it writes nowhere; it cannot outlive its
// process, not even a SIGKILL; and the kernel tells a refused run who holds
// it (SO_PEERCRED), so the refusal prints numbers the kernel gave, never
// bytes that another user wrote. Abstract names are per network namespace:
// runs in different containers do not see each other's locks.
#include "platform/portlock.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

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

}  // namespace

int portlock(uint32_t base, char *message, size_t size) {
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
    return 0;  // fd stays open, and the port held, until the process ends
  }
  int error = errno;
  if (fd >= 0) close(fd);
  if (error != EADDRINUSE) {
    // Refused rather than run unguarded: a second QUON must never drive the port.
    snprintf(message, size, "Port 0x%x cannot be locked (%s); one QUON a port.", base,
             strerror(error));
    return -1;
  }
  Holder holder;
  if (!askholder(address, length, &holder) && !findholder(name, &holder)) {
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
  return -1;
}
