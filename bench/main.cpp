// quon_bench: how fast the main loop turns, how soon threads react, how
// late DELAYs end and how fast scripts load. See PERFORMANCE.md beside this
// file for what each figure means and what limits it.
//
// The measurements run in a child that has a fresh pseudo-terminal as its
// controlling terminal, so the key poll of every pass goes through the real
// terminal keyboard layer with no key pending, as in a user's run, however
// the benchmark was started (a terminal, a pipe, CI). Standard output is
// sent to /dev/null so that notes printed by scripts cost their write but
// do not flood the report, which goes to the original standard output.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench.h"

#ifndef QUON_EXAMPLES_DIR
#define QUON_EXAMPLES_DIR "examples"
#endif

namespace {

const char *USAGE =
    "usage: quon_bench [--smoke] [--no-pty] [--repetitions N] [--sample-ms MS]\n"
    "                  [--demo FILE] [--only PART]\n"
    "  --smoke          tiny counts: proves that every measurement runs (CI)\n"
    "  --no-pty         measure in this process, with whatever terminal it has\n"
    "  --repetitions N  samples per figure, median reported (default 15)\n"
    "  --sample-ms MS   length of one timed sample of passes (default 20)\n"
    "  --demo FILE      the demo script (default: the examples folder's)\n"
    "  --only PART      one part: keys, passes, reaction, delays,\n"
    "                   loading, tracing, publishing, service, realtime,\n"
    "                   flags, bridges, testbench or keyin\n";

const char *only = nullptr;  // the one part to run; nullptr: all

// Every part --only may name: a misspelt one would run nothing and report
// no figure at all, which reads like a pass.
const char *const PARTS[] = {"keys",    "passes",     "reaction", "delays",   "loading",
                             "tracing", "publishing", "service",  "realtime", "flags",
                             "bridges", "testbench", "keyin"};

int knownpart(const char *part) {
  for (const char *p : PARTS) {
    if (strcmp(p, part) == 0) return 1;
  }
  return 0;
}

int wanted(const char *part) { return only == nullptr || strcmp(only, part) == 0; }

void setdefaults(void) {
  benchopt.smoke = 0;
  benchopt.repetitions = 15;
  benchopt.samplems = 20;
  benchopt.delays = 1000;
  benchopt.reactions = 1000;
  benchopt.loadsmall = 20000;
  benchopt.loadlarge = 200000;
  benchopt.demo = QUON_EXAMPLES_DIR "/demo.qun";
}

void setsmoke(void) {
  benchopt.smoke = 1;
  benchopt.repetitions = 3;
  benchopt.delays = 20;
  benchopt.reactions = 20;
  benchopt.loadsmall = 2000;
  benchopt.loadlarge = 20000;
}

[[noreturn]] void badusage(void) {
  fputs(USAGE, stderr);
  exit(2);
}

void readarguments(int argc, char **argv, int *usepty) {
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (strcmp(a, "--smoke") == 0) {
      setsmoke();
    } else if (strcmp(a, "--no-pty") == 0) {
      *usepty = 0;
    } else if (strcmp(a, "--repetitions") == 0 && value != nullptr) {
      benchopt.repetitions = atoi(value);
      if (benchopt.repetitions < 1 || benchopt.repetitions > 64) badusage();
      ++i;
    } else if (strcmp(a, "--sample-ms") == 0 && value != nullptr) {
      benchopt.samplems = atof(value);
      if (!(benchopt.samplems > 0 && benchopt.samplems <= 10000)) badusage();
      ++i;
    } else if (strcmp(a, "--demo") == 0 && value != nullptr) {
      benchopt.demo = value;
      ++i;
    } else if (strcmp(a, "--only") == 0 && value != nullptr) {
      if (!knownpart(value)) badusage();
      only = value;
      ++i;
    } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      fputs(USAGE, stdout);
      exit(0);
    } else {
      badusage();
    }
  }
}

// Copies what the measuring child writes on its terminal (error messages)
// to standard error until the child is gone; returns its exit status.
int relaychild(pid_t child, int master) {
  char buf[512];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child's side of the terminal is closed
    ssize_t ignored = write(2, buf, static_cast<size_t>(n));
    (void)ignored;
  }
  close(master);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  fprintf(stderr, "quon_bench: the measuring child ended by signal %d\n",
          WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 1;
}

std::string cpumodel(void) {
  std::string info = readwholefile("/proc/cpuinfo");
  size_t at = info.find("model name");
  if (at == std::string::npos) return "unknown CPU";
  at = info.find(':', at);
  size_t end = info.find('\n', at);
  if (at == std::string::npos) return "unknown CPU";
  return info.substr(at + 2, end == std::string::npos ? end : end - at - 2);
}

void printheader(int usepty) {
  fprintf(report, "quon_bench%s: %ld processors, %s\n", benchopt.smoke ? " --smoke" : "",
          sysconf(_SC_NPROCESSORS_ONLN), cpumodel().c_str());
  fprintf(report, "keys: terminal keyboard layer on %s; clock: CLOCK_MONOTONIC; "
          "notes printed to /dev/null, line buffered\n",
          usepty ? "a pseudo-terminal nobody types on" : "this process's own terminal, if any");
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_ADDRESS__)
  fprintf(report, "WARNING: unoptimised or sanitizer build: the figures say "
          "nothing about speed\n");
#endif
  fflush(report);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--load-child") == 0) {
    return loadchild(static_cast<int32_t>(atol(argv[2])));
  }
  setdefaults();
  int usepty = 1;
  readarguments(argc, argv, &usepty);

  int reportfd = dup(1);
  if (reportfd < 0) {
    perror("quon_bench: dup");
    return 1;
  }
  fflush(nullptr);
  if (usepty) {
    int master = -1;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
      perror("quon_bench: forkpty");
      return 1;
    }
    if (child > 0) return relaychild(child, master);
  }

  report = fdopen(reportfd, "w");
  int devnull = open("/dev/null", O_WRONLY);
  if (report == nullptr || devnull < 0 || dup2(devnull, 1) < 0) {
    perror("quon_bench: report");
    return 1;
  }
  close(devnull);
  setvbuf(stdout, nullptr, _IOLBF, 0);  // as the program prints its notes

  printheader(usepty);
  // Keys first: its child must not inherit a keyboard already started.
  if (wanted("keys")) benchkeys();
  if (wanted("passes")) benchpasses();
  if (wanted("reaction")) benchreaction();
  if (wanted("delays")) benchdelays();
  if (wanted("loading")) benchloading();
  if (wanted("tracing")) benchtracing();
  if (wanted("publishing")) benchpublishing();
  if (wanted("keyin")) benchkeyin();
  if (wanted("service")) benchservice();
  if (wanted("realtime")) benchrealtime();
  if (wanted("flags")) benchflags();
  if (wanted("bridges")) benchbridges();
  if (wanted("testbench")) {  // last: leaves the clock simulated
    benchexpectations();
    benchkills();
    benchsuites();
    benchsimulation();
  }
  printtargets();
  if (benchfailures != 0) {
    fprintf(report, "\n%d self-check(s) failed: the figures above are not "
            "comparable\n", benchfailures);
  }
  fflush(report);
  return benchfailures != 0 ? 1 : 0;
}
