#include "driver/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compiler/literals.h"
#include "core/fatal.h"
#include "core/tables.h"
#include "executor/stamp.h"
#include "platform/rtsched.h"
#include "platform/sharedmem.h"
#include "realtime/realtime.h"
#include "text/casefold.h"

const char *programidentity = "quon";

namespace {

// ------------------------------------------------------------ handlers

std::string verbose(const char *, RunChoices *run) {
  run->verbose = true;
  return "";
}
std::string dump(const char *, RunChoices *run) {
  run->dump = true;
  return "";
}
std::string portdebug(const char *, RunChoices *run) {
  run->portdebug = true;
  return "";
}

// The options that print a message or act on a value: what they do is a
// step, done in its turn once the whole line is read.
std::string step(RunChoices *run, StepKind kind, const char *text = "") {
  run->steps.push_back({kind, text});
  return "";
}
std::string usage(const char *, RunChoices *run) { return step(run, StepKind::USAGE); }
std::string help(const char *, RunChoices *run) { return step(run, StepKind::HELP); }
std::string version(const char *, RunChoices *run) { return step(run, StepKind::VERSION); }
std::string ports(const char *, RunChoices *run) { return step(run, StepKind::PORTS); }
std::string port0(const char *value, RunChoices *run) { return step(run, StepKind::PORT0, value); }
std::string port1(const char *value, RunChoices *run) { return step(run, StepKind::PORT1, value); }

std::string trace(const char *value, RunChoices *run) {
  if (*value == '\0') return "Unable to open trace file \"\"! (no file name after --trace=)\n";
  run->trace = value;
  return "";
}

std::string testbench(const char *value, RunChoices *run) {
  if (*value == '\0') return "--testbench= needs a file name\n";
  if (run->bench == nullptr) run->bench = value;
  run->benches.push_back(value);
  return "";
}

// --junit=, --tap=, --coverage=: a file the benches' run writes.
std::string reportfile(const char *option, const char *value, const char **file) {
  if (*value == '\0') return std::string(option) + " needs a file name\n";
  *file = value;
  return "";
}
std::string junit(const char *value, RunChoices *run) {
  return reportfile("--junit=", value, &run->junit);
}
std::string tap(const char *value, RunChoices *run) { return reportfile("--tap=", value, &run->tap); }
std::string coverage(const char *value, RunChoices *run) {
  return reportfile("--coverage=", value, &run->coverage);
}

std::string check(const char *, RunChoices *run) {
  run->check = true;
  return "";
}

std::string badsafeport(const std::string &v) {
  return "--safe=" + v + ": the port is 0 or 1 (--safe=PORT:PATTERN)\n";
}

// The --safe= on a port above 1, refused in the place it was given: the
// steps after it never happen, as after any refusal. A flag bank holds no
// lines that a stop could leave in a safe state.
void safebankrefusal(RunChoices *run) {
  if (run->safebank.empty()) return;
  const std::string &v = run->safebank;
  run->steps.resize(run->safebankat);
  std::string refusal = badsafeport(v);
  if (((run->flags >> (v[0] - '0')) & 1) != 0) {
    refusal = "--safe=" + v + ": logical port " + v[0] + " is a bank of flag bits (--flags=), "
              "not lines: only ports 0 and 1 take a safe pattern\n";
  }
  run->steps.push_back({StepKind::REFUSE, refusal});
}

// PORT:PATTERN, once a port.
std::string safe(const char *value, RunChoices *run) {
  int32_t port = 0;
  uint16_t pattern = 0;
  std::string v = value;
  switch (readportpattern(value, &port, &pattern)) {
    case PORTPATTERN_BADPORT:
      if (v.size() >= 2 && v[0] >= '0' + FLAG_FIRST && v[0] <= '0' + PORT_NUMBERS - 1 &&
          v[1] == ':' && run->safebank.empty()) {
        run->safebank = v;  // refused at the end of the line (safebankrefusal)
        run->safebankat = run->steps.size();
        return "";
      }
      return badsafeport(v);
    case PORTPATTERN_PORTONLY: return "--safe=" + v + ": needs a pattern (--safe=PORT:PATTERN)\n";
    case PORTPATTERN_BADPATTERN:
      return "--safe=" + v + ": a pattern is one to eight places of 1, 0 and .\n";
    case PORTPATTERN_READ: break;
  }
  if (run->safe[port]) {
    return "--safe=" + v + ": port " + std::to_string(port) + " has a safe pattern already\n";
  }
  run->safe[port] = true;
  run->safepattern[port] = pattern;
  return "";
}

// GROUP: a group's name or number.
std::string regiongroup(const char *value, RunChoices *run) {
  run->regiongroup = sharedgroupnamed(value);
  if (run->regiongroup < 0) return "--region-group=" + std::string(value) + ": no such group\n";
  return "";
}

// PORT[,PORT...]: logical ports 2 to 9, each named once.
std::string flags(const char *value, RunChoices *run) {
  std::string v = value;
  std::string refused = "--flags=" + v + ": a list of logical ports from 2 to 9 (--flags=2,3)\n";
  unsigned banks = 0;
  for (size_t at = 0;;) {
    size_t comma = v.find(',', at);
    std::string item = v.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (item.size() != 1 || item[0] < '0' + FLAG_FIRST || item[0] > '0' + PORT_NUMBERS - 1) {
      return refused;
    }
    unsigned bit = 1u << (item[0] - '0');
    if ((banks & bit) != 0) return "--flags=" + v + ": port " + item + " is named twice\n";
    banks |= bit;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  run->flags |= banks;
  return "";
}

// A whole decimal number from low to high, nothing else; -1 when it is none.
long decimal(const char *text, long low, long high) {
  if (*text < '0' || *text > '9') return -1;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value >= low && value <= high ? value : -1;
}

std::string realtime(const char *value, RunChoices *run) {
  run->realtime = REALTIME_PRIORITY;
  if (value == nullptr) return "";
  long priority = decimal(value, 1, 98);
  if (priority < 0) {
    return std::string("--realtime=") + value + ": the priority is a number from 1 to 98\n";
  }
  run->realtime = static_cast<int>(priority);
  return "";
}

std::string cpu(const char *value, RunChoices *run) {
  long n = decimal(value, 0, 1023);
  if (n < 0) return std::string("--cpu=") + value + ": a processor's number (0, 1, ...)\n";
  if (!rtprocessor(static_cast<int>(n))) {
    return std::string("--cpu=") + value + ": no such processor here (this machine has processors " +
           rtprocessors() + ")\n";
  }
  run->cpu = static_cast<int>(n);
  return "";
}

std::string budget(const char *value, RunChoices *run) {
  long percent = decimal(value, 1, 100);
  if (percent < 0) {
    return std::string("--realtime-budget=") + value +
           ": a percentage of a processor from 1 to 100\n";
  }
  run->budget = static_cast<int>(percent);
  return "";
}

std::string latency(const char *value, RunChoices *run) {
  run->latency = 10;
  if (value == nullptr) return "";
  long seconds = decimal(value, 1, 86400);
  if (seconds < 0) {
    return std::string("--latency-test=") + value +
           ": the seconds are a whole number from 1 to 86400\n";
  }
  run->latency = static_cast<int>(seconds);
  return "";
}

std::string stamp(const char *, RunChoices *run) {
  run->stamp = true;
  return "";
}

std::string json(const char *, RunChoices *run) {
  run->json = true;
  return "";
}

std::string spin(const char *, RunChoices *run) {
  run->spin = true;
  return "";
}

// ------------------------------------------------------------ the table

// The core's options first: -? prints these; --help the long ones after.
const Option OPTIONS[] = {
    {"-v", nullptr, nullptr,
     "Verbose: the script's full source listed in QUON.log\n"
     "(with -b, every input reading printed too).",
     verbose},
    {"-d", nullptr, nullptr,
     "Dump: the tokens of the script, line by line, and the\n"
     "first entry of each thread; every output byte printed.",
     dump},
    {"-b", nullptr, nullptr,
     "Port debugging: the calibration's readings printed\n"
     "(with -v, every input reading).",
     portdebug},
    {"-?", "/?", nullptr, "Prints this message.", usage},
    {"--testbench", nullptr, "<file>",
     "Runs the script on the simulated port under the\n"
     "testbench <file> (inputs, keys, expected outputs, simulated time);\n"
     "given again, each bench runs in turn from power-on.",
     testbench},
    {"--junit", nullptr, "<file>",
     "The benches' results as a JUnit XML report in <file>.", junit},
    {"--tap", nullptr, "<file>", "The benches' results as a TAP stream in <file>.", tap},
    {"--coverage", nullptr, "<file>",
     "How often the benches reached each statement, an lcov\n"
     "tracefile in <file> (genhtml renders it).",
     coverage},
    {"--check", nullptr, nullptr,
     "Checks the script: its errors and warnings on standard\n"
     "error as FILE:LINE: ..., nothing run (no port, no QUON.log).",
     check},
    {"--safe", nullptr, "<port>:<pattern>",
     "At every stop (ESC, a failure, a signal, after a\n"
     "calibration) the pattern is applied to the port's outputs.",
     safe},
    {"--flags", nullptr, "<port>,...",
     "Each named logical port (2-9) a bank of eight flag\n"
     "bits in memory, all 0 at start: OUTPUT and TOGGLE set them, WAIT\n"
     "reads them, for threads to share a state.",
     flags},
    {"--stamp", nullptr, nullptr,
     "Every line the run prints while it runs (notes, KEY and\n"
     "KILL lines, -d's outputs) begins with the run's clock in seconds\n"
     "and milliseconds (12.345).",
     stamp},
    {"--region-group", nullptr, "<group>",
     "The monitors' region readable and writable by the\n"
     "group (a name or a number), so its members watch, force and type.",
     regiongroup},
    {"--realtime", nullptr, "<priority>",
     "Real-time mode: SCHED_FIFO at <priority>\n"
     "(1-98, default 49), one processor (--cpu=<n> names it), memory\n"
     "locked, asleep while only time or keys can move a thread.",
     realtime, true},
    {"--cpu", nullptr, "<n>", nullptr, cpu},
    {"--realtime-budget", nullptr, "<percent>",
     "Share of a processor the mode may spin\n"
     "before deadlines while only time or keys can move a thread\n"
     "(1-100, default 20).",
     budget},
    {"--latency-test", nullptr, "<seconds>",
     "How late DELAYs of 1 ms end here,\n"
     "plain and in the real-time mode, <seconds> each (default 10);\n"
     "no port, no script. --json prints it as one JSON object.",
     latency, true},
    {"--json", nullptr, nullptr, nullptr, json},
    {"--ports", nullptr, nullptr,
     "Lists the parallel ports and the one logical port 0 takes,\n"
     "and the GPIO chips with their lines.",
     ports},
    {"--port", nullptr, "<port>",
     "Logical port 0 at <port> (parportN, an address such as\n"
     "0x378, or GPIO lines: CHIP:out=LINE,...:in=LINE,...);\n"
     "--port1=<port> does the same for logical port 1.",
     port0},
    {"--port1", nullptr, "<port>", nullptr, port1},
    {"--spin", nullptr, nullptr,
     "GPIO inputs polled at every WAIT, the loop never\n"
     "sleeping, instead of following the lines' edges.",
     spin},
    {"--trace", nullptr, "<file>",
     "Every line change of the run recorded in <file>\n"
     "(a VCD waveform for GTKWave or PulseView).",
     trace},
    {"--help", nullptr, nullptr, "Prints this message.", help},
    {"--version", nullptr, nullptr, "Prints the program's name and version.", version},
};

bool islong(const Option &o) { return o.name[1] == '-'; }

// The script argument, which is no option: printed after the short ones.
const char *const SCRIPTHELP =
    "The script; a name without any '.' gets \".qun\".\n"
    "Without one, the script is read from standard input.";

// "   -form" padded to a column, the help's first line beside it, its
// further lines indented below.
void printentry(const std::string &form, const char *text) {
  constexpr int COLUMN = 16;  // where the help text starts, after the 3-space indent
  int pad = COLUMN - static_cast<int>(form.size());
  printf("   %s%*s", form.c_str(), pad < 2 ? 2 : pad, "");
  for (const char *line = text; *line != '\0';) {
    const char *end = strchr(line, '\n');
    size_t n = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
    printf("%.*s\n", static_cast<int>(n), line);
    if (end == nullptr) break;
    line = end + 1;
    fputs("        ", stdout);
  }
}

void printoptions(bool longones) {
  for (const Option &o : OPTIONS) {
    if (o.help == nullptr || islong(o) != longones) continue;
    std::string form = o.name;
    if (o.also != nullptr) form += std::string(", ") + o.also;
    if (o.value != nullptr) {
      form += std::string(o.optional ? "[=" : "=") + o.value + (o.optional ? "]" : "");
    }
    printentry(form, o.help);
  }
}

// The option arg names; nullptr: none (a script name, or an ignored
// single-dash argument).
const Option *findoption(const char *arg) {
  for (const Option &o : OPTIONS) {
    if (!islong(o)) {
      bool matched = strlen(arg) >= 2 && (prefixmatch(arg, o.name, 2) ||
                                           (o.also != nullptr && prefixmatch(arg, o.also, 2)));
      if (matched) return &o;
      continue;
    }
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
    const Option *o = findoption(arg);
    if (o == nullptr || !islong(*o)) fatal("%s is no option of this program: --help lists them\n", arg);
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

// A step after which no argument is looked at.
bool endsparsing(const RunChoices &run) {
  if (run.steps.empty()) return false;
  StepKind k = run.steps.back().kind;
  return k == StepKind::USAGE || k == StepKind::HELP || k == StepKind::VERSION ||
         k == StepKind::PORTS || k == StepKind::REFUSE;
}

}  // namespace

void printusage(bool withlong) {
  // "QUON [-v] ... [-? | /?] [--<option>...] [<file>]": the short options
  // from the table, the long ones by the one name --help lists them under.
  fputs("QUON", stdout);
  for (const Option &o : OPTIONS) {
    if (islong(o)) continue;
    printf(" [%s%s%s]", o.name, o.also != nullptr ? " | " : "", o.also != nullptr ? o.also : "");
  }
  fputs(" [--<option>...] [<file>]\n\n", stdout);
  printoptions(false);
  printentry("<file>", SCRIPTHELP);
  fputs("\n", stdout);
  if (withlong) printoptions(true);
}

RunChoices readarguments(int argc, char **argv) {
  checklongoptions(argc, argv);
  RunChoices run;
  for (int i = 1; i < argc && !endsparsing(run); ++i) {
    const char *arg = argv[i];
    const Option *o = findoption(arg);
    if (o != nullptr) {
      const char *equals = islong(*o) ? strchr(arg, '=') : nullptr;
      std::string refusal = o->handler(equals != nullptr ? equals + 1 : nullptr, &run);
      if (!refusal.empty()) run.steps.push_back({StepKind::REFUSE, refusal});
    } else if (arg[0] == '-') {
      // Unknown single-dash options are ignored.
    } else {
      run.steps.push_back({StepKind::SCRIPT, arg});
    }
  }
  safebankrefusal(&run);
  prog.verbose = run.verbose ? FLAG_ON : 0;
  prog.dump = run.dump ? FLAG_ON : 0;
  prog.portdebug = run.portdebug ? FLAG_ON : 0;
  stamping = run.stamp ? FLAG_ON : 0;
  return run;
}

std::string conflictingchoices(const RunChoices &run) {
  if (run.cpu >= 0 && run.realtime == 0 && run.latency == 0) {
    return "--cpu=" + std::to_string(run.cpu) + " needs --realtime\n";
  }
  if (run.budget != 0 && run.realtime == 0 && run.latency == 0) {
    return "--realtime-budget=" + std::to_string(run.budget) + " needs --realtime\n";
  }
  if (run.json && run.latency == 0) return "--json is for --latency-test\n";
  if (run.realtime != 0 && run.bench != nullptr) {
    return "--realtime has no meaning under --testbench, which runs on simulated time\n";
  }
  const struct {
    const char *option, *file;
  } reports[] = {{"--junit=", run.junit}, {"--tap=", run.tap}, {"--coverage=", run.coverage}};
  for (const auto &r : reports) {
    if (r.file == nullptr) continue;
    std::string given = std::string(r.option) + r.file;
    if (run.bench == nullptr) return given + " reports on benches: it needs --testbench=FILE\n";
    if (run.trace != nullptr && strcmp(run.trace, r.file) == 0) {
      return given + ": the trace is written there already\n";
    }
    for (const auto &other : reports) {
      if (&other < &r && other.file != nullptr && strcmp(other.file, r.file) == 0) {
        return given + ": " + other.option + " writes that file already\n";
      }
    }
  }
  if (run.trace != nullptr && run.benches.size() > 1) {
    return "--trace= records one run: give each --testbench= a run of its own to trace it\n";
  }
  return "";
}
