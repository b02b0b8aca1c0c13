#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "text/casefold.h"

int findcasename(const char *name, char *out, size_t size,
                 std::vector<std::string> *matches) {
  const char *slash = strrchr(name, '/');
  std::string folder = slash == nullptr ? "." : std::string(name, slash - name + 1);
  const char *leaf = slash == nullptr ? name : slash + 1;
  if (matches != nullptr) matches->clear();
  if (*leaf == '\0') return -1;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  std::vector<std::string> found;
  while (dirent *entry = readdir(dir)) {
    if (samefolded(entry->d_name, leaf)) found.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (found.empty()) return -1;
  std::sort(found.begin(), found.end(),
            [](const std::string &a, const std::string &b) {
              return strcmp(a.c_str(), b.c_str()) < 0;
            });
  std::string path = slash == nullptr ? found[0] : folder + found[0];
  if (path.size() >= size) return -1;
  memcpy(out, path.c_str(), path.size() + 1);
  if (matches != nullptr && found.size() > 1) *matches = std::move(found);
  return 0;
}

namespace {
// A folder opens for reading on Linux but yields nothing: refuse it like a
// file that cannot be read.
FILE *openfile(const char *name, const char *mode) {
  FILE *f = fopen(name, mode);
  struct stat st;
  if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  return f;
}
}  // namespace

FILE *fopencase(const char *name, const char *mode,
                std::vector<std::string> *matches) {
  if (matches != nullptr) matches->clear();
  FILE *f = openfile(name, mode);
  if (f != nullptr || errno != ENOENT) return f;
  int saved = errno;
  char other[4096];
  if (findcasename(name, other, sizeof other, matches) != 0) {
    errno = saved;
    return nullptr;
  }
  return openfile(other, mode);
}

int openfdforwrite(const char *name, struct stat *st, bool *created) {
  // O_NONBLOCK: a FIFO planted under the name fails at once (no reader)
  // instead of holding the start-up. O_EXCL first, to know whether the file
  // is new: a file that was there is looked at before anything is written.
  const int flags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
  *created = true;
  int fd = open(name, flags | O_CREAT | O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) {
    *created = false;
    fd = open(name, flags);
  }
  if (fd < 0) return -1;
  int error = 0;
  if (fstat(fd, st) != 0 || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  } else if (S_ISDIR(st->st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(st->st_mode)) {
    error = ENXIO;
  } else if (st->st_nlink > 1) {
    error = EMLINK;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

const char *filekind(const char *name) {
  struct stat st;
  if (lstat(name, &st) != 0) return nullptr;
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISDIR(st.st_mode)) return "a folder";
  return nullptr;
}

int samefile(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}

FILE *createforwrite(const char *name) {
  struct stat st;
  bool created = false;
  int fd = openfdforwrite(name, &st, &created);
  if (fd < 0) return nullptr;
  FILE *f = created || ftruncate(fd, 0) == 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return f;
}

FILE *createtempfile(const char *prefix, std::string *name) {
  std::string pattern = std::string(prefix) + "XXXXXX";
  int fd = mkostemp(&pattern[0], O_CLOEXEC);
  if (fd < 0) return nullptr;
  // mkostemp makes the file private; the calibration file is an ordinary
  // one, readable as the user's umask allows. Should the change fail, the
  // file stays private, which is still safe.
  mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
  FILE *f = fdopen(fd, "w");
  if (f == nullptr) {
    int error = errno;
    close(fd);
    unlink(pattern.c_str());
    errno = error;
    return nullptr;
  }
  *name = pattern;
  return f;
}

std::string fullname(const char *name) {
  char *full = realpath(name, nullptr);
  std::string result = full != nullptr ? full : name;
  free(full);
  return result;
}

int isfolder(const char *name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int finishfile(FILE *f) {
  int failed = fflush(f) != 0;
  failed = fsync(fileno(f)) != 0 || failed;
  failed = fclose(f) != 0 || failed;
  return failed ? -1 : 0;
}

int replacefile(const char *from, const char *to) { return rename(from, to); }

std::string previousname(const std::string &name) {
  size_t slash = name.rfind('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot <= start) return name + ".prev";
  return name.substr(0, dot) + ".prev" + name.substr(dot);
}

int keepprevious(const char *name) {
  struct stat st;
  if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size == 0) {
    return 0;
  }
  // rename replaces a link planted under the kept name; it never follows it.
  return rename(name, previousname(name).c_str()) == 0 ? 1 : -1;
}

void removefile(const char *name) { unlink(name); }

void removesamefile(const char *name, const struct stat &st) {
  struct stat now;
  if (lstat(name, &now) == 0 && samefile(now, st)) unlink(name);
}
