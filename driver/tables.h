// ProgramTables: the one process-wide record through which the compiler,
// the loader, the executor, the port layer and the diagnostics meet.
//
// All arrays grow by exactly TABLE_GROWTH entries whenever an append fills
// them. Counts and indexes are signed 32-bit; -1 marks an index not yet
// known. Nothing is freed before the process ends (resettables() exists for
// tests, which start every case from a clean record).
#ifndef QUON_DRIVER_TABLES_H
#define QUON_DRIVER_TABLES_H

#include <cstdint>
#include <cstdio>

#include "compiler/token.h"

constexpr int32_t TABLE_GROWTH = 5;  // initial capacity and growth step
constexpr uint8_t FLAG_ON = 0xFF;    // option flags: 0 off, 0xFF on

struct ProgramTables {
  // The compiled program.
  Token *tokens;          // all threads' tokens in script order
  int32_t tokencount;     // entries used in tokens
  int32_t tokenmax;       // capacity of tokens, in entries; grows by 5
  char **strings;         // owned texts of SPAWN, NOTATE and KILL
  int32_t stringcount;    // entries used in strings
  int32_t stringmax;      // capacity of strings, in entries; grows by 5

  // The threads, known by index.
  int32_t *threadstart;   // index in tokens of each thread's first token; -1 none
  char **threadname;      // owned name of each thread, "" until NAME sets it
  int32_t threadmax;      // capacity of threadstart and threadname; grows by 5
  int32_t threadcount;    // loading: index of the thread being compiled; after: threads
  int32_t *threadcurrent; // per thread: index in tokens of the next token to run
  uint32_t *threadtimer;  // per thread: DELAY deadline in clock ms; 0 = none pending

  // Files, calibration, options and run state.
  FILE *infile;           // the script (a named file or standard input)
  FILE *logfile;          // QUON.log: listing and script errors
  FILE *inifile;          // QUON.INI: the calibration file
  uint16_t calctl;        // control byte written before every input (low byte)
  uint16_t calinv;        // inversion word XORed into every input
  uint8_t verbose;        // -v: listing to the log; with -b, input diagnostics
  uint8_t dump;           // -d: dump the tables; trace every output byte
  uint8_t portdebug;      // -b: calibration readings; with -v, input diagnostics
  int32_t linenumber;     // script lines read so far (the first line is 1)
  uint8_t lastkey;        // key read in the current pass; 0 = none
};

extern ProgramTables prog;

// Frees everything the record owns (streams other than the standard ones are
// closed) and restores the initial values. For tests and benchmarks.
void resettables(void);

// Enlarges a table of entrysize-byte entries by TABLE_GROWTH entries, adding
// them to *max. Ends the program with the out-of-memory message on failure.
void *growtable(void *table, int32_t *max, size_t entrysize);

// Owned copy of a text; ends the program on failure.
char *copytext(const char *text);

// Owned copy of at most n characters of a text.
char *copytextn(const char *text, size_t n);

#endif
