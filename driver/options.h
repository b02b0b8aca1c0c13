// The command line: the core's short options (-v, -d, -b, -?), script
// names, and the long options of the program's capabilities, which sit in
// one table from which --help prints their list, so help and parser cannot
// drift apart. Every value is checked where it is parsed.
#ifndef QUON_DRIVER_OPTIONS_H
#define QUON_DRIVER_OPTIONS_H

#include <string>

// What the command line chose for this run beyond the record's flags.
struct RunChoices {
  const char *trace = nullptr;  // --trace=FILE; nullptr: no trace
  const char *bench = nullptr;  // --testbench=FILE; nullptr: the run is the user's
  bool check = false;           // --check: report on the script, run nothing
  int realtime = 0;             // --realtime[=PRIORITY]: the priority; 0 off
  int cpu = -1;                 // --cpu=N: the real-time mode's processor; -1 its choice
  int budget = 0;               // --realtime-budget=PERCENT; 0: the mode's default
  int latency = 0;              // --latency-test[=SECONDS]: the seconds; 0 no test
  bool json = false;            // --json: the latency report as one JSON object
  std::string script = "-";     // the script's name as opened; "-": standard input
  std::string warnings;         // for the log once it exists (an ambiguous name)
};

// A long option: "--name" alone, or "--name=VALUE" when value names what it
// takes. help is what --help prints for it ('\n' between its lines);
// nullptr when another option's help describes it too.
struct LongOption {
  const char *name;
  const char *value;
  const char *help;
  void (*handler)(const char *value, RunChoices *run);
  bool optional = false;  // the value may be left out ("--name" alone)
};

// Reads the arguments from left to right: sets the option flags, prints
// the usage text and exits for -? or /?, runs each long option's handler
// (some print and exit), opens every script name given.
RunChoices readarguments(int argc, char **argv);

// "<program> <version>", as --version prints it and a trace's header
// names it; the entry point of each executable sets it.
extern const char *programidentity;

#endif
