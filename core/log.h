// QUON.log: the listing and the script errors, written by the compiler,
// the loader and start-up through one path that keeps the first failure.
#ifndef QUON_CORE_LOG_H
#define QUON_CORE_LOG_H

#include <cstdarg>

// Writes to prog.logfile (nothing when there is none). The first failed
// write leaves its errno in prog.logerror.
void logprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void vlogprintf(const char *format, va_list args);

#endif
