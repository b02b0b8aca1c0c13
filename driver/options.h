// The command line: one table of options, short (-v, -d, -b, -?) and long
// (the program's capabilities), from which -? and --help print the usage,
// so help and parser cannot drift apart. Parsing only fills the run's
// choices: what acts (opening the script, resolving or listing ports,
// printing a message and leaving) is recorded in the order the arguments
// gave it and done by the start-up afterwards.
#ifndef QUON_DRIVER_OPTIONS_H
#define QUON_DRIVER_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

// Something the command line asks to be done, in the order it was given.
// Parsing stops after a step that ends the program (the messages, a
// refusal): no argument after it was ever acted on.
enum class StepKind : uint8_t {
  SCRIPT,   // text: a script name argument, to be opened
  PORT0,    // text: the value of --port=, to be resolved
  PORT1,    // text: the value of --port1=
  USAGE,    // -? or /?: the usage, then leave
  HELP,     // --help: the usage and the long options, then leave
  VERSION,  // --version
  PORTS,    // --ports: the ports and GPIO chips, then leave
  REFUSE,   // text: why an option's value is refused (the whole message)
};
struct ArgumentStep {
  StepKind kind;
  std::string text;
};

// What the command line chose for this run.
struct RunChoices {
  const char *trace = nullptr;  // --trace=FILE; nullptr: no trace
  const char *bench = nullptr;  // --testbench=FILE (the first); nullptr: the run is the user's
  std::vector<const char *> benches;  // every --testbench=FILE, in order
  const char *junit = nullptr;  // --junit=FILE: the benches' JUnit report
  const char *tap = nullptr;    // --tap=FILE: their TAP report
  const char *coverage = nullptr;  // --coverage=FILE: the script's statement counts (lcov)
  bool check = false;           // --check: report on the script, run nothing
  int realtime = 0;             // --realtime[=PRIORITY]: the priority; 0 off
  int cpu = -1;                 // --cpu=N: the real-time mode's processor; -1 its choice
  int budget = 0;               // --realtime-budget=PERCENT; 0: the mode's default
  int latency = 0;              // --latency-test[=SECONDS]: the seconds; 0 no test
  bool json = false;            // --json: the latency report as one JSON object
  bool verbose = false;         // -v
  bool dump = false;            // -d
  bool portdebug = false;       // -b
  bool stamp = false;           // --stamp: run-time lines begin with the run's clock
  bool safe[2] = {false, false};   // --safe=PORT:PATTERN given for the port
  uint16_t safepattern[2] = {0, 0};
  unsigned flags = 0;           // --flags=PORT,...: bit n for logical port n a flag bank
  // A --safe= on a port from 2 to 9 is refused once the whole line is read,
  // so that a --flags= after it that makes the port a bank is named in the
  // refusal: the value ("" none) and how many steps came before it.
  std::string safebank;
  size_t safebankat = 0;
  bool spin = false;            // --spin: GPIO inputs polled, the loop never sleeping
  long regiongroup = -1;        // --region-group=GROUP: its id; -1 the user's alone
  std::vector<ArgumentStep> steps;  // what acts, in the order given
  std::string script = "-";     // the script's name as opened; "-": standard input
  std::string warnings;         // for the log once it exists (an ambiguous name)
};

// An option of the table. A short one ("-v") is matched on its first two
// characters in any case, so "-verbose" is -v; a long one ("--name") alone
// or as "--name=VALUE" when value names what it takes. help is what the
// usage prints for it ('\n' between its lines); nullptr when another
// option's help describes it too. The handler only fills the choices;
// it returns "" or the message that refuses the value.
struct Option {
  const char *name;
  const char *also;   // another spelling ("/?"), or nullptr
  const char *value;
  const char *help;
  std::string (*handler)(const char *value, RunChoices *run);
  bool optional = false;  // the value may be left out ("--name" alone)
};

// Reads the arguments from left to right into the choices: every "--"
// argument is checked against the table first (a mistyped one ends the
// program before anything acts), then each option's handler runs and each
// script name is recorded. The record's option flags (-v, -d, -b) are set.
RunChoices readarguments(int argc, char **argv);

// The usage from the table: the short options and the script argument;
// withlong: the long options after them (--help).
void printusage(bool withlong);

// Why choices given together cannot hold ("" when they can); the message
// ends with its newline.
std::string conflictingchoices(const RunChoices &run);

// "<program> <version>", as --version prints it and a trace's header
// names it; the entry point of each executable sets it.
extern const char *programidentity;

#endif
