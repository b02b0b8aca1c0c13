// Test double of the command interpreter: records commands; time passes.
#include <cstdio>

#include "platform/clock.h"
#include "tests/fakes/fakes.h"
#include "platform/shell.h"

int fakeshellcount = 0;
const char *fakeshellcommands[16];
uint32_t fakeshelladvance = 0;

namespace {
int (*standin)(const char *) = nullptr;
}  // namespace

void fakeshellreset(void) {
  standin = nullptr;
  fakeshellcount = 0;
  fakeshelladvance = 0;
  for (const char *&c : fakeshellcommands) c = nullptr;
}

void commandchildhook(void (*)(void)) {}

void commandstandin(int (*hook)(const char *)) { standin = hook; }

// A command the stand-in takes is not recorded: it never ran.
int runcommand(const char *command) {
  if (standin != nullptr) {
    int taken = standin(command);
    if (taken >= 0) return taken;
  }
  fflush(stdout);
  fakeshellcommands[fakeshellcount % 16] = command;
  ++fakeshellcount;
  fakeclock += fakeshelladvance;
  return 0;
}
