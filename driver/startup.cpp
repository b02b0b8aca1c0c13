#include "driver/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check/check.h"
#include "compiler/token.h"
#include "core/fatal.h"
#include "core/log.h"
#include "core/tables.h"
#include "core/watch.h"
#include "driver/dump.h"
#include "driver/loader.h"
#include "driver/mainloop.h"
#include "driver/ports.h"
#include "latency/latency.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/lastwords.h"
#include "platform/portio.h"
#include "platform/sharedmem.h"
#include "platform/shell.h"
#include "port/calibrate.h"
#include "port/linemap.h"
#include "port/port.h"
#include "port/safe.h"
#include "publish/publish.h"
#include "realtime/realtime.h"
#include "service/service.h"
#include "testbench/testbench.h"
#include "text/casefold.h"
#include "trace/trace.h"

namespace {

// When a name was matched without regard to case and other names would have
// matched too, the user learns which file was taken.
std::string casewarning(const char *asked, const std::vector<std::string> &matches) {
  if (matches.empty()) return "";
  std::string names;
  for (const std::string &m : matches) names += (names.empty() ? "" : ", ") + m;
  return std::string("Warning: ") + asked + " is not there, and " + names +
         " differ from it only in case; opened " + matches[0] +
         ", the first in byte order\n";
}

// Up to maxdigits hexadecimal digits after optional white space, as the
// scan format "%02x %04x" reads them. Returns 1 when a digit was read.
int scanhex(FILE *f, int maxdigits, uint16_t *value) {
  int c;
  do {
    c = getc(f);
  } while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
           c == '\f');
  unsigned result = 0;
  int digits = 0;
  while (digits < maxdigits && c != EOF) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    result = result * 16 + static_cast<unsigned>(d);
    ++digits;
    if (digits < maxdigits) c = getc(f);
  }
  if (digits < maxdigits && c != EOF) ungetc(c, f);
  if (digits == 0) return 0;
  *value = static_cast<uint16_t>(result);
  return 1;
}
}  // namespace

void openscript(const char *argument, RunChoices *run) {
  size_t length = strlen(argument);
  char *infilename = static_cast<char *>(malloc(length + 1));
  if (infilename == nullptr) outofmemory();
  memcpy(infilename, argument, length + 1);
  if (strchr(infilename, '.') == nullptr) {
    char *extended = static_cast<char *>(realloc(infilename, length + 5));
    if (extended == nullptr) fatal("Unable to resize free memory! (infilename)\n");
    infilename = extended;
    memcpy(infilename + length, ".qun", 5);
  }
  // A file opened by an earlier name argument stays open, unread.
  std::vector<std::string> matches;
  prog.infile = fopencase(infilename, "re", &matches);
  if (prog.infile == nullptr) fatal("Unable to open %s for read!\n\n", infilename);
  run->script = infilename;
  run->warnings += casewarning(infilename, matches);
  free(infilename);
}

int scancalibration(FILE *f) {
  return scanhex(f, 2, &prog.calctl) && scanhex(f, 4, &prog.calinv);
}

const char *runinput(const struct stat &file, const RunChoices &run,
                     const std::vector<Testbench> &benches) {
  struct stat st;
  // Standard input is the script when no name was given.
  if (fstat(prog.infile != nullptr ? fileno(prog.infile) : STDIN_FILENO, &st) == 0 &&
      samefile(st, file)) {
    return "script";
  }
  if (run.bench != nullptr && stat(run.bench, &st) == 0 && samefile(st, file)) return "testbench";
  for (const char *name : run.benches) {
    if (stat(name, &st) == 0 && samefile(st, file)) return "testbench";
  }
  for (const Testbench &bench : benches) {
    for (const std::string &replay : bench.replays) {
      if (stat(replay.c_str(), &st) == 0 && samefile(st, file)) return "replay file";
    }
  }
  char ini[4096];  // QUON.INI as the run finds it, whatever its case
  if (findcasename("QUON.INI", ini, sizeof ini) == 0 && stat(ini, &st) == 0 && samefile(st, file)) {
    return "calibration file";
  }
  // The log is never reached through a link: only the name itself counts.
  if (lstat("QUON.log", &st) == 0 && samefile(st, file)) return "log";
  return nullptr;
}

namespace {
// QUON.log, created empty at every run. A privileged run must never empty
// a file elsewhere through a name that someone planted in the folder.
void openlog(void) {
  // Under a service manager the run before a restart is the one that
  // failed: its log is kept beside the new one.
  if (servicemanaged() && keepprevious("QUON.log") < 0) {
    fatal("Unable to keep the last run's QUON.log as %s! (%s)\n",
          previousname("QUON.log").c_str(), strerror(errno));
  }
  prog.logfile = createforwrite("QUON.log");
  if (prog.logfile != nullptr) return;
  if (errno == ELOOP) {
    fatal("Unable to open QUON.log for write!\n"
          "QUON.log is a symbolic link, which is never followed: remove it, "
          "or run in a folder of your own.\n");
  }
  if (errno == EMLINK) {
    fatal("Unable to open QUON.log for write!\n"
          "QUON.log shares its file with another name (a hard link), which "
          "emptying it would empty too: remove it, or run in a folder of "
          "your own.\n");
  }
  const char *kind = errno == ENXIO ? filekind("QUON.log") : nullptr;
  if (kind != nullptr) {
    fatal("Unable to open QUON.log for write!\n"
          "QUON.log is %s, not a regular file: remove it, or run in a folder "
          "of your own.\n",
          kind);
  }
  fatal("Unable to open QUON.log for write!\n\n");
}

// Opens QUON.INI, whatever the case of its name.
FILE *openini(void) {
  std::vector<std::string> matches;
  FILE *f = fopencase("QUON.INI", "re", &matches);
  if (f != nullptr) logprintf("%s", casewarning("QUON.INI", matches).c_str());
  return f;
}

// Everything loading wrote must be on disk before a thread runs: a run
// whose listing or errors were lost would look clean.
void checklog(int closing) {
  if (prog.logfile == nullptr) return;
  int error = prog.logerror;
  errno = 0;
  int failed = ferror(prog.logfile) || error != 0;
  if (closing) {
    failed = fclose(prog.logfile) != 0 || failed;
    prog.logfile = nullptr;
  } else {
    failed = fflush(prog.logfile) != 0 || failed;
  }
  if (!failed) return;
  if (error == 0) error = errno != 0 ? errno : EIO;
  fatal("Unable to write QUON.log! (%s)\n", strerror(error));
}

// The trace file, created before the port is touched: a name that cannot
// be used, or that is one of the run's own files, ends the start-up with
// the reason before anything is emptied; a file made only to be refused is
// taken away again.
void opentrace(const RunChoices &run, const std::vector<Testbench> &benches) {
  if (run.trace == nullptr) return;
  // Under a service manager the last run's trace is kept, as its log is,
  // unless the name is one of this run's own input files (refused below).
  struct stat before;
  if (servicemanaged() && lstat(run.trace, &before) == 0 &&
      runinput(before, run, benches) == nullptr && keepprevious(run.trace) < 0) {
    fatal("Unable to keep the last run's trace \"%s\" as \"%s\"! (%s)\n", run.trace,
          previousname(run.trace).c_str(), strerror(errno));
  }
  // From the moment the file has a name it is a whole trace: an ending
  // signal waits until the opening is written and the trace's stop stage
  // is set, then ends it properly.
  sigset_t old;
  lastwordshold(&old);
  struct stat st;
  bool created = false;
  int fd = openfdforwrite(run.trace, &st, &created);
  if (fd < 0) {
    const char *kind = errno == ENXIO ? filekind(run.trace) : nullptr;
    std::string reason = errno == ELOOP    ? "a symbolic link, which is never followed"
                         : errno == EMLINK ? "it shares its file with another name (a hard link)"
                         : kind != nullptr ? std::string(kind) + ", not a regular file"
                                           : strerror(errno);
    fatal("Unable to open trace file \"%s\"! (%s)\n", run.trace, reason.c_str());
  }
  const char *input = runinput(st, run, benches);
  if (input != nullptr) {
    close(fd);
    if (created) removesamefile(run.trace, st);
    fatal("Unable to open trace file \"%s\"! (it is the run's own %s)\n", run.trace, input);
  }
  traceuse(fd, run.trace);
  // A trace whose opening could not be written (a full disk) would be an
  // empty file that no reader takes: it goes, the run goes on untraced.
  if (!traceready()) removesamefile(run.trace, st);
  lastwordsrelease(&old);
}

// Every testbench is read whole before anything runs: a bad one ends the
// start-up with its file and line, unless a report is asked for, which
// holds it as an error while the others run.
void readbenches(const RunChoices &run, std::vector<Testbench> *benches) {
  if (run.bench == nullptr) return;
  if (!iosimulated()) fatal("A testbench needs the simulated port: run it with quon-sim.\n");
  bool reporting = run.junit != nullptr || run.tap != nullptr;
  benches->resize(run.benches.size());
  for (size_t i = 0; i < run.benches.size(); ++i) {
    Testbench &bench = (*benches)[i];
    std::string error;
    if (testbenchread(run.benches[i], &bench, &error) == 0) continue;
    if (!reporting) fatal("%s\n", error.c_str());
    fprintf(stderr, "%s\n", error.c_str());
    bench = Testbench{};
    bench.name = run.benches[i];
    bench.error = error;
  }
}

// The reports replace their files: never one the run reads, and the
// coverage names its script, so the script must have a name.
void checkreports(const RunChoices &run, const std::vector<Testbench> &benches) {
  const struct {
    const char *option, *file;
  } reports[] = {{"--junit", run.junit}, {"--tap", run.tap}, {"--coverage", run.coverage}};
  for (const auto &r : reports) {
    struct stat st;
    if (r.file == nullptr || stat(r.file, &st) != 0) continue;
    const char *input = runinput(st, run, benches);
    if (input != nullptr) fatal("%s=%s: it is the run's own %s\n", r.option, r.file, input);
  }
  if (run.coverage != nullptr && prog.infile == nullptr) {
    fatal("--coverage=%s needs the script named on the command line\n", run.coverage);
  }
  if (run.coverage != nullptr && run.script.find_first_of("\n\r") != std::string::npos) {
    fatal("--coverage=%s: the script's name holds a line break, which a tracefile cannot hold\n",
          run.coverage);
  }
}

}  // namespace

void starttrace(bool dated) {
  TraceStart start{};
  start.version = programidentity;
  start.dated = dated;
  start.ports = portsaddressed(prog.tokens, prog.tokencount) & ((1u << LOGICAL_PORTS) - 1);
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (((start.ports >> n) & 1) == 0) continue;
    start.out[n] = portreadback(n);
    start.in[n] = portsample(n, nullptr);
  }
  // The banks the script uses, as for the lines: a bank nobody addresses
  // moves nothing in the run.
  start.banks = portsaddressed(prog.tokens, prog.tokencount) & portflagged();
  for (int32_t n = FLAG_FIRST; n < PORT_NUMBERS; ++n) start.flag[n] = flagbits(n);
  tracebegin(start);
}

namespace {

// Logical port 1's base is kept from other QUONs only where the run drives
// it (used: a bit per logical port), so a run of port 0 alone leaves the
// second port to others.
void holdsecondport(unsigned used) {
  const char *hint = "", *note = nullptr;
  if ((used & 2u) == 0 || portsongpio()) return;
  if (iohold(&hint, &note) != 0) fatal("Unable to locate printer port!\n%s\n", hint);
  if (note != nullptr && prog.verbose) fprintf(stderr, "Note: %s\n", note);
}

// What a SPAWN'd command's process drops before the command runs: the
// port, and the real-time mode's priority, processor and locked memory.
void spawnchild(void) {
  iorelease();
  realtimechild();
}

// QUON.INI, calibrating first when there is none.
void readcalibration(void) {
  prog.inifile = openini();
  if (prog.inifile == nullptr) {
    fputs("Unable to open QUON.INI. Running calibration!\n", stderr);
    if (calibrate() == 0) fatal("Could not complete calibration!\n");
    prog.inifile = openini();
    if (prog.inifile == nullptr) {
      fatal("Unable to open QUON.INI after calibration!\n");
    }
  }
  if (!scancalibration(prog.inifile)) {
    fatal("Error reading QUON.INI - incomplete data.\n");
  }
}

// The errors themselves are in the log, which a new user may not know to
// open: one line on the console says they are there.
void reportscripterrors(void) {
  if (prog.scripterrors == 0) return;
  fprintf(stderr, "QUON.log: %ld script error%s (first at line %ld)\n",
          static_cast<long>(prog.scripterrors), prog.scripterrors == 1 ? "" : "s",
          static_cast<long>(prog.firsterrorline));
}

// The features that watch or drive the loop, once the script is loaded.
// A testbench runs on simulated time from here, unwatched by monitors;
// any other run publishes its state where it can (where no region can be
// made, as without /dev/shm or with /dev/shm full, it goes on unwatched
// and says nothing: what a run prints stays what it always printed). Only
// names taken by someone else, every one tried, are worth a line: someone
// keeps the run from being watched.
void startfeatures(const RunChoices &run) {
  if (run.bench != nullptr) {
    clocksetus(0);
  } else if (publishstart(portsample) != 0) {
    if (errno == EEXIST) {
      fprintf(stderr, "Warning: unwatched: the names of its region under %s are taken by others\n",
              SHARED_FOLDER);
    } else if (errno == EPERM && run.regiongroup >= 0) {
      fprintf(stderr, "Warning: unwatched: the region cannot be given to group %ld\n", run.regiongroup);
    }
  }
  if (run.trace != nullptr) starttrace(run.bench == nullptr);
  if (run.realtime != 0) {
    realtimestart(run.realtime, run.cpu, run.budget != 0 ? static_cast<unsigned>(run.budget) : BUDGET_DEFAULT);
  }
  if (realtimeon) publishrealtime();
  if (run.bench == nullptr) serviceready(run.script.c_str(), prog.threadcount);
}

// --check: the script compiled and reported on; nothing else is touched.
int checkscript(const RunChoices &run) {
  if (prog.infile == nullptr) prog.infile = stdin;
  loadprogram(checkbegin(run.script.c_str()));
  if (ferror(prog.infile)) fatal("Unable to read %s!\n", run.script.c_str());
  checkprogram();
  return checkfinish();
}

// Logical port n as --port= or --port1= gave it: one port is either on
// GPIO lines or on a parallel port, never both, whatever was given last.
void actonport(int32_t n, const char *value, bool check, PortGiven given[LOGICAL_PORTS]) {
  const char *option = n == 0 ? "--port=" : "--port1=";
  PortGiven kind = isgpiovalue(value) ? PortGiven::GPIO : PortGiven::REGISTERS;
  if (given[n] != PortGiven::NOTHING && given[n] != kind) {
    fatal("%s%s: logical port %ld is on %s already (a GPIO port and a parallel port cannot be "
          "mixed)\n",
          option, value, static_cast<long>(n),
          given[n] == PortGiven::GPIO ? "GPIO lines" : "a parallel port");
  }
  // A check opens no chip: the map is only read.
  given[n] = chooseport(n, option, value, !check);
}

// What the command line asked for, in the order it asked: the scripts
// opened, the ports resolved, a message printed (and the program left).
// Then the choices that only hold together, and the safe patterns.
void actonarguments(RunChoices *run) {
  PortGiven given[LOGICAL_PORTS] = {PortGiven::NOTHING, PortGiven::NOTHING};
  for (const ArgumentStep &s : run->steps) {
    switch (s.kind) {
      case StepKind::SCRIPT: openscript(s.text.c_str(), run); break;
      case StepKind::PORT0: actonport(0, s.text.c_str(), run->check, given); break;
      case StepKind::PORT1: actonport(1, s.text.c_str(), run->check, given); break;
      case StepKind::REFUSE: fatal("%s", s.text.c_str());
      case StepKind::USAGE:
      case StepKind::HELP:
      case StepKind::VERSION:
      case StepKind::PORTS:
        if (s.kind == StepKind::VERSION) printf("%s\n", programidentity);
        else if (s.kind == StepKind::PORTS) listports();
        else printusage(s.kind == StepKind::HELP);
        fflush(stdout);
        exit(0);
    }
  }
  std::string conflict = conflictingchoices(*run);
  if (!conflict.empty()) fatal("%s", conflict.c_str());
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (run->safe[n]) safedeclare(n, run->safepattern[n]);
  }
  portflagbanks(run->flags);
  portspin(run->spin);
  sharedgroup(run->regiongroup);
}

}  // namespace

int quonmain(int argc, char **argv) {
  // Run-time messages reach a pipe or a logger as they are printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  RunChoices run = readarguments(argc, argv);
  actonarguments(&run);
  if (run.latency != 0) {
    return latencytest({run.latency, run.json, run.realtime, run.cpu, run.budget, run.script != "-",
                        run.bench != nullptr, run.check, run.trace != nullptr,
                        [] { loadprogram(); }});
  }
  if (run.check) return checkscript(run);
  servicetake();
  // The testbenches first: the trace must know every file the run reads.
  std::vector<Testbench> benches;
  readbenches(run, &benches);
  checkreports(run, benches);
  opentrace(run, benches);

  if (locateport() == -1) {
    fatal("Unable to locate printer port!\n%s\n", porthint);
  }
  holdsecondport(safeports());  // a safe pattern drives it at every end
  commandchildhook(spawnchild);
  safearm();  // from here on, every stop leaves the declared safe outputs
  if (portnote != nullptr && prog.verbose) fprintf(stderr, "Note: %s\n", portnote);
  if (portwarning != nullptr) fprintf(stderr, "Warning: %s\n", portwarning);

  openlog();
  logprintf("%s", run.warnings.c_str());

  if (prog.infile == nullptr) prog.infile = stdin;

  if (run.bench != nullptr) {
    // A bench gives the same verdict in every folder: the simulated port's
    // own test connector, never a calibration file or a calibration run.
    prog.calctl = BENCH_CALCTL;
    prog.calinv = BENCH_CALINV;
  } else if (!portsongpio()) {
    readcalibration();
  }
  // GPIO lines read as they are: no calibration, no QUON.INI.

  loadprogram();
  holdsecondport(portsaddressed(prog.tokens, prog.tokencount));
  int32_t unwired = portunwired(portsaddressed(prog.tokens, prog.tokencount));
  if (unwired >= 0) {
    fatal("The script uses logical port %ld, which has no GPIO lines: give them with "
          "--port%s=CHIP:out=...:in=...\n",
          static_cast<long>(unwired), unwired == 0 ? "" : "1");
  }
  // Nothing is written to the log after loading: put it on disk now, so a
  // run ended by a signal still leaves every script error there.
  checklog(0);
  reportscripterrors();
  if (prog.dump) showdump();
  if (prog.verbose) checklog(1);
  startfeatures(run);
  if (run.bench == nullptr) return mainloop();
  BenchReports reports;
  reports.junit = run.junit;
  reports.tap = run.tap;
  reports.coverage = run.coverage;
  reports.script = run.script;
  return testbenchsuite(&benches, reports);
}

void resetrun(void) {
  resettables();
  resetports();
  traceclose();
  publishreset();
  testbenchreset();
  safereset();
  servicereset();
  checkreset();
  watchreset();
}
