// Test double of the command interpreter: records commands; time passes.
#include <cstdio>

#include "platform/clock.h"
#include "tests/fakes/fakes.h"
#include "platform/shell.h"

int fakeshellcount = 0;
const char *fakeshellcommands[16];
uint32_t fakeshelladvance = 0;

void fakeshellreset(void) {
  fakeshellcount = 0;
  fakeshelladvance = 0;
  for (const char *&c : fakeshellcommands) c = nullptr;
}

void commandchildhook(void (*)(void)) {}

int runcommand(const char *command) {
  fflush(stdout);
  fakeshellcommands[fakeshellcount % 16] = command;
  ++fakeshellcount;
  fakeclock += fakeshelladvance;
  return 0;
}
