#include "platform/sharedmem.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <ctime>

namespace {
long regiongroup = -1;  // the group new regions are given; -1 none

// The calling process is in group gid (its own or a supplementary one).
bool ingroup(gid_t gid) {
  if (getegid() == gid) return true;
  int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  n = getgroups(n, groups.data());
  for (int i = 0; i < n; ++i) {
    if (groups[static_cast<size_t>(i)] == gid) return true;
  }
  return false;
}

// A file made for a group: read and write for it, nothing for others, no
// set-id bits.
bool groupmode(mode_t mode) { return (mode & 07777) == 0660; }
}  // namespace

void sharedgroup(long gid) { regiongroup = gid; }

long sharedgroupnamed(const char *text) {
  if (text == nullptr || *text == '\0') return -1;
  if (strspn(text, "0123456789") == strlen(text)) {
    if (strlen(text) > 9) return -1;
    return strtol(text, nullptr, 10);
  }
  group g;
  group *found = nullptr;
  std::vector<char> buffer(16384);
  if (getgrnam_r(text, &g, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return -1;
  return static_cast<long>(found->gr_gid);
}

bool sharedforus(const char *path, unsigned *uid) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid == geteuid()) return false;
  if (!groupmode(st.st_mode) || !ingroup(st.st_gid)) return false;
  *uid = st.st_uid;
  return true;
}

void *sharedcreate(const char *path, size_t size) {
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  void *region = MAP_FAILED;
  int error = 0;
  // The group is given on the descriptor, before the region holds anything.
  if (regiongroup >= 0 && (fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(regiongroup)) != 0 ||
                           fchmod(fd, 0660) != 0)) {
    error = errno;
  }
  // ftruncate would leave the file sparse: the first store to a page that
  // a full folder cannot back would end the program with SIGBUS.
  if (error == 0) error = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (error == 0) {
    region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (region == MAP_FAILED) error = errno;
  }
  close(fd);
  if (region == MAP_FAILED) {
    unlink(path);
    errno = error;
    return nullptr;
  }
  return region;
}

namespace {
// The letters of a name's suffix, and how many it has.
const char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t SUFFIX = 6;

// The process id in name after prefix, with nothing or "-" and a suffix of
// SUFFIX letters after it; 0 when name is no such name.
long sweptpid(const char *name, const char *prefix) {
  size_t skip = strlen(prefix);
  if (strncmp(name, prefix, skip) != 0) return 0;
  const char *at = name + skip;
  if (*at < '1' || *at > '9') return 0;
  long pid = 0;
  int digits = 0;
  for (; *at >= '0' && *at <= '9'; ++at) {
    if (++digits > 10) return 0;
    pid = pid * 10 + (*at - '0');
  }
  if (pid > 0x7FFFFFFF) return 0;
  if (*at == '\0') return pid;
  if (*at != '-' || strlen(at + 1) != SUFFIX) return 0;
  for (const char *c = at + 1; *c != '\0'; ++c) {
    if (strchr(LETTERS, *c) == nullptr) return 0;
  }
  return pid;
}
}  // namespace

int sharedsweep(const char *prefix) {
  DIR *dir = opendir(SHARED_FOLDER);
  if (dir == nullptr) return 0;
  int removed = 0;
  while (dirent *entry = readdir(dir)) {
    long pid = sweptpid(entry->d_name, prefix);
    if (pid == 0) continue;
    std::string path = std::string(SHARED_FOLDER) + "/" + entry->d_name;
    // A process that may not be signalled is alive (another user's that
    // took a dead run's id): only ESRCH says that none has the id.
    if (!sharedmine(path.c_str()) || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
      continue;
    }
    if (unlink(path.c_str()) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

void *sharedcreatefree(const char *base, size_t size, char *name, size_t namesize) {
  snprintf(name, namesize, "%s", base);
  void *region = sharedcreate(name, size);
  for (int tries = 0; region == nullptr && errno == EEXIST && tries < SHARED_TRIES; ++tries) {
    // Letters no one can guess ahead, so no one can plant them first.
    unsigned char noise[SUFFIX];
    if (getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
      struct timespec now {};
      clock_gettime(CLOCK_MONOTONIC, &now);
      for (size_t i = 0; i < sizeof noise; ++i) noise[i] = static_cast<unsigned char>(now.tv_nsec >> (4 * i));
    }
    char suffix[sizeof noise + 1];
    for (size_t i = 0; i < sizeof noise; ++i) suffix[i] = LETTERS[noise[i] % (sizeof LETTERS - 1)];
    suffix[sizeof noise] = '\0';
    snprintf(name, namesize, "%s-%s", base, suffix);
    region = sharedcreate(name, size);
  }
  return region;
}

bool sharedmine(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

void *sharedattach(const char *path, size_t *size, int *fd) {
  // O_NONBLOCK: a FIFO or device planted under the name is never waited on.
  int file = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return nullptr;
  struct stat st;
  void *region = MAP_FAILED;
  int error = 0;
  if (fstat(file, &st) != 0) {
    error = errno;
  } else if ((st.st_uid != geteuid() && !(groupmode(st.st_mode) && st.st_nlink == 1 && ingroup(st.st_gid))) ||
             !S_ISREG(st.st_mode) || st.st_size <= 0) {
    error = EPERM;
  } else {
    *size = static_cast<size_t>(st.st_size);
    region = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (region == MAP_FAILED) error = errno;
  }
  if (region == MAP_FAILED) {
    close(file);
    errno = error;
    return nullptr;
  }
  *fd = file;
  return region;
}

size_t sharedsize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
}

void shareddetach(void *region, size_t size, int fd) {
  munmap(region, size);
  if (fd >= 0) close(fd);
}

void sharedremove(const char *path) { unlink(path); }

namespace {

sigjmp_buf cutshort;
volatile sig_atomic_t guarding = 0;

// A SIGBUS outside a guarded access is a fault like any other: the
// default action ends the program.
void onbus(int sig) {
  if (guarding) siglongjmp(cutshort, 1);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

bool sharedguarded(void (*access)(void *arg), void *arg) {
  static bool installed = false;
  if (!installed) {
    struct sigaction act {};
    act.sa_handler = onbus;
    sigemptyset(&act.sa_mask);
    if (sigaction(SIGBUS, &act, nullptr) == 0) installed = true;
  }
  if (sigsetjmp(cutshort, 1) != 0) {
    guarding = 0;
    return false;
  }
  guarding = 1;
  access(arg);
  guarding = 0;
  return true;
}
