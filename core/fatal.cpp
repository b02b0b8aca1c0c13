#include "core/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fatal(const char *format, ...) {
  fflush(stdout);  // what the run printed so far comes before the message
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  exit(EXIT_FAIL);  // atexit handlers give the terminal its mode back
}

void outofmemory(void) { fatal("Out of memory!\n"); }
