#include "platform/sharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

void *sharedcreate(const char *path, size_t size) {
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  void *region = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
    region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  int error = errno;
  close(fd);
  if (region == MAP_FAILED) {
    unlink(path);
    errno = error;
    return nullptr;
  }
  return region;
}

void *sharedattach(const char *path, size_t *size) {
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  void *region = MAP_FAILED;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (st.st_uid != geteuid() || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    error = EPERM;
  } else {
    *size = static_cast<size_t>(st.st_size);
    region = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (region == MAP_FAILED) error = errno;
  }
  close(fd);
  if (region == MAP_FAILED) {
    errno = error;
    return nullptr;
  }
  return region;
}

void shareddetach(void *region, size_t size) { munmap(region, size); }

void sharedremove(const char *path) { unlink(path); }
