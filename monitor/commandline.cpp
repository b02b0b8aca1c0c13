#include "monitor/commandline.h"

#include <signal.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Set once, by usagetext(program, ...), before anything is refused.
const char *speaker = "";
std::string text;
volatile sig_atomic_t stopping = 0;

void stop(int) { stopping = 1; }

}  // namespace

std::string usagetext(const char *program, const std::vector<OptionShape> &shapes, UsageLayout layout) {
  std::string options, messages;
  for (const OptionShape &o : shapes) {
    std::string value = o.value == nullptr ? "" : o.optional ? std::string("[=") + o.value + "]" : std::string("=") + o.value;
    if (o.message) {
      messages += (messages.empty() ? "" : " | ") + std::string(o.name);
    } else if (layout == USAGE_LISTED) {
      options += "  " + std::string(o.name) + value + "\n";
    } else {
      options += (options.empty() ? "[" : " [") + std::string(o.name) + value + "]";
    }
  }
  std::string first = layout == USAGE_LISTED ? " [OPTION]... [PID]\n" + options : " " + options + " [PID]\n";
  speaker = program;
  text = "usage: " + std::string(program) + first + "       " + program + " " + messages + "\n";
  return text;
}

bool optionis(const OptionShape &o, const char *arg, const char **value) {
  size_t n = strlen(o.name);
  if (strncmp(arg, o.name, n) != 0) return false;
  *value = nullptr;
  if (arg[n] == '\0') return o.value == nullptr || o.optional;
  if (arg[n] != '=' || o.value == nullptr) return false;
  *value = arg + n + 1;
  return true;
}

bool readpid(const char *arg, int *pid) {
  size_t n = strlen(arg);
  if (n == 0 || n >= 10 || strspn(arg, "0123456789") != n || strtol(arg, nullptr, 10) <= 0) return false;
  *pid = static_cast<int>(strtol(arg, nullptr, 10));
  return true;
}

void leaveifasked(bool help, bool version, const char *identity) {
  if (help) fputs(text.c_str(), stdout);
  if (version) puts(identity);
  if (help || version) exit(0);
}

void catchstops(bool hangup) {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction act {};
  act.sa_handler = stop;
  sigaction(SIGTERM, &act, nullptr);
  sigaction(SIGINT, &act, nullptr);
  if (hangup) sigaction(SIGHUP, &act, nullptr);
}

bool stopasked(void) { return stopping != 0; }

void usage(const std::string &why) {
  if (!why.empty()) fprintf(stderr, "%s: %s\n", speaker, why.c_str());
  fputs(text.c_str(), stderr);
  exit(2);
}

void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "%s: ", speaker);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  exit(1);
}
