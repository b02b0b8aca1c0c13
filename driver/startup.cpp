#include "driver/startup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/token.h"
#include "driver/dump.h"
#include "core/fatal.h"
#include "core/log.h"
#include "driver/loader.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "platform/files.h"
#include "platform/portio.h"
#include "platform/shell.h"
#include "port/calibrate.h"
#include "port/port.h"
#include "platform/clock.h"
#include "testbench/testbench.h"
#include "publish/publish.h"
#include "text/casefold.h"
#include "trace/trace.h"

namespace {
const char *const USAGE[] = {
    "QUON [-v | /v] [-d | /d] [-? | /?] [<file>]\n\n",
    "   -v = Verbose flag:\n",
    "        Full source of script file printed to file QUON.log\n\n",
    "   -d = Dump flag:\n",
    "        Tokens displayed for script file, line by line,\n",
    "        and the first entry of each thread.\n\n",
    "   -?   Prints this message.\n\n",
    "   <file> is the name of the script source file. If no extension\n",
    "        is specified, \".QUN\" is assumed.\n\n",
};

// The long options, which only --help lists: -? and /? print the usage
// text alone, as they always did.
const char *const LONGUSAGE[] = {
    "   --testbench=<file>  Runs the script on the simulated port under the\n",
    "        testbench <file> (inputs, keys, expected outputs, simulated time).\n",
    "   --ports         Lists the parallel ports and the one logical port 0 takes.\n",
    "   --port=<port>   Logical port 0 at <port> (parportN, or an address such as\n",
    "        0x378); --port1=<port> does the same for logical port 1.\n",
    "   --trace=<file>  Every line change of the run recorded in <file>\n",
    "        (a VCD waveform for GTKWave or PulseView).\n",
    "   --help          Prints this message.\n",
    "   --version       Prints the program's name and version.\n",
};

[[noreturn]] void usage(bool withlong) {
  for (const char *line : USAGE) fputs(line, stdout);
  for (const char *line : LONGUSAGE) {
    if (withlong) fputs(line, stdout);
  }
  fflush(stdout);
  exit(0);
}

// The file named by --trace=; nullptr: no trace.
const char *tracename = nullptr;
// The file named by --testbench=; nullptr: the run is the user's.
const char *benchname = nullptr;
Testbench bench;

// Every port the system knows, and which one logical port 0 takes.
[[noreturn]] void listports(void) {
  std::vector<KnownPort> ports;
  int32_t word = 0;
  ioports(&ports, &word);
  for (const KnownPort &p : ports) {
    char hi[16] = "none";
    if (p.basehi >= 0) snprintf(hi, sizeof hi, "0x%x", static_cast<unsigned>(p.basehi));
    printf("%-9s base 0x%x  extended %-6s  modes %s\n", p.name.c_str(), p.base, hi,
           p.modes.empty() ? "-" : p.modes.c_str());
  }
  if (word > 0) printf("BIOS data area: 0x%x\n", static_cast<unsigned>(word));
  else printf("BIOS data area: %s\n", word == 0 ? "no port recorded" : "not readable (root only)");
  if (word > 0) {
    printf("logical port 0: 0x%x, the port the BIOS data area records\n", static_cast<unsigned>(word));
  } else if (!ports.empty()) {
    printf("logical port 0: 0x%x, %s (the BIOS data area names none)\n", ports[0].base,
           ports[0].name.c_str());
  } else {
    printf("No parallel port found: for a PCIe card load the parport_pc module "
           "(modprobe parport_pc); without a port, run scripts with quon-sim.\n");
  }
  fflush(stdout);
  exit(0);
}

// --port=parportN or --port=ADDRESS (hexadecimal with 0x, or decimal).
uint32_t portvalue(const char *option, const char *value) {
  std::vector<KnownPort> ports;
  int32_t word = 0;
  ioports(&ports, &word);
  if (strncmp(value, "parport", 7) == 0) {
    for (const KnownPort &p : ports) {
      if (p.name == value) return p.base;
    }
    fatal("%s%s: the kernel lists no such port (see --ports)\n", option, value);
  }
  char *end = nullptr;
  errno = 0;
  unsigned long base = strtoul(value, &end, 0);
  if (*value == '\0' || *value == '-' || errno != 0 || *end != '\0' || base == 0 || base > 0xFFFD) {
    fatal("%s%s: not a port (parportN as --ports lists them, or an address such as 0x378)\n",
          option, value);
  }
  bool listed = false;
  for (const KnownPort &p : ports) listed = listed || p.base == base;
  if (!listed) {
    std::string owner = ioowner(static_cast<uint32_t>(base));
    if (owner.empty()) {
      fprintf(stderr, "Warning: %s%s: 0x%lx is no port the kernel lists; used as given\n", option,
              value, base);
    } else {
      fprintf(stderr,
              "Warning: %s%s: 0x%lx is no parallel port: the kernel gives it to %s; used as "
              "given\n",
              option, value, base, owner.c_str());
    }
  }
  return static_cast<uint32_t>(base);
}

// Long options ("--name" or "--name=value"); an unknown one is ignored
// like every other argument that begins with '-'.
void longoption(const char *arg) {
  if (strcmp(arg, "--ports") == 0) listports();
  if (strncmp(arg, "--port=", 7) == 0) chosenbase[0] = portvalue("--port=", arg + 7);
  if (strncmp(arg, "--port1=", 8) == 0) chosenbase[1] = portvalue("--port1=", arg + 8);
  if (strcmp(arg, "--help") == 0) usage(true);
  if (strcmp(arg, "--version") == 0) {
    printf("%s\n", programidentity);
    fflush(stdout);
    exit(0);
  }
  if (strncmp(arg, "--trace=", 8) == 0) tracename = arg + 8;
  if (strncmp(arg, "--testbench=", 12) == 0) benchname = arg + 12;
}

// Warnings found before the log exists (an ambiguous script name); they go
// to the log as soon as it is created.
std::string pendingwarnings;

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

// Opens a script name argument; a name without any '.' gets ".qun".
void openscript(const char *argument) {
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
  pendingwarnings += casewarning(infilename, matches);
  free(infilename);
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

const char *programidentity = "quon";

void readarguments(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (strlen(arg) >= 2 && prefixmatch(arg, "-v", 2)) {
      prog.verbose = FLAG_ON;
    } else if (strlen(arg) >= 2 && prefixmatch(arg, "-d", 2)) {
      prog.dump = FLAG_ON;
    } else if (strlen(arg) >= 2 && prefixmatch(arg, "-b", 2)) {
      prog.portdebug = FLAG_ON;
    } else if (strlen(arg) >= 2 &&
               (prefixmatch(arg, "-?", 2) || prefixmatch(arg, "/?", 2))) {
      usage(false);
    } else if (arg[0] == '-' && arg[1] == '-') {
      longoption(arg);
    } else if (arg[0] == '-') {
      // Unknown options are ignored.
    } else {
      openscript(arg);
    }
  }
}

int scancalibration(FILE *f) {
  return scanhex(f, 2, &prog.calctl) && scanhex(f, 4, &prog.calinv);
}

namespace {
// QUON.log, created empty at every run. A privileged run must never empty
// a file elsewhere through a name that someone planted in the folder.
void openlog(void) {
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
// be used ends the start-up with the reason.
void opentrace(void) {
  if (tracename == nullptr) return;
  if (*tracename == '\0') fatal("Unable to open trace file \"\"! (no file name after --trace=)\n");
  if (traceopen(tracename) == 0) return;
  const char *reason = errno == ELOOP    ? "a symbolic link, which is never followed"
                       : errno == EMLINK ? "it shares its file with another name (a hard link)"
                                         : strerror(errno);
  fatal("Unable to open trace file \"%s\"! (%s)\n", tracename, reason);
}

// A testbench is read whole before anything runs: a bad one ends the
// start-up with its file and line.
void readbench(void) {
  if (benchname == nullptr) return;
  if (!iosimulated()) fatal("A testbench needs the simulated port: run it with quon-sim.\n");
  std::string error;
  if (*benchname == '\0') fatal("--testbench= needs a file name\n");
  if (testbenchread(benchname, &bench, &error) != 0) fatal("%s\n", error.c_str());
}

}  // namespace

void starttrace(void) {
  TraceStart start{};
  start.version = programidentity;
  start.dated = benchname == nullptr;
  start.ports = portsaddressed(prog.tokens, prog.tokencount) & ((1u << LOGICAL_PORTS) - 1);
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (((start.ports >> n) & 1) == 0) continue;
    start.out[n] = portreadback(n);
    start.in[n] = portsample(n);
  }
  tracebegin(start);
}

namespace {

// Monitors attach to the state of the run. Where no region can be made
// (no /dev/shm) the run goes on unwatched and says nothing: what a run
// prints stays what it always printed.
void startpublishing(void) {
  if (benchname != nullptr) return;  // a testbench runs on its own time, unwatched
  (void)publishstart();
}

// The errors themselves are in the log, which a new user may not know to
// open: one line on the console says they are there.
void reportscripterrors(void) {
  if (prog.scripterrors == 0) return;
  fprintf(stderr, "QUON.log: %ld script error%s (first at line %ld)\n",
          static_cast<long>(prog.scripterrors), prog.scripterrors == 1 ? "" : "s",
          static_cast<long>(prog.firsterrorline));
}
}  // namespace

int quonmain(int argc, char **argv) {
  // Run-time messages reach a pipe or a logger as they are printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  readarguments(argc, argv);
  opentrace();
  readbench();

  if (locateport() == -1) {
    fatal("Unable to locate printer port!\n%s\n", porthint);
  }
  commandchildhook(iorelease);  // a SPAWN'd command gets no port access
  if (portnote != nullptr && prog.verbose) fprintf(stderr, "Note: %s\n", portnote);
  if (portwarning != nullptr) fprintf(stderr, "Warning: %s\n", portwarning);

  openlog();
  logprintf("%s", pendingwarnings.c_str());

  if (prog.infile == nullptr) prog.infile = stdin;

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

  loadprogram();
  // Nothing is written to the log after loading: put it on disk now, so a
  // run ended by a signal still leaves every script error there.
  checklog(0);
  reportscripterrors();
  if (prog.dump) showdump();
  if (prog.verbose) checklog(1);
  if (benchname != nullptr) clocksetus(0);  // the bench's time starts here
  startpublishing();
  if (tracename != nullptr) starttrace();
  if (benchname != nullptr) return testbenchrun(&bench);
  return mainloop();
}
