// The cost of one key poll with the terminal keyboard layer on a
// pseudo-terminal that nobody types on, against one clock_gettime. Runs in
// a child that has the pseudo-terminal as its controlling terminal, so the
// figure does not depend on how the benchmark itself was started.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "bench/bench.h"
#include "platform/clock.h"
#include "platform/keys.h"

namespace {

struct KeyFigures {
  double keyavailable;  // ns per call, median
  double gettime;       // ns per clock_gettime(CLOCK_MONOTONIC), median
  double clockms;       // ns per clockms(), median
  double ratio;         // median of the per-repetition keyavailable / gettime
  int keysseen;         // keys reported while nobody typed: must stay 0
};

volatile long keysink;

KeyFigures measurekeys(void) {
  KeyFigures out = {0, 0, 0, 0, 0};
  const int calls = benchopt.smoke ? 1000 : 2000000;
  constexpr int MAX_REPS = 64;
  double keys[MAX_REPS], gettimes[MAX_REPS], clocks[MAX_REPS], ratios[MAX_REPS];
  int reps = benchopt.repetitions < MAX_REPS ? benchopt.repetitions : MAX_REPS;
  out.keysseen += keyavailable();  // the first call puts the terminal in key mode
  for (int r = 0; r < reps; ++r) {
    uint64_t t0 = nowns();
    int seen = 0;
    for (int i = 0; i < calls; ++i) seen += keyavailable();
    uint64_t t1 = nowns();
    long sum = 0;
    timespec ts;
    for (int i = 0; i < calls; ++i) {
      clock_gettime(CLOCK_MONOTONIC, &ts);
      sum += ts.tv_nsec;
    }
    uint64_t t2 = nowns();
    for (int i = 0; i < calls; ++i) sum += clockms();
    uint64_t t3 = nowns();
    keysink = sum;
    out.keysseen += seen;
    keys[r] = static_cast<double>(t1 - t0) / calls;
    gettimes[r] = static_cast<double>(t2 - t1) / calls;
    clocks[r] = static_cast<double>(t3 - t2) / calls;
    ratios[r] = keys[r] / gettimes[r];
  }
  out.keyavailable = median(keys, reps);
  out.gettime = median(gettimes, reps);
  out.clockms = median(clocks, reps);
  out.ratio = median(ratios, reps);
  return out;
}

int readall(int fd, void *buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, static_cast<char *>(buf) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    got += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

void benchkeys(void) {
  fprintf(report, "\nKey poll on a quiet pseudo-terminal (terminal keyboard layer)\n");
  fflush(report);
  int pipefd[2];
  if (pipe(pipefd) != 0) {
    perror("quon_bench: pipe");
    ++benchfailures;
    return;
  }
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) {
    perror("quon_bench: forkpty");
    ++benchfailures;
    return;
  }
  if (child == 0) {
    close(pipefd[0]);
    KeyFigures f = measurekeys();
    ssize_t written = write(pipefd[1], &f, sizeof f);
    _exit(written == static_cast<ssize_t>(sizeof f) ? 0 : 1);
  }
  close(pipefd[1]);
  KeyFigures f;
  int got = readall(pipefd[0], &f, sizeof f);
  close(pipefd[0]);
  int status = 0;
  waitpid(child, &status, 0);
  close(master);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(report, "  SELF-CHECK FAILED: the key-poll child did not report\n");
    ++benchfailures;
    return;
  }
  if (f.keysseen != 0) {
    fprintf(report, "  SELF-CHECK FAILED: %d keys seen on a terminal nobody "
            "typed on\n", f.keysseen);
    ++benchfailures;
  }
  figure("keyavailable, no key pending", f.keyavailable, "ns/call");
  figure("clock_gettime(CLOCK_MONOTONIC)", f.gettime, "ns/call");
  figure("clockms (the program's clock)", f.clockms, "ns/call");
  figure("keyavailable / clock_gettime", f.ratio, "x");
  target("keyavailable / clock_gettime", f.ratio, 1.0, "x");
}
