#include "core/log.h"

#include <cerrno>
#include <cstdio>

#include "core/tables.h"

void vlogprintf(const char *format, va_list args) {
  if (prog.logfile == nullptr) return;
  // The first failure is kept with its reason: start-up refuses to run a
  // script whose listing or errors did not reach the disk.
  if (vfprintf(prog.logfile, format, args) < 0 && prog.logerror == 0) {
    prog.logerror = errno != 0 ? errno : EIO;
  }
}

void logprintf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vlogprintf(format, args);
  va_end(args);
}
