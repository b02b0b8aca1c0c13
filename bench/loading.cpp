// Loading: the loader's cost per script line for a small and a large
// script, and the peak memory of the large load, taken in a child process
// that does nothing but load.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bench/bench.h"
#include "driver/loader.h"
#include "core/tables.h"

namespace {

// Lines of an ordinary script, repeated: every kind of statement that
// carries no text, a comment and a blank line, and a thread separator
// every tenth line.
const char *const LINES[] = {
    "OUTPUT 0 .......1      drive bit 0\n",
    "DELAY 0.25\n",
    "WAIT 0 1.......        input bit 7\n",
    "TOGGLE 1 ......11\n",
    "; a comment line between the statements\n",
    "KEY g\n",
    "\n",
    "REPEAT 0.5 2\n",
    "OUTPUT 1 00001111\n",
    "$\n",
};
constexpr int LINEKINDS = sizeof LINES / sizeof LINES[0];

// A script of exactly lines lines, the last two being the end mark.
FILE *makescript(int32_t lines) {
  FILE *f = tmpfile();
  if (f == nullptr) return nullptr;
  for (int32_t i = 0; i < lines - 2; ++i) fputs(LINES[i % LINEKINDS], f);
  fputs("$\n$\n", f);
  fflush(f);
  return f;
}

// Loads the script once; returns the wall time in ns, or 0 when the load
// wrote errors to the log (the figure would then measure error handling).
uint64_t loadonce(FILE *script) {
  resettables();
  rewind(script);
  prog.infile = script;
  prog.logfile = tmpfile();
  uint64_t t0 = nowns();
  loadprogram();
  uint64_t t1 = nowns();
  fflush(prog.logfile);
  long logbytes = ftell(prog.logfile);
  prog.infile = nullptr;  // the caller keeps the script for the next load
  return logbytes == 0 ? t1 - t0 : 0;
}

// Per-line cost of loading a small and a large script, loaded in turn in
// every repetition so that both see the machine in the same mood; the
// ratio is the median of the per-repetition ratios. The small script is
// loaded as many times in a row as it takes to read as many lines as the
// large one, so both samples last equally long: on a shared or virtual
// processor a load of a few milliseconds often runs faster than any load
// of fifty, whatever the loader does.
struct LoadFigures {
  double small;  // us per line, median
  double large;  // us per line, median
  double ratio;  // median of large / small
};

LoadFigures measureloading(void) {
  LoadFigures out = {0, 0, 0};
  FILE *small = makescript(benchopt.loadsmall);
  FILE *large = makescript(benchopt.loadlarge);
  constexpr int MAX_REPS = 64;
  double smallus[MAX_REPS], largeus[MAX_REPS], ratios[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  int32_t times = benchopt.loadlarge / benchopt.loadsmall;
  if (times < 1) times = 1;
  for (int r = 0; small != nullptr && large != nullptr && r < reps; ++r) {
    uint64_t smallns = 0;
    for (int32_t i = 0; i < times; ++i) {
      uint64_t ns = loadonce(small);
      smallns = ns == 0 || smallns == UINT64_MAX ? UINT64_MAX : smallns + ns;
    }
    uint64_t largens = loadonce(large);
    if (smallns == UINT64_MAX || largens == 0) {
      fprintf(report, "  SELF-CHECK FAILED: the loading script has errors\n");
      ++benchfailures;
      break;
    }
    smallus[r] = static_cast<double>(smallns) / 1000.0 / benchopt.loadsmall / times;
    largeus[r] = static_cast<double>(largens) / 1000.0 / benchopt.loadlarge;
    ratios[r] = largeus[r] / smallus[r];
    out.small = out.large = 1;  // at least one repetition came through
  }
  if (out.small != 0) {
    out.small = median(smallus, reps);
    out.large = median(largeus, reps);
    out.ratio = median(ratios, reps);
  }
  if (small != nullptr) fclose(small);
  if (large != nullptr) fclose(large);
  resettables();
  return out;
}

// Peak resident memory of a fresh process (this program started again with
// --load-child) that writes the script and then only loads it; and what it
// had before loading. In KiB. A fresh process keeps the figure free of the
// heap that the other measurements leave behind.
int peakmemory(int32_t lines, long *before, long *peak) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return 0;
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    close(pipefd[0]);
    if (dup2(pipefd[1], 1) < 0) _exit(1);
    char count[16];
    snprintf(count, sizeof count, "%ld", static_cast<long>(lines));
    execl("/proc/self/exe", "quon_bench", "--load-child", count,
          static_cast<char *>(nullptr));
    _exit(1);
  }
  close(pipefd[1]);
  char text[64] = "";
  size_t got = 0;
  for (;;) {
    ssize_t n = read(pipefd[0], text + got, sizeof text - 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text[got] = '\0';
  close(pipefd[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return sscanf(text, "%ld %ld", before, peak) == 2;
}

}  // namespace

int loadchild(int32_t lines) {
  FILE *script = makescript(lines);
  if (script == nullptr) return 1;
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  long before = usage.ru_maxrss;
  if (loadonce(script) == 0) return 1;
  getrusage(RUSAGE_SELF, &usage);
  printf("%ld %ld\n", before, usage.ru_maxrss);
  return 0;
}

void benchloading(void) {
  fprintf(report, "\nLoading (scripts in the page cache; loader and compiler only; "
          "median of %d)\n", benchopt.repetitions);
  LoadFigures f = measureloading();
  char name[96];
  snprintf(name, sizeof name, "%ld lines", static_cast<long>(benchopt.loadsmall));
  figure(name, f.small, "us/line");
  snprintf(name, sizeof name, "%ld lines", static_cast<long>(benchopt.loadlarge));
  figure(name, f.large, "us/line");
  if (f.ratio > 0) {
    figure("per-line cost, large / small", f.ratio, "x");
    target("loading: per-line cost, large / small", f.ratio, 1.5, "x");
  }
  long before = 0, peak = 0;
  if (!peakmemory(benchopt.loadlarge, &before, &peak)) {
    fprintf(report, "  SELF-CHECK FAILED: the loading child did not report\n");
    ++benchfailures;
    return;
  }
  snprintf(name, sizeof name, "%ld lines: peak resident memory of the loading process",
           static_cast<long>(benchopt.loadlarge));
  figure(name, static_cast<double>(peak), "KiB");
  snprintf(name, sizeof name, "%ld lines: growth while loading",
           static_cast<long>(benchopt.loadlarge));
  figure(name, static_cast<double>(peak - before), "KiB");
}
