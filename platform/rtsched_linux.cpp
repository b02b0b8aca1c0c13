#include "platform/rtsched.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int latencyfd = -1;
cpu_set_t startmask;    // the processors the run was started on (taskset, CPUAffinity=)
bool havestart = false;

// The first line of a small kernel file, without its newline; "" when
// there is none.
std::string firstline(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char text[256];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return "";
  text[n] = '\0';
  text[strcspn(text, "\n")] = '\0';
  return text;
}

// Whether cpu is in a kernel list such as "0-3,5" (the format of
// /sys/devices/system/cpu/online and isolated).
bool listed(const std::string &list, int cpu) {
  const char *c = list.c_str();
  while (*c >= '0' && *c <= '9') {
    char *end = nullptr;
    long low = strtol(c, &end, 10), high = low;
    if (*end == '-' && end[1] >= '0' && end[1] <= '9') high = strtol(end + 1, &end, 10);
    if (cpu >= low && cpu <= high) return true;
    if (*end != ',') break;
    c = end + 1;
  }
  return false;
}

// Keeps the compiler from dropping the touch of the stack below.
void touch(volatile char *bytes, size_t n) {
  for (size_t i = 0; i < n; i += 4096) bytes[i] = 0;
}

}  // namespace

int rtlockmemory(void) {
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) return errno;
  char stack[64 * 1024];
  touch(stack, sizeof stack);
  return 0;
}

int rtscheduler(int priority) {
  sched_param p{};
  p.sched_priority = priority;
  return sched_setscheduler(0, SCHED_FIFO, &p) == 0 ? 0 : errno;
}

int rtpin(int cpu, int *chosen, bool *isolated) {
  if (!havestart) havestart = sched_getaffinity(0, sizeof startmask, &startmask) == 0;
  *isolated = false;
  if (cpu < 0) {
    // Within the processors the run may use: the first one the kernel
    // keeps isolated, else the last. A run started on every processor
    // but the isolated ones (what any process gets when some are
    // isolated) was not restricted by its user: the isolated ones are
    // its to take.
    std::string kept = firstline("/sys/devices/system/cpu/isolated");
    std::string online = rtprocessors();
    bool unrestricted = !havestart;
    if (havestart) {
      unrestricted = true;
      for (int c = 0; c < CPU_SETSIZE; ++c) {
        if (listed(online, c) && !listed(kept, c) && !CPU_ISSET(c, &startmask)) unrestricted = false;
      }
    }
    int last = -1;
    for (int c = 0; c < CPU_SETSIZE && cpu < 0; ++c) {
      bool allowed = havestart ? CPU_ISSET(c, &startmask) != 0 : listed(online, c);
      if (listed(kept, c) && (allowed || unrestricted)) cpu = c;
      if (allowed) last = c;
    }
    *isolated = cpu >= 0;
    if (cpu < 0) cpu = last >= 0 ? last : 0;
  }
  *chosen = cpu;
  if (cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0 ? 0 : errno;
}

std::string rtprocessors(void) { return firstline("/sys/devices/system/cpu/online"); }

bool rtprocessor(int cpu) {
  std::string online = rtprocessors();
  return online.empty() || listed(online, cpu);
}

int rtlatency(void) {
  if (latencyfd >= 0) return 0;
  int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int32_t zero = 0;
  if (write(fd, &zero, sizeof zero) != static_cast<ssize_t>(sizeof zero)) {
    int error = errno != 0 ? errno : EIO;
    close(fd);
    return error;
  }
  latencyfd = fd;  // the request lasts as long as the descriptor is open
  return 0;
}

void rtrelease(void) {
  sched_param p{};
  sched_setscheduler(0, SCHED_OTHER, &p);
  munlockall();
  if (havestart) sched_setaffinity(0, sizeof startmask, &startmask);
  if (latencyfd >= 0) close(latencyfd);
  latencyfd = -1;
}

std::string rtkernel(void) {
  if (firstline("/sys/kernel/realtime") == "1") return "PREEMPT_RT";
  utsname u;
  if (uname(&u) != 0) return "unknown";
  for (const char *model : {"PREEMPT_RT", "PREEMPT_DYNAMIC", "PREEMPT"}) {
    if (strstr(u.version, model) != nullptr) return model;
  }
  return "no preemption";
}

std::string rtthrottling(void) {
  std::string runtime = firstline("/proc/sys/kernel/sched_rt_runtime_us");
  std::string period = firstline("/proc/sys/kernel/sched_rt_period_us");
  if (runtime.empty()) return "unknown";
  if (runtime == "-1") return "off";
  return runtime + " of " + period + " us";
}

void rtsleep(unsigned us) {
  // To an absolute deadline, so a sleep a signal interrupts is resumed for
  // what is left of it, however often that happens.
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  uint64_t ns = static_cast<uint64_t>(until.tv_nsec) + static_cast<uint64_t>(us) * 1000;
  until.tv_sec += static_cast<time_t>(ns / 1000000000);
  until.tv_nsec = static_cast<long>(ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
