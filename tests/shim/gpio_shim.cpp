// A GPIO chip for a machine that has none, loaded into the real quon with
// LD_PRELOAD by the end-to-end tests: the name QUON_SHIM_CHIP
// ("/dev/gpiochip99") is listed in /dev and opens /dev/null, which the
// chip's numbers in /sys/dev/char then call a GPIO device, and the GPIO
// ioctls on it are answered here: a chip labelled QUON_SHIM_LABEL with four
// lines, line 0 named QUON_SHIM_NAME and held by QUON_SHIM_CONSUMER, so a
// request for it is refused as busy. QUON_SHIM_DENY makes the chip's
// read-write open fail as a device policy would. The texts are the
// kernel's to choose, so the tests fill them with escape sequences.
// A request for lines other than 0 is granted: its descriptor is a pipe
// that holds, when the inputs were asked for edges, the edges
// QUON_SHIM_EDGES lists ("OFFSET:r|f:SEQNO,..."), stamped 1 us apart, and
// its inputs read QUON_SHIM_VALUES (the set's values, a number).
// QUON_SHIM_NOEDGES refuses a request that asks for edges, as a chip
// whose lines have no interrupt does; QUON_SHIM_NODEBOUNCE one that asks
// for a debounce.
// The shim replaces the libc calls themselves, never their fortified inline forms.
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <ctime>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned LINES = 4;
const char *const STANDIN = "/dev/null";

const char *env(const char *name, const char *otherwise) {
  const char *value = getenv(name);
  return value != nullptr ? value : otherwise;
}

const char *chippath(void) { return env("QUON_SHIM_CHIP", "/dev/gpiochip99"); }

// The stand-in's device numbers.
bool standin(dev_t *device) {
  struct stat st{};
  if (stat(STANDIN, &st) != 0) return false;
  *device = st.st_rdev;
  return true;
}

// fd is open on the stand-in.
bool ischip(int fd) {
  struct stat st{};
  dev_t device;
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && standin(&device) &&
         st.st_rdev == device;
}

// The path the program's open reaches: the chip's name becomes the stand-in.
const char *redirect(const char *path) {
  return path != nullptr && strcmp(path, chippath()) == 0 ? STANDIN : path;
}

// Refused where the tests ask: the read-write open of the chip, which the
// program makes through /proc/self/fd.
bool denied(const char *path, int flags) {
  if (getenv("QUON_SHIM_DENY") == nullptr || path == nullptr || (flags & O_ACCMODE) == O_RDONLY ||
      strncmp(path, "/proc/self/fd/", 14) != 0) {
    return false;
  }
  char *end = nullptr;
  long fd = strtol(path + 14, &end, 10);
  return *end == '\0' && fd >= 0 && fd <= INT32_MAX && ischip(static_cast<int>(fd));
}

int openat_(int dirfd, const char *path, int flags, mode_t mode) {
  if (denied(path, flags)) {
    errno = EACCES;
    return -1;
  }
  return static_cast<int>(syscall(SYS_openat, dirfd, redirect(path), flags, mode));
}

mode_t modeof(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

DIR *devfolder = nullptr;  // the program's listing of /dev
bool listed = false;       // the chip's entry was given
struct dirent64 chipentry;

template <typename Entry>
Entry *nextentry(DIR *dir, const char *real) {
  using Reader = Entry *(*)(DIR *);
  auto next = reinterpret_cast<Reader>(dlsym(RTLD_NEXT, real));
  Entry *e = next(dir);
  if (e != nullptr || dir != devfolder || listed) return e;
  listed = true;
  memset(&chipentry, 0, sizeof chipentry);
  const char *base = strrchr(chippath(), '/');
  snprintf(chipentry.d_name, sizeof chipentry.d_name, "%s", base != nullptr ? base + 1 : chippath());
  chipentry.d_type = DT_CHR;
  chipentry.d_reclen = sizeof chipentry;
  return reinterpret_cast<Entry *>(&chipentry);
}

int requestfd = -1;  // the granted request's descriptor

bool edgesasked(const gpio_v2_line_config &c) {
  constexpr uint64_t EDGES = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
  if ((c.flags & EDGES) != 0) return true;
  for (uint32_t a = 0; a < c.num_attrs && a < GPIO_V2_LINE_NUM_ATTRS_MAX; ++a) {
    if (c.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS && (c.attrs[a].attr.flags & EDGES) != 0) return true;
  }
  return false;
}

// Grants r: a pipe, its write end kept open so that the reader waits
// once the edges are read, as on a request with none queued.
bool debounceasked(const gpio_v2_line_config &c) {
  for (uint32_t a = 0; a < c.num_attrs && a < GPIO_V2_LINE_NUM_ATTRS_MAX; ++a) {
    if (c.attrs[a].attr.id == GPIO_V2_LINE_ATTR_ID_DEBOUNCE) return true;
  }
  return false;
}

int grant(gpio_v2_line_request *r) {
  for (uint32_t k = 0; k < r->num_lines; ++k) {
    if (r->offsets[k] == 0) return errno = EBUSY, -1;
  }
  if (getenv("QUON_SHIM_NOEDGES") != nullptr && edgesasked(r->config)) return errno = ENXIO, -1;
  if (getenv("QUON_SHIM_NODEBOUNCE") != nullptr && debounceasked(r->config)) return errno = EINVAL, -1;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ns = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
  const char *list = getenv("QUON_SHIM_EDGES");
  for (const char *at = list; edgesasked(r->config) && at != nullptr && *at != '\0';) {
    unsigned offset = 0, seqno = 0;
    char kind = 0;
    int used = 0;
    if (sscanf(at, "%u:%c:%u%n", &offset, &kind, &seqno, &used) != 3) break;
    gpio_v2_line_event e{};
    e.timestamp_ns = ns += 1000;
    e.id = kind == 'r' ? GPIO_V2_LINE_EVENT_RISING_EDGE : GPIO_V2_LINE_EVENT_FALLING_EDGE;
    e.offset = offset;
    e.seqno = seqno;
    if (write(ends[1], &e, sizeof e) != static_cast<ssize_t>(sizeof e)) break;
    at += used;
    if (*at == ',') ++at;
  }
  requestfd = ends[0];
  r->fd = ends[0];
  return 0;
}

int answer(unsigned long request, void *argument) {
  if (request == GPIO_GET_CHIPINFO_IOCTL) {
    auto *info = static_cast<gpiochip_info *>(argument);
    memset(info, 0, sizeof *info);
    snprintf(info->name, sizeof info->name, "gpiochip99");
    snprintf(info->label, sizeof info->label, "%s", env("QUON_SHIM_LABEL", "shim"));
    info->lines = LINES;
    return 0;
  }
  if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
    auto *info = static_cast<gpio_v2_line_info *>(argument);
    if (info->offset >= LINES) return errno = EINVAL, -1;
    uint32_t offset = info->offset;
    memset(info, 0, sizeof *info);
    info->offset = offset;
    if (offset == 0) {
      snprintf(info->name, sizeof info->name, "%s", env("QUON_SHIM_NAME", ""));
      snprintf(info->consumer, sizeof info->consumer, "%s", env("QUON_SHIM_CONSUMER", ""));
      info->flags = GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_INPUT;
    }
    return 0;
  }
  if (request == GPIO_V2_GET_LINE_IOCTL) return grant(static_cast<gpio_v2_line_request *>(argument));
  return errno = ENOTTY, -1;
}

// The granted request's values: QUON_SHIM_VALUES read, every write taken.
int answerrequest(unsigned long request, void *argument) {
  auto *v = static_cast<gpio_v2_line_values *>(argument);
  if (request == GPIO_V2_LINE_GET_VALUES_IOCTL) {
    v->bits = strtoull(env("QUON_SHIM_VALUES", "0"), nullptr, 0) & v->mask;
    return 0;
  }
  if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) return 0;
  return errno = ENOTTY, -1;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeof(flags, args);
  va_end(args);
  return openat_(AT_FDCWD, path, flags, mode);
}
int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeof(flags, args);
  va_end(args);
  return openat_(AT_FDCWD, path, flags, mode);
}
int openat(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeof(flags, args);
  va_end(args);
  return openat_(dirfd, path, flags, mode);
}
int openat64(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = modeof(flags, args);
  va_end(args);
  return openat_(dirfd, path, flags, mode);
}
// The forms a fortified build calls: glibc's own names.
// NOLINTBEGIN(bugprone-reserved-identifier)
int __open_2(const char *path, int flags) { return openat_(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return openat_(AT_FDCWD, path, flags, 0); }
int __openat_2(int dirfd, const char *path, int flags) { return openat_(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char *path, int flags) { return openat_(dirfd, path, flags, 0); }
// NOLINTEND(bugprone-reserved-identifier)

DIR *opendir(const char *path) {
  using Opener = DIR *(*)(const char *);
  auto real = reinterpret_cast<Opener>(dlsym(RTLD_NEXT, "opendir"));
  DIR *dir = real(path);
  if (dir != nullptr && strcmp(path, "/dev") == 0) {
    devfolder = dir;
    listed = false;
  }
  return dir;
}
struct dirent *readdir(DIR *dir) { return nextentry<struct dirent>(dir, "readdir"); }
struct dirent64 *readdir64(DIR *dir) { return nextentry<struct dirent64>(dir, "readdir64"); }
int closedir(DIR *dir) {
  using Closer = int (*)(DIR *);
  if (dir == devfolder) devfolder = nullptr;
  return reinterpret_cast<Closer>(dlsym(RTLD_NEXT, "closedir"))(dir);
}

// The stand-in's subsystem, as sysfs names a GPIO chip's.
ssize_t readlink(const char *path, char *buffer, size_t size) {
  dev_t device;
  char mine[64];
  if (standin(&device)) {
    snprintf(mine, sizeof mine, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
    if (strcmp(path, mine) == 0) {
      const char *target = "../../../bus/gpio";
      size_t n = strlen(target) < size ? strlen(target) : size;
      memcpy(buffer, target, n);  // NOLINT(bugprone-not-null-terminated-result): as readlink(2)
      return static_cast<ssize_t>(n);
    }
  }
  return syscall(SYS_readlink, path, buffer, size);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void *argument = va_arg(args, void *);
  va_end(args);
  bool gpio = _IOC_TYPE(request) == 0xB4;  // the GPIO ioctls' type
  if (gpio && ischip(fd)) return answer(request, argument);
  if (gpio && fd == requestfd && fd >= 0) return answerrequest(request, argument);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

}  // extern "C"
