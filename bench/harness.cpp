// Timing, statistics, the figure table and the common set-up.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "driver/loader.h"
#include "core/tables.h"
#include "sim/simport.h"
#include "port/port.h"
#include "testbench/testbench.h"

BenchOptions benchopt;
FILE *report = nullptr;
int benchfailures = 0;

namespace {
struct Target {
  std::string name;
  double value;
  double limit;
  std::string unit;
};
// Every target any part sets reaches the summary, however many parts ran.
std::vector<Target> targets;
}  // namespace

uint64_t nowns(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<uint64_t>(now.tv_nsec);
}

double median(double *v, int n) {
  if (n <= 0) return 0;
  std::sort(v, v + n);
  if (n % 2 == 1) return v[n / 2];
  return (v[n / 2 - 1] + v[n / 2]) / 2;
}

double quantile(double *v, int n, double p) {
  if (n <= 0) return 0;
  std::sort(v, v + n);
  // Nearest rank: the smallest value with at least p of the samples at or
  // below it.
  double rank = p * n;
  int at = static_cast<int>(rank);
  if (at < rank) ++at;
  if (at < 1) at = 1;
  if (at > n) at = n;
  return v[at - 1];
}

void figure(const char *name, double value, const char *unit) {
  fprintf(report, "  %-58s %12.2f  %s\n", name, value, unit);
  fflush(report);
}

void target(const char *name, double value, double limit, const char *unit) {
  targets.push_back(Target{name, value, limit, unit});
}

void printtargets(void) {
  fprintf(report, "\nTargets\n");
  for (const Target &t : targets) {
    int met = t.value <= t.limit;
    fprintf(report, "  %-58s %8.2f %-6s <= %8.2f  %s", t.name.c_str(), t.value, t.unit.c_str(),
            t.limit, met ? "met" : "MISSED");
    if (!met) fprintf(report, " by %.0f%%", (t.value / t.limit - 1) * 100);
    fprintf(report, "\n");
  }
  fflush(report);
}

long loadtext(const std::string &script) {
  resettables();
  resetports();
  simreset();
  prog.logfile = tmpfile();
  FILE *in = tmpfile();
  if (prog.logfile == nullptr || in == nullptr) {
    fprintf(stderr, "quon_bench: no temporary file\n");
    exit(1);
  }
  fwrite(script.data(), 1, script.size(), in);
  rewind(in);
  prog.infile = in;
  loadprogram();
  // The calibration that the test connector needs on the simulated port:
  // control byte 4, and the inverted lines put right.
  prog.calctl = 4;
  prog.calinv = 0x83;
  fflush(prog.logfile);
  return ftell(prog.logfile);
}

std::string readwholefile(const char *path) {
  std::string text;
  FILE *f = fopen(path, "rb");
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

double timedsilenced(const std::function<int(void)> &run, int *status) {
  // The verdict lines go to standard error; the report wants none of them.
  fflush(stderr);
  int saved = dup(2);
  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved < 0 || sink < 0 || dup2(sink, 2) < 0) {
    if (saved >= 0) close(saved);
    if (sink >= 0) close(sink);
    fprintf(report, "  SELF-CHECK FAILED: standard error cannot be silenced\n");
    ++benchfailures;
    *status = -1;
    return 0;
  }
  uint64_t t0 = nowns();
  *status = run();
  uint64_t t1 = nowns();
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(sink);
  return static_cast<double>(t1 - t0) / 1e9;
}

double timedbench(Testbench *bench, int *verdict) {
  return timedsilenced([bench] { return testbenchrun(bench); }, verdict);
}
