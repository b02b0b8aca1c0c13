#include "driver/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/fatal.h"
#include "core/tables.h"
#include "driver/startup.h"
#include "platform/portio.h"
#include "port/port.h"
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

// Why the BIOS data area could not be read, as ioports said it.
const char *unreadable(int32_t word) {
  if (word == BIOSWORD_ABSENT) return "not readable (no /dev/mem)";
  if (word != BIOSWORD_REFUSED) return "not readable (/dev/mem gives no word there)";
  return geteuid() == 0 ? "not readable (the kernel refuses /dev/mem even to root)"
                        : "not readable (root only)";
}

// Every port the system knows, and which one logical port 0 takes.
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

void port0(const char *value, RunChoices *) { chosenbase[0] = portvalue("--port=", value); }
void port1(const char *value, RunChoices *) { chosenbase[1] = portvalue("--port1=", value); }

void trace(const char *value, RunChoices *run) {
  if (*value == '\0') fatal("Unable to open trace file \"\"! (no file name after --trace=)\n");
  run->trace = value;
}

void testbench(const char *value, RunChoices *run) {
  if (*value == '\0') fatal("--testbench= needs a file name\n");
  run->bench = value;
}

void check(const char *, RunChoices *run) { run->check = true; }

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
    {"--ports", nullptr, "Lists the parallel ports and the one logical port 0 takes.", listports},
    {"--port", "<port>",
     "Logical port 0 at <port> (parportN, or an address such as\n"
     "0x378); --port1=<port> does the same for logical port 1.",
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
    std::string form = std::string(o.name) + (o.value != nullptr ? std::string("=") + o.value : "");
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
    if (o->value != nullptr && equals == nullptr) {
      // "<file>" -> "a file" and "FILE".
      std::string what(o->value + 1, strlen(o->value) - 2);
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
      o->handler(o->value != nullptr ? strchr(arg, '=') + 1 : nullptr, &run);
    } else if (arg[0] == '-') {
      // Unknown options are ignored.
    } else {
      openscript(arg, &run);
    }
  }
  return run;
}
