// The fuzz targets' checks: a property that does not hold ends the run
// with a line that says which, so the fuzzer keeps the input as a crash.
#ifndef QUON_FUZZ_FUZZCHECK_H
#define QUON_FUZZ_FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// What the target's failures are called ("literal fault", "broken
// tables"); each target defines it.
extern const char *const FUZZSUBJECT;

// value: the word or the table index the property failed at.
[[noreturn]] inline void broken(const char *what, long value) {
  fprintf(stderr, "%s: %s (%ld, 0x%04lx)\n", FUZZSUBJECT, what, value,
          static_cast<unsigned long>(value));
  abort();
}

inline void expect(bool holds, const char *what, long value) {
  if (!holds) broken(what, value);
}

#endif
