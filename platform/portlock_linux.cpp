// The lock a base: one lock file a base under /run/lock.
#include "platform/portlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// One lock file a base, held with flock for the whole run: it dies with
// its process, so no lock outlives a SIGKILL. Returns 0, or -1 with
// message set.
int portlock(uint32_t base, char *message, size_t size) {
  struct stat st;
  const char *folder = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/tmp";
  char path[64];
  snprintf(path, sizeof path, "%s/quon-port-0x%x.lock", folder, base);
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return 0;  // no lock can be had: the run goes on unguarded
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = "";
    ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
    pid[n > 0 ? n : 0] = '\0';
    pid[strcspn(pid, "\n")] = '\0';
    snprintf(message, size,
             "Port 0x%x is driven by another QUON (process %s); one QUON a port.", base, pid);
    close(fd);
    return -1;
  }
  char pid[32];
  int len = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) == 0 && pwrite(fd, pid, static_cast<size_t>(len), 0) != len) {
    // The lock holds all the same; only the message of a second run lacks the id.
  }
  return 0;  // fd stays open, and the lock held, until the program ends
}

