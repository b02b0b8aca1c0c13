// What a trace costs a pass, and how fast a testbench simulates.
//
// What a trace costs a pass: the traced pass against the same pass untraced,
// on scripts where nothing changes between samples (the demo between its
// blinks, 64 threads at a WAIT), and the cost of one recorded change.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "bench/bench.h"
#include "driver/mainloop.h"
#include "driver/startup.h"
#include "core/tables.h"
#include "sim/simport.h"
#include "port/port.h"
#include "publish/publish.h"
#include "service/service.h"
#include "testbench/testbench.h"
#include "trace/trace.h"

namespace {

std::string tracefile;  // in a folder of the benchmark's own

void runpasses(int64_t passes) {
  for (int64_t p = 0; p < passes; ++p) {
    if (mainlooppass() != 0) return;
  }
}

// Starts the loaded script from power-on, traced or not, and times passes
// after a warm-up; ns per pass.
double timed(bool traced, int64_t passes) {
  simreset();
  mainloopinit();
  if (traced) {
    if (traceopen(tracefile.c_str()) != 0) {
      fprintf(report, "  SELF-CHECK FAILED: cannot create %s\n", tracefile.c_str());
      ++benchfailures;
      return 0;
    }
    starttrace();
  }
  runpasses(16);
  uint64_t t0 = nowns();
  runpasses(passes);
  uint64_t t1 = nowns();
  if (traced) traceclose();
  return static_cast<double>(t1 - t0) / static_cast<double>(passes);
}

struct Cost {
  double untraced, traced, ratio;
};

Cost measure(const char *name, const std::string &script, int64_t passes) {
  loadtext(script);
  constexpr int MAX_REPS = 64;
  double plain[MAX_REPS], traced[MAX_REPS], ratio[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  for (int r = 0; r < reps; ++r) {
    plain[r] = timed(false, passes);
    traced[r] = timed(true, passes);
    ratio[r] = plain[r] > 0 ? traced[r] / plain[r] : 0;
  }
  Cost c = {median(plain, reps), median(traced, reps), median(ratio, reps)};
  std::string label(name);
  figure((label + ", untraced").c_str(), c.untraced, "ns/pass");
  figure((label + ", traced").c_str(), c.traced, "ns/pass");
  figure((label + ", traced / untraced").c_str(), c.ratio, "x");
  fflush(stdout);
  return c;
}

}  // namespace

void benchtracing(void) {
  fprintf(report, "\nTracing (--trace): the traced pass against the untraced one "
          "(median of %d samples)\n", benchopt.repetitions);
  char folder[] = "/tmp/quonbenchXXXXXX";
  if (mkdtemp(folder) == nullptr) {
    fprintf(report, "  SELF-CHECK FAILED: no folder for the trace\n");
    ++benchfailures;
    return;
  }
  tracefile = std::string(folder) + "/bench.vcd";
  int64_t passes = benchopt.smoke ? 200 : 200000;
  std::string demo = readwholefile(benchopt.demo);
  std::string waits;
  for (int t = 0; t < 64; ++t) waits += "WAIT 0 1.......\n$\n";
  Cost d = measure("demo script (5 threads)", demo, passes);
  Cost w = measure("64 threads at a WAIT", waits + "$\n", passes / 16);
  // Every pass flips out0, and the change goes to the trace.
  Cost t = measure("1 thread doing TOGGLE", "TOGGLE 0 .......1\n$\n$\n", passes);
  figure("cost of one recorded change", t.traced - t.untraced, "ns");
  target("demo script: traced / untraced", d.ratio, 1.10, "x");
  target("64 WAIT threads: traced / untraced", w.ratio, 1.10, "x");
  unlink(tracefile.c_str());
  rmdir(folder);
}

// An hour of the demo under a testbench, timed: simulated seconds per
// wall second. Runs last: the clock stays simulated afterwards.
void benchsimulation(void) {
  fprintf(report, "\nTestbench: the demo script in simulated time\n");
  std::string demo = readwholefile(benchopt.demo);
  double hours = benchopt.smoke ? 0.01 : 1.0;
  Testbench bench;
  std::string error;
  std::string text = "end " + std::to_string(static_cast<int>(hours * 3600)) + "\n";
  if (demo.empty() || testbenchparse("bench.qtb", text, &bench, &error) != 0) {
    fprintf(report, "  SELF-CHECK FAILED: %s\n", error.c_str());
    ++benchfailures;
    return;
  }
  loadtext(demo);
  int verdict = 0;
  double wall = timedbench(&bench, &verdict);
  if (verdict != 0) {
    fprintf(report, "  SELF-CHECK FAILED: the empty testbench did not pass\n");
    ++benchfailures;
  }
  figure("simulated seconds per wall second", hours * 3600 / wall, "x");
  target("one simulated hour of the demo, wall time", wall / hours * 1000, 1000.0, "ms");
}

// Publishing for monitors: the pass with the region against the pass
// without it, and with pass times sampled as while a monitor is attached.
void benchpublishing(void) {
  fprintf(report, "\nPublishing for monitors: the pass with the region against the pass without\n");
  std::string demo = readwholefile(benchopt.demo);
  std::string waits;
  for (int t = 0; t < 64; ++t) waits += "WAIT 0 1.......\n$\n";
  struct Case {
    const char *name;
    std::string script;
    int64_t passes;
  } cases[] = {
      {"demo script (5 threads)", demo, 200000},
      {"1 thread at a WAIT", "WAIT 0 1.......\n$\n$\n", 400000},
      {"64 threads at a WAIT", waits + "$\n", 20000},
  };
  double ratio[3][2];
  int n = 0;
  for (const Case &c : cases) {
    loadtext(c.script);
    int64_t passes = benchopt.smoke ? 200 : c.passes;
    constexpr int MAX_REPS = 64;
    double plain[MAX_REPS], quiet[MAX_REPS], watched[MAX_REPS], r1[MAX_REPS], r2[MAX_REPS];
    int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
    for (int r = 0; r < reps; ++r) {
      plain[r] = timed(false, passes);
      parkthreads();
      if (publishstart(portsample) != 0) {
        fprintf(report, "  SELF-CHECK FAILED: no region could be made\n");
        ++benchfailures;
        return;
      }
      quiet[r] = timed(false, passes);
      publishsample(true);
      watched[r] = timed(false, passes);
      publishsample(false);
      publishend();
      r1[r] = quiet[r] / plain[r];
      r2[r] = watched[r] / plain[r];
    }
    std::string label(c.name);
    figure((label + ", without the region").c_str(), median(plain, reps), "ns/pass");
    figure((label + ", published").c_str(), median(quiet, reps), "ns/pass");
    figure((label + ", published, sampled").c_str(), median(watched, reps), "ns/pass");
    ratio[n][0] = median(r1, reps);
    ratio[n][1] = median(r2, reps);
    ++n;
  }
  const char *names[] = {"demo", "1 WAIT thread", "64 WAIT threads"};
  for (int i = 0; i < 3; ++i) {
    target((std::string(names[i]) + ": published / without").c_str(), ratio[i][0], 1.05, "x");
    target((std::string(names[i]) + ": monitor attached / without").c_str(), ratio[i][1], 1.25, "x");
  }
}

// Running as a service: the pass with the watchdog's countdown (a socket
// of the benchmark's own as the service manager, a beat every half second)
// against the pass without it.
void benchservice(void) {
  fprintf(report, "\nService watchdog: the pass with the countdown against the pass without\n");
  char folder[] = "/tmp/quonbenchXXXXXX";
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (s < 0 || mkdtemp(folder) == nullptr) {
    fprintf(report, "  SELF-CHECK FAILED: no socket for the watchdog\n");
    ++benchfailures;
    return;
  }
  snprintf(address.sun_path, sizeof address.sun_path, "%s/notify", folder);
  if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    fprintf(report, "  SELF-CHECK FAILED: no socket for the watchdog\n");
    ++benchfailures;
    return;
  }
  std::string demo = readwholefile(benchopt.demo);
  struct Case {
    const char *name, *label;
    std::string script;
    int64_t passes;
  } cases[] = {
      {"demo script (5 threads)", "demo", demo, 200000},
      {"1 thread at a WAIT", "1 WAIT thread", "WAIT 0 1.......\n$\n$\n", 400000},
  };
  for (const Case &c : cases) {
    loadtext(c.script);
    int64_t passes = benchopt.smoke ? 200 : c.passes;
    constexpr int MAX_REPS = 64;
    double plain[MAX_REPS], kept[MAX_REPS], ratio[MAX_REPS];
    int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
    for (int r = 0; r < reps; ++r) {
      plain[r] = timed(false, passes);
      setenv("NOTIFY_SOCKET", address.sun_path, 1);
      setenv("WATCHDOG_USEC", "1000000", 1);
      servicetake();
      serviceready("bench", prog.threadcount);
      kept[r] = timed(false, passes);
      if (!servicewatchdog()) {
        fprintf(report, "  SELF-CHECK FAILED: the watchdog did not start\n");
        ++benchfailures;
      }
      servicereset();
      ratio[r] = kept[r] / plain[r];
    }
    std::string label(c.name);
    figure((label + ", without the watchdog").c_str(), median(plain, reps), "ns/pass");
    figure((label + ", with the watchdog").c_str(), median(kept, reps), "ns/pass");
    target((std::string(c.label) + ": watchdog / without").c_str(), median(ratio, reps), 1.02, "x");
  }
  close(s);
  unlink(address.sun_path);
  rmdir(folder);
}
