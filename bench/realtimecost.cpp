// The real-time mode against the plain loop, idle and under a load the
// benchmark makes itself (one busy process per processor, normal priority):
// DELAY lateness, the reaction to an input changed from outside the loop,
// and the processor share of a script that only waits for times and keys
// and of one that polls an input. Each figure is taken in a child process
// of its own, so the mode's priority, processor and locked memory never
// reach the rest of the benchmark.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "core/tables.h"
#include "driver/mainloop.h"
#include "platform/clock.h"
#include "platform/rtsched.h"
#include "platform/sharedmem.h"
#include "port/port.h"
#include "publish/publish.h"
#include "publish/region.h"
#include "realtime/realtime.h"
#include "sim/simport.h"

namespace {

struct Sample {
  std::vector<double> us;  // one value per event
  double share = 0;        // processor share, %
  bool ok = false;
};

// The loop of a child: passes, and the mode's wait between them when on.
int childpass(bool realtime) {
  int status = mainlooppass();
  if (realtime && realtimeon) realtimewait();
  return status;
}

// Starts the mode in a child; 0 when SCHED_FIFO was refused. What the
// mode says (what it applied, a budget too small for its margin) would
// only interleave with the report: the child's standard error goes to
// /dev/null.
bool childmode(bool realtime) {
  if (!realtime) return true;
  int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(devnull, 2);
  close(devnull);
  realtimestart(REALTIME_PRIORITY, -1);
  return realtimeon;
}

// DELAY lateness in a child: count DELAYs of 1 ms, completion (the
// TOGGLE's write, seen as the data latch changing) minus the deadline, in
// microseconds, written to fd.
void childdelays(bool realtime, int count, int fd) {
  loadtext("DELAY 0.001\nTOGGLE 0 .......1\n$\n$\n");
  simreset();
  mainloopinit();
  if (!childmode(realtime)) _exit(3);
  std::vector<double> late;
  uint8_t last = simadapter[0].data;
  uint64_t zero = nowns() / 1000 - clockus();
  uint32_t deadline = 0;
  uint64_t giveup = nowns() + static_cast<uint64_t>(count) * 50000000u;
  while (static_cast<int>(late.size()) < count && nowns() < giveup) {
    childpass(realtime);
    if (simadapter[0].data != last) {
      uint64_t now = nowns() / 1000;
      last = simadapter[0].data;
      if (deadline != 0) late.push_back(static_cast<double>(now) - static_cast<double>(zero + deadline * 1000ull));
      deadline = 0;
    }
    if (prog.threadtimer[0] != 0) deadline = prog.threadtimer[0];
  }
  (void)!write(fd, late.data(), late.size() * sizeof(double));
  _exit(0);
}

// Reaction in a child: a WAIT on an input bit that the parent forces
// through the monitors' region, answered by an OUTPUT; each answer's time
// goes to fd as it happens.
void childreaction(bool realtime, int fd, int readyfd) {
  loadtext("WAIT 1 1.......\nOUTPUT 0 .......1\nWAIT 1 0.......\nOUTPUT 0 .......0\n$\n$\n");
  simreset();
  mainloopinit();
  if (publishstart(portsample) != 0) _exit(4);
  // Started on every processor, as a run is: the mode takes the last of
  // them, away from the parent's.
  cpu_set_t all;
  CPU_ZERO(&all);
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  for (long c = 0; c < n && c < CPU_SETSIZE; ++c) CPU_SET(static_cast<int>(c), &all);
  sched_setaffinity(0, sizeof all, &all);
  if (!childmode(realtime)) _exit(3);
  (void)!write(readyfd, publishpath(), strlen(publishpath()) + 1);  // its name, to force through
  uint8_t last = simadapter[0].data;
  uint64_t giveup = nowns() + 60000000000ull;
  while (nowns() < giveup || realtime) {
    childpass(realtime);
    if (simadapter[0].data != last) {
      double at = static_cast<double>(nowns()) / 1000.0;
      last = simadapter[0].data;
      if (write(fd, &at, sizeof at) != sizeof at) _exit(0);  // the parent is done
    }
  }
  _exit(0);
}

// The processor share of a script run for a second in a child.
void childshare(bool realtime, const char *script) {
  loadtext(script);
  simreset();
  mainloopinit();
  if (!childmode(realtime)) _exit(3);
  uint64_t end = nowns() + 1000000000ull;
  while (nowns() < end) childpass(realtime);
  _exit(0);
}

Sample delays(bool realtime) {
  Sample s;
  int p[2];
  if (pipe(p) != 0) return s;
  int count = benchopt.delays;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    childdelays(realtime, count, p[1]);
  }
  close(p[1]);
  std::vector<double> all(static_cast<size_t>(count));
  size_t got = 0;
  ssize_t n;
  while ((n = read(p[0], reinterpret_cast<char *>(all.data()) + got, all.size() * sizeof(double) - got)) > 0) {
    got += static_cast<size_t>(n);
  }
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  all.resize(got / sizeof(double));
  s.us = all;
  s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !all.empty();
  return s;
}

// The input changes from a process on another processor than the loop's
// (the mode takes the last one, the child being free to run on any): as a
// line driven by the outside world, it never waits for the loop to give
// its processor up.
struct OtherProcessor {
  cpu_set_t saved;
  OtherProcessor() {
    sched_getaffinity(0, sizeof saved, &saved);
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    sched_setaffinity(0, sizeof first, &first);
  }
  ~OtherProcessor() { sched_setaffinity(0, sizeof saved, &saved); }
};

Sample reaction(bool realtime) {
  OtherProcessor pinned;
  Sample s;
  int p[2], ready[2];
  if (pipe(p) != 0 || pipe(ready) != 0) return s;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    close(ready[0]);
    childreaction(realtime, p[1], ready[1]);
  }
  close(p[1]);
  close(ready[1]);
  char name[128] = "";
  size_t size = 0;
  int regionfd = -1;
  RegionHeader *h = nullptr;
  ssize_t got = read(ready[0], name, sizeof name - 1);
  if (got > 0) {
    name[got] = '\0';
    h = static_cast<RegionHeader *>(sharedattach(name, &size, &regionfd));
  }
  int events = benchopt.smoke ? 10 : 500;
  for (int i = 0; h != nullptr && i < events; ++i) {
    uint8_t level = i % 2 == 0 ? 0x80 : 0x00;
    double at = static_cast<double>(nowns()) / 1000.0;
    __atomic_store_n(&h->forcevalue[1], level, __ATOMIC_SEQ_CST);
    __atomic_store_n(&h->forcemask[1], static_cast<uint8_t>(0x80), __ATOMIC_SEQ_CST);
    pollfd f{p[0], POLLIN, 0};
    double answered = 0;
    if (poll(&f, 1, 1000) != 1 || read(p[0], &answered, sizeof answered) != sizeof answered) break;
    s.us.push_back(answered - at);
    usleep(1000 + static_cast<useconds_t>(i % 7) * 300);  // the next change comes at an odd time
  }
  if (h != nullptr) shareddetach(h, size);
  if (regionfd >= 0) close(regionfd);
  close(p[0]);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  if (name[0] != '\0') sharedremove(name);
  s.ok = static_cast<int>(s.us.size()) == events;
  return s;
}

Sample share(bool realtime, const char *script) {
  Sample s;
  uint64_t start = nowns();
  pid_t pid = fork();
  if (pid == 0) childshare(realtime, script);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  double wall = static_cast<double>(nowns() - start) / 1e9;
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  s.share = 100.0 * cpu / wall;
  s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return s;
}

// One busy process per processor at normal priority.
std::vector<pid_t> startload(void) {
  std::vector<pid_t> load;
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  for (long i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      for (volatile unsigned long spin = 0;; ++spin) {
      }
    }
    load.push_back(pid);
  }
  return load;
}

void stopload(const std::vector<pid_t> &load) {
  for (pid_t pid : load) kill(pid, SIGKILL);
  for (pid_t pid : load) waitpid(pid, nullptr, 0);
}

void spread(const char *name, Sample s, double *p99, double *worst) {
  if (!s.ok || s.us.empty()) {
    fprintf(report, "  SELF-CHECK FAILED: %s: no figures\n", name);
    ++benchfailures;
    *p99 = *worst = 0;
    return;
  }
  int n = static_cast<int>(s.us.size());
  double med = median(s.us.data(), n);  // sorts
  *p99 = quantile(s.us.data(), n, 0.99);
  *worst = s.us.back();
  char line[160];
  snprintf(line, sizeof line, "%s: median / 99th / worst", name);
  fprintf(report, "  %-58s %8.1f %8.1f %9.1f  us\n", line, med, *p99, *worst);
}

// cyclictest (Debian rt-tests) beside the mode, at its priority, on its
// processor (the last, as the mode takes it here) and at the interval of
// its DELAYs, for as many wake-ups: its worst wake-up in us; -1 when it is
// not installed or gave no figure.
double cyclictestworst(int loops) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  std::string command = "cyclictest -q -m -t 1 -p " + std::to_string(REALTIME_PRIORITY) +
                        " -i 1000 -a " + std::to_string(n > 0 ? n - 1 : 0) + " -l " +
                        std::to_string(loops) + " 2>/dev/null";
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  double worst = -1;
  char line[256];
  while (fgets(line, sizeof line, p) != nullptr) {
    const char *max = strstr(line, "Max:");
    if (max != nullptr) worst = strtod(max + 4, nullptr);
  }
  return pclose(p) == 0 ? worst : -1;
}

double threadns(void) {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// What the mode's wait adds to a pass of a one-thread WAIT script (the
// clock read at every pass, so the processor is given back on time however
// long passes take), in processor time per pass, the slices' sleeps not
// counted. The wait runs without the mode's priority: only its cost is
// measured.
void passcost(void) {
  loadtext("WAIT 0 1.......\n$\n$\n");
  simreset();
  mainloopinit();
  const int PASSES = benchopt.smoke ? 20000 : 2000000;
  std::vector<double> alone, waited;
  for (int r = 0; r < benchopt.repetitions; ++r) {
    for (int withwait = 0; withwait < 2; ++withwait) {
      realtimereset();
      realtimeon = withwait == 1;
      double from = threadns();
      for (int i = 0; i < PASSES; ++i) childpass(withwait == 1);
      (withwait ? waited : alone).push_back((threadns() - from) / PASSES);
    }
  }
  realtimereset();
  double a = median(alone.data(), static_cast<int>(alone.size()));
  double w = median(waited.data(), static_cast<int>(waited.size()));
  figure("WAIT pass, plain loop (processor time)", a, "ns");
  figure("WAIT pass with the mode's wait between passes (processor time)", w, "ns");
  figure("WAIT pass with the mode's wait / without", a > 0 ? w / a : 0, "x");
}

bool fifoallowed(void) {
  pid_t pid = fork();
  if (pid == 0) _exit(rtscheduler(REALTIME_PRIORITY) == 0 ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

void benchrealtime(void) {
  fprintf(report, "\nReal-time mode (--realtime) against the plain loop, idle and under load "
          "(one busy process per processor)\n");
  bool fifo = fifoallowed();
  if (!fifo) {
    fprintf(report, "  SCHED_FIFO is refused here (no privilege): the mode cannot be measured, "
            "and this part sets no targets\n");
  }
  passcost();
  const char *DELAYKEY = "OUTPUT 0 .......1\nDELAY 0.01\nOUTPUT 0 .......0\nDELAY 0.01\n$\n"
                         "KEY x\nNOTATE x\n$\n$\n";
  const char *POLLING = "WAIT 0 1.......\nNOTATE high\n$\nDELAY 0.01\n$\n$\n";
  for (int loaded = 0; loaded < 2; ++loaded) {
    std::vector<pid_t> load;
    if (loaded) load = startload();
    for (int mode = 0; mode < (fifo ? 2 : 1); ++mode) {
      bool rt = mode == 1;
      std::string label = std::string(loaded ? "loaded, " : "idle, ") + (rt ? "realtime" : "plain");
      double dp99, dworst, rp99, rworst;
      spread((label + ", DELAY lateness").c_str(), delays(rt), &dp99, &dworst);
      double cyclic = rt ? cyclictestworst(benchopt.delays) : -1;
      if (rt && cyclic < 0) {
        fprintf(report, "  %s, cyclictest: not installed (Debian rt-tests) or no figure\n", label.c_str());
      } else if (rt) {
        figure((label + ", cyclictest's worst wake-up beside it").c_str(), cyclic, "us");
      }
      double worstlimit = cyclic > 1000.0 ? cyclic : 1000.0;
      spread((label + ", input reaction").c_str(), reaction(rt), &rp99, &rworst);
      Sample quiet = share(rt, DELAYKEY), busy = share(rt, POLLING);
      figure((label + ", processor share, DELAY/KEY script").c_str(), quiet.share, "%");
      figure((label + ", processor share, WAIT script").c_str(), busy.share, "%");
      if (rt) {
        std::string when = loaded ? "realtime under load: " : "realtime idle: ";
        target((when + "DELAY lateness, 99th percentile").c_str(), dp99, 100.0, "us");
        target((when + "DELAY lateness, worst (limit: 1 ms or cyclictest's worst)").c_str(), dworst,
               worstlimit, "us");
      }
      if (loaded && rt) {
        target("realtime under load: input reaction, worst", rworst, 500.0, "us");
        target("realtime under load: processor share, DELAY/KEY script", quiet.share, 20.0, "%");
      }
    }
    if (loaded) stopload(load);
  }
}
