#include "platform/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace {
int fd = -1;
sockaddr_un address;
socklen_t addresslength = 0;
}  // namespace

int notifyopen(const char *name) {
  notifyclose();
  size_t n = strlen(name);
  if (n < 2 || n >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) return -1;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, name, n);
  if (name[0] == '@') address.sun_path[0] = '\0';  // an abstract name
  addresslength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  return fd >= 0 ? 0 : -1;
}

void notifysend(const char *text) {
  if (fd < 0) return;
  (void)sendto(fd, text, strlen(text), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr *>(&address), addresslength);
}

void notifyclose(void) {
  if (fd >= 0) close(fd);
  fd = -1;
}
