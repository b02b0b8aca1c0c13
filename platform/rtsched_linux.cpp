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

// The first processor of a kernel list such as "2-3,5"; -1 for none.
int firstlisted(const std::string &list) {
  if (list.empty() || list[0] < '0' || list[0] > '9') return -1;
  long cpu = strtol(list.c_str(), nullptr, 10);
  return cpu < CPU_SETSIZE ? static_cast<int>(cpu) : -1;
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
  *isolated = false;
  if (cpu < 0) {
    cpu = firstlisted(firstline("/sys/devices/system/cpu/isolated"));
    *isolated = cpu >= 0;
    if (cpu < 0) {
      long n = sysconf(_SC_NPROCESSORS_ONLN);
      cpu = n > 0 ? static_cast<int>(n - 1) : 0;
    }
  }
  *chosen = cpu;
  if (cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0 ? 0 : errno;
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
  cpu_set_t all;
  CPU_ZERO(&all);
  long n = sysconf(_SC_NPROCESSORS_CONF);
  for (long i = 0; i < n && i < CPU_SETSIZE; ++i) CPU_SET(static_cast<int>(i), &all);
  sched_setaffinity(0, sizeof all, &all);
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
  timespec span{0, static_cast<long>(us) * 1000};
  while (nanosleep(&span, &span) == EINTR) {
  }
}
