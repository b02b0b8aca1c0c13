#include "driver/files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {
int samefolded(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return 0;
    if (x == '\0') return 1;
  }
}
}  // namespace

int findcasename(const char *name, char *out, size_t size) {
  const char *slash = strrchr(name, '/');
  std::string folder = slash == nullptr ? "." : std::string(name, slash - name + 1);
  const char *leaf = slash == nullptr ? name : slash + 1;
  if (*leaf == '\0') return -1;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent *entry = readdir(dir)) {
    if (!samefolded(entry->d_name, leaf)) continue;
    std::string path = slash == nullptr ? entry->d_name : folder + entry->d_name;
    if (path.size() < size) {
      memcpy(out, path.c_str(), path.size() + 1);
      found = 0;
    }
    break;
  }
  closedir(dir);
  return found;
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

FILE *fopencase(const char *name, const char *mode) {
  FILE *f = openfile(name, mode);
  if (f != nullptr || errno != ENOENT) return f;
  int saved = errno;
  char other[4096];
  if (findcasename(name, other, sizeof other) != 0) {
    errno = saved;
    return nullptr;
  }
  return openfile(other, mode);
}
