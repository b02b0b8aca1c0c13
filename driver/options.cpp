#include "driver/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/fatal.h"
#include "core/tables.h"
#include "driver/startup.h"
#include "platform/gpio.h"
#include "platform/portio.h"
#include "platform/rtsched.h"
#include "port/linemap.h"
#include "port/port.h"
#include "port/safe.h"
#include "realtime/realtime.h"
#include "compiler/literals.h"
#include "text/casefold.h"

const char *programidentity = "quon";

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

void printlongoptions(void);

// -? and /? print the usage text alone, as they always did; --help adds
// the long options.
[[noreturn]] void usage(bool withlong) {
  for (const char *line : USAGE) fputs(line, stdout);
  if (withlong) printlongoptions();
  fflush(stdout);
  exit(0);
}

// ------------------------------------------------------------ handlers

void help(const char *, RunChoices *) { usage(true); }

void version(const char *, RunChoices *) {
  printf("%s\n", programidentity);
  fflush(stdout);
  exit(0);
}

// The GPIO chips, each line with its name and holder; nothing when the
// system has none.
void listgpiochips(void) {
  for (const GpioChipInfo &chip : gpiochips()) {
    if (!chip.problem.empty()) {
      printf("%-9s %s\n", chip.device.c_str(), chip.problem.c_str());
      continue;
    }
    printf("%-9s label \"%s\"  %zu lines\n", chip.device.c_str(), chip.label.c_str(),
           chip.lines.size());
    for (size_t o = 0; o < chip.lines.size(); ++o) {
      const GpioLineInfo &line = chip.lines[o];
      std::string name = line.name.empty() ? "-" : line.name;
      std::string use = !line.used ? "free"
                        : line.consumer.empty() ? "in use by the kernel"
                                                : "in use by \"" + line.consumer + "\"";
      printf("  line %3zu  %-16s %s\n", o, name.c_str(), use.c_str());
    }
  }
}

// Why the BIOS data area could not be read, as ioports said it.
const char *unreadable(int32_t word) {
  if (word == BIOSWORD_ABSENT) return "not readable (no /dev/mem)";
  if (word != BIOSWORD_REFUSED) return "not readable (/dev/mem gives no word there)";
  return geteuid() == 0 ? "not readable (the kernel refuses /dev/mem even to root)"
                        : "not readable (root only)";
}

// Every port the system knows, and which one logical port 0 takes; then
// the GPIO chips.
void listports(const char *, RunChoices *) {
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
  else printf("BIOS data area: %s\n", word == 0 ? "no port recorded" : unreadable(word));
  if (word > 0) {
    printf("logical port 0: 0x%x, the port the BIOS data area records\n", static_cast<unsigned>(word));
  } else if (!ports.empty()) {
    printf("logical port 0: 0x%x, %s (the BIOS data area names none)\n", ports[0].base,
           ports[0].name.c_str());
  } else {
    printf("No parallel port found: for a PCIe card load the parport_pc module "
           "(modprobe parport_pc); without a port, run scripts with quon-sim.\n");
  }
  listgpiochips();
  fflush(stdout);
  exit(0);
}

// An address as the manual gives it: hexadecimal after 0x, or decimal
// digits alone (a leading 0 is no octal, no sign or space is taken).
// False when value is neither or goes past 0xFFFF.
bool address(const char *value, unsigned long *result) {
  bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  const char *digit = hex ? value + 2 : value;
  const char *const DIGITS = "0123456789abcdef";
  unsigned long radix = hex ? 16 : 10;
  unsigned long n = 0;
  for (const char *c = digit; *c != '\0'; ++c) {
    const char *at = strchr(DIGITS, *c >= 'A' && *c <= 'F' ? *c - 'A' + 'a' : *c);
    if (at == nullptr || static_cast<unsigned long>(at - DIGITS) >= radix) return false;
    n = n * radix + static_cast<unsigned long>(at - DIGITS);
    if (n > 0xFFFF) return false;
  }
  *result = n;
  return *digit != '\0';
}

// parportN or an address (hexadecimal with 0x, or decimal); option is the
// option as written up to its value, for the messages.
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
  unsigned long base = 0;
  if (!address(value, &base) || base == 0 || base > 0xFFFD) {
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

// GPIO lines for logical port n: the map read and its chip and lines found,
// nothing requested yet.
void gpioport(int32_t n, const char *option, const char *value) {
  LineMap map;
  std::string error;
  if (parselinemap(value, &map, &error) != 0 || gpioprepare(n, map, &error) != 0) {
    fatal("%s%s: %s\n", option, value, error.c_str());
  }
  portchoosegpio(n);
}

void port0(const char *value, RunChoices *) {
  if (isgpiovalue(value)) gpioport(0, "--port=", value);
  else chosenbase[0] = portvalue("--port=", value);
}
void port1(const char *value, RunChoices *) {
  if (isgpiovalue(value)) gpioport(1, "--port1=", value);
  else chosenbase[1] = portvalue("--port1=", value);
}

void trace(const char *value, RunChoices *run) {
  if (*value == '\0') fatal("Unable to open trace file \"\"! (no file name after --trace=)\n");
  run->trace = value;
}

void testbench(const char *value, RunChoices *run) {
  if (*value == '\0') fatal("--testbench= needs a file name\n");
  run->bench = value;
}

void check(const char *, RunChoices *run) { run->check = true; }

// PORT:PATTERN, once a port.
void safe(const char *value, RunChoices *) {
  if ((value[0] != '0' && value[0] != '1') || (value[1] != ':' && value[1] != '\0')) {
    fatal("--safe=%s: the port is 0 or 1 (--safe=PORT:PATTERN)\n", value);
  }
  uint16_t pattern = 0;
  if (value[1] == '\0') fatal("--safe=%s: needs a pattern (--safe=PORT:PATTERN)\n", value);
  if (!strictpattern(value + 2, &pattern)) {
    fatal("--safe=%s: a pattern is one to eight places of 1, 0 and .\n", value);
  }
  if (safedeclare(value[0] - '0', pattern) != 0) {
    fatal("--safe=%s: port %c has a safe pattern already\n", value, value[0]);
  }
}

// A whole decimal number from low to high, nothing else; -1 when it is none.
long decimal(const char *text, long low, long high) {
  if (*text < '0' || *text > '9') return -1;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high ? value : -1;
}

void realtime(const char *value, RunChoices *run) {
  run->realtime = REALTIME_PRIORITY;
  if (value == nullptr) return;
  long priority = decimal(value, 1, 98);
  if (priority < 0) fatal("--realtime=%s: the priority is a number from 1 to 98\n", value);
  run->realtime = static_cast<int>(priority);
}

void cpu(const char *value, RunChoices *run) {
  long n = decimal(value, 0, 1023);
  if (n < 0) fatal("--cpu=%s: a processor's number (0, 1, ...)\n", value);
  if (!rtprocessor(static_cast<int>(n))) {
    fatal("--cpu=%s: no such processor here (this machine has processors %s)\n", value,
          rtprocessors().c_str());
  }
  run->cpu = static_cast<int>(n);
}

void budget(const char *value, RunChoices *run) {
  long percent = decimal(value, 1, 100);
  if (percent < 0) fatal("--realtime-budget=%s: a percentage of a processor from 1 to 100\n", value);
  run->budget = static_cast<int>(percent);
}

void latency(const char *value, RunChoices *run) {
  run->latency = 10;
  if (value == nullptr) return;
  long seconds = decimal(value, 1, 86400);
  if (seconds < 0) fatal("--latency-test=%s: the seconds are a whole number from 1 to 86400\n", value);
  run->latency = static_cast<int>(seconds);
}

void json(const char *, RunChoices *run) { run->json = true; }

// ------------------------------------------------------------ the table

const LongOption LONGOPTIONS[] = {
    {"--testbench", "<file>",
     "Runs the script on the simulated port under the\n"
     "testbench <file> (inputs, keys, expected outputs, simulated time).",
     testbench},
    {"--check", nullptr,
     "Checks the script: its errors and warnings on standard\n"
     "error as FILE:LINE: ..., nothing run (no port, no QUON.log).",
     check},
    {"--safe", "<port>:<pattern>",
     "At every stop (ESC, a failure, a signal, after a\n"
     "calibration) the pattern is applied to the port's outputs.",
     safe},
    {"--realtime", "<priority>",
     "Real-time mode: SCHED_FIFO at <priority>\n"
     "(1-98, default 49), one processor (--cpu=<n> names it), memory\n"
     "locked, asleep while only time or keys can move a thread.",
     realtime, true},
    {"--cpu", "<n>", nullptr, cpu},
    {"--realtime-budget", "<percent>",
     "Share of a processor the mode may spin\n"
     "before deadlines while only time or keys can move a thread\n"
     "(1-100, default 20).",
     budget},
    {"--latency-test", "<seconds>",
     "How late DELAYs of 1 ms end here,\n"
     "plain and in the real-time mode, <seconds> each (default 10);\n"
     "no port, no script. --json prints it as one JSON object.",
     latency, true},
    {"--json", nullptr, nullptr, json},
    {"--ports", nullptr,
     "Lists the parallel ports and the one logical port 0 takes,\n"
     "and the GPIO chips with their lines.",
     listports},
    {"--port", "<port>",
     "Logical port 0 at <port> (parportN, an address such as\n"
     "0x378, or GPIO lines: CHIP:out=LINE,...:in=LINE,...);\n"
     "--port1=<port> does the same for logical port 1.",
     port0},
    {"--port1", "<port>", nullptr, port1},
    {"--trace", "<file>",
     "Every line change of the run recorded in <file>\n"
     "(a VCD waveform for GTKWave or PulseView).",
     trace},
    {"--help", nullptr, "Prints this message.", help},
    {"--version", nullptr, "Prints the program's name and version.", version},
};

// "   --name=<value>" padded to a column, the help's first line beside it,
// its further lines indented below.
void printlongoptions(void) {
  constexpr int COLUMN = 16;  // where the help text starts, after the 3-space indent
  for (const LongOption &o : LONGOPTIONS) {
    if (o.help == nullptr) continue;
    std::string form = o.name;
    if (o.value != nullptr) form += std::string(o.optional ? "[=" : "=") + o.value + (o.optional ? "]" : "");
    int pad = COLUMN - static_cast<int>(form.size());
    printf("   %s%*s", form.c_str(), pad < 2 ? 2 : pad, "");
    for (const char *line = o.help; *line != '\0';) {
      const char *end = strchr(line, '\n');
      size_t n = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
      printf("%.*s\n", static_cast<int>(n), line);
      if (end == nullptr) break;
      line = end + 1;
      fputs("        ", stdout);
    }
  }
}

// The option arg names ("--name" or "--name=VALUE"); nullptr: none.
const LongOption *findoption(const char *arg) {
  for (const LongOption &o : LONGOPTIONS) {
    size_t n = strlen(o.name);
    if (strncmp(arg, o.name, n) == 0 && (arg[n] == '\0' || arg[n] == '=')) return &o;
  }
  return nullptr;
}

// A mistyped long option must never leave the script running for real:
// every argument that begins with "--" is checked before anything acts.
void checklongoptions(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-' || arg[1] != '-') continue;
    const LongOption *o = findoption(arg);
    if (o == nullptr) fatal("%s is no option of this program: --help lists them\n", arg);
    const char *equals = strchr(arg, '=');
    if (o->value != nullptr && equals == nullptr && !o->optional) {
      // "<file>" -> "a file" and "FILE"; "<port>:<pattern>" -> "PORT:PATTERN".
      std::string what;
      for (const char *c = o->value; *c != '\0'; ++c) {
        if (*c != '<' && *c != '>') what += *c;
      }
      std::string upper;
      for (char c : what) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      fatal("%s needs a%s %s: %s=%s\n", o->name, strchr("aeiou", what[0]) ? "n" : "",
            what.c_str(), o->name, upper.c_str());
    }
    if (o->value == nullptr && equals != nullptr) {
      fatal("%s takes no value: %s\n", arg, o->name);
    }
  }
}

}  // namespace

RunChoices readarguments(int argc, char **argv) {
  checklongoptions(argc, argv);
  RunChoices run;
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
      const LongOption *o = findoption(arg);
      const char *equals = strchr(arg, '=');
      o->handler(equals != nullptr ? equals + 1 : nullptr, &run);
    } else if (arg[0] == '-') {
      // Unknown options are ignored.
    } else {
      openscript(arg, &run);
    }
  }
  // Choices that only make sense together.
  if (run.cpu >= 0 && run.realtime == 0 && run.latency == 0) {
    fatal("--cpu=%d needs --realtime\n", run.cpu);
  }
  if (run.budget != 0 && run.realtime == 0 && run.latency == 0) {
    fatal("--realtime-budget=%d needs --realtime\n", run.budget);
  }
  if (run.json && run.latency == 0) fatal("--json is for --latency-test\n");
  if (run.realtime != 0 && run.bench != nullptr) {
    fatal("--realtime has no meaning under --testbench, which runs on simulated time\n");
  }
  return run;
}
