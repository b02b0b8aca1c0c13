// The program's one way to fail: a message on standard error and exit
// status -1 (255 to the shell). Only start-up and the port layer use it;
// everything below them returns results.
#ifndef QUON_CORE_FATAL_H
#define QUON_CORE_FATAL_H

constexpr int EXIT_FAIL = -1;  // any failure; the shell sees 255
constexpr int EXIT_ESC = 27;   // the user ended the run with ESC

[[noreturn]] void fatal(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// Memory ran out while growing a table or copying a text.
[[noreturn]] void outofmemory(void);

#endif
