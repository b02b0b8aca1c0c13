// The command line of a program that reads a run's region (the bridges):
// long options from a table of the program's own, at most one PID, a
// usage built from that table, and the two ways out with the program's
// name before the message: a bad command line (status 2, with the usage)
// and a failure (status 1); and the signals that ask it to stop.
#ifndef QUON_MONITOR_COMMANDLINE_H
#define QUON_MONITOR_COMMANDLINE_H

#include <cstddef>
#include <string>
#include <vector>

// What an option looks like on the command line.
struct OptionShape {
  const char *name;   // "--rig"
  const char *value;  // what it takes after '=' ("NAME"); nullptr: nothing
  bool optional;      // the value may be left out ("--name" alone)
  bool message;       // prints and leaves (--help, --version)
};

// An option and its handler: "" or why the value is refused. A value left
// out reaches the handler as nullptr.
template <typename Choices>
struct Option {
  OptionShape shape;
  std::string (*handler)(const char *value, Choices *c);
};

// How the options are shown: one a line under "[OPTION]...", or all on
// the usage line in brackets.
enum UsageLayout { USAGE_LISTED, USAGE_BRACKETED };

// The usage of program with the options of shapes, and from then on the
// program usage() and fail() speak for.
std::string usagetext(const char *program, const std::vector<OptionShape> &shapes, UsageLayout layout);

// Whether arg is o; *value is then what follows '=' (nullptr: nothing).
bool optionis(const OptionShape &o, const char *arg, const char **value);
// Whether arg is a PID: digits only, fewer than ten, above 0.
bool readpid(const char *arg, int *pid);

// With help the usage on standard output, with version identity; either
// then ends the program with 0.
void leaveifasked(bool help, bool version, const char *identity);

// SIGPIPE ignored (a write to a closed peer fails instead), and SIGTERM,
// SIGINT (and with hangup SIGHUP) asking the program to stop.
void catchstops(bool hangup);
bool stopasked(void);

[[noreturn]] void usage(const std::string &why);
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char *format, ...);

// Reads argv into c (which has an int pid, 0 until one is given) by the
// table: an option's handler, or the PID; anything else, a refusal or a
// second PID ends the program through usage(). Reading stops after an
// option that prints and leaves.
template <typename Choices, size_t N>
void readoptions(const char *program, UsageLayout layout, const Option<Choices> (&options)[N], int argc,
                 char **argv, Choices *c) {
  std::vector<OptionShape> shapes;
  for (const Option<Choices> &o : options) shapes.push_back(o.shape);
  usagetext(program, shapes, layout);
  for (int i = 1; i < argc; ++i) {
    const Option<Choices> *found = nullptr;
    const char *value = nullptr;
    for (const Option<Choices> &o : options) {
      const char *v = nullptr;
      if (optionis(o.shape, argv[i], &v)) found = &o, value = v;
    }
    if (found != nullptr) {
      std::string refusal = found->handler(value, c);
      if (!refusal.empty()) usage(refusal);
      if (found->shape.message) break;
    } else if (c->pid != 0 || !readpid(argv[i], &c->pid)) {
      usage(std::string("not understood: ") + argv[i]);
    }
  }
}

#endif
