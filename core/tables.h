// ProgramTables: the one process-wide record through which the compiler,
// the loader, the executor, the port layer and the diagnostics meet.
//
// All arrays grow by exactly TABLE_GROWTH entries whenever an append fills
// them. Counts and indexes are signed 32-bit; -1 marks an index not yet
// known. Nothing is freed before the process ends (resettables() exists for
// tests, which start every case from a clean record).
#ifndef QUON_CORE_TABLES_H
#define QUON_CORE_TABLES_H

#include <cstdint>
#include <cstdio>

#include "core/token.h"

constexpr int32_t LOGICAL_PORTS = 2;  // logical ports 0 and 1: the lines
// Logical ports 2 to 9 may be made banks of eight flag bits held in memory
// (port/port.h); a port number below PORT_NUMBERS indexes any per-port table
// that holds both.
constexpr int32_t FLAG_FIRST = 2;
constexpr int32_t PORT_NUMBERS = 10;
constexpr int32_t TABLE_GROWTH = 5;  // initial capacity and growth step
constexpr uint8_t FLAG_ON = 0xFF;    // option flags: 0 off, 0xFF on

struct ProgramTables {
  // The compiled program.
  Token *tokens = nullptr;          // all threads' tokens in script order
  int32_t tokencount = 0;           // entries used in tokens
  int32_t tokenmax = TABLE_GROWTH;  // capacity of tokens, in entries; grows by 5
  int32_t *tokenline = nullptr;     // per token: its script line (capacity tokenmax)
  char **strings = nullptr;         // owned texts of SPAWN, NOTATE and KILL
  int32_t stringcount = 0;          // entries used in strings
  int32_t stringmax = TABLE_GROWTH; // capacity of strings, in entries; grows by 5

  // The threads, known by index.
  int32_t *threadstart = nullptr;   // each thread's first token index; -1 none
  char **threadname = nullptr;      // owned name of each thread, "" until NAME sets it
  int32_t threadmax = TABLE_GROWTH; // capacity of threadstart and threadname; grows by 5
  int32_t threadcount = 0;          // loading: thread being compiled; then: threads
  int32_t *threadcurrent = nullptr; // per thread: index of the next token to run
  uint32_t *threadtimer = nullptr;  // per thread: DELAY deadline in clock ms; 0 none

  // Whom each KILL sends back, fixed once the script is loaded: for the
  // text of a KILL (by its string index) the threads of exactly that name,
  // in index order, at killthread[killfirst[s] .. killfirst[s] + killcount[s]).
  // KILLs of the same name share one range.
  int32_t *killfirst = nullptr;     // per string (capacity stringcount, at least 1)
  int32_t *killcount = nullptr;     // per string; 0: no thread bears the name
  int32_t *killthread = nullptr;    // thread indexes (at most threadcount, at least 1)

  // Files, calibration, options and run state.
  FILE *infile = nullptr;           // the script (a named file or standard input)
  FILE *logfile = nullptr;          // QUON.log: listing and script errors
  FILE *inifile = nullptr;          // QUON.INI: the calibration file
  uint16_t calctl = 0;              // control byte written before every input (low byte)
  uint16_t calinv = 0;              // inversion word XORed into every input
  uint8_t verbose = 0;              // -v: listing to the log; with -b, input diagnostics
  uint8_t dump = 0;                 // -d: dump the tables; trace every output byte
  uint8_t portdebug = 0;            // -b: calibration readings; -v -b: input readings
  int32_t linenumber = 0;           // script lines read so far (the first line is 1)
  int32_t scripterrors = 0;         // lines the compiler rejected while loading
  int32_t firsterrorline = 0;       // linenumber of the first of them; 0 = none
  int logerror = 0;                 // errno of the first failed log write; 0 none
  uint8_t lastkey = 0;              // key read in the current pass; 0 = none
};

extern ProgramTables prog;

// The logical ports (bit n for port n, n < PORT_NUMBERS: the lines and the
// flag banks) that the WAIT, OUTPUT and TOGGLE tokens among tokens[0..count)
// address: what a trace or a monitor shows.
inline unsigned portsaddressed(const Token *tokens, int32_t count) {
  unsigned ports = 0;
  for (int32_t i = 0; i < count; ++i) {
    uint8_t op = tokenop(tokens[i]), port = tokenport(tokens[i]);
    bool addressing = op == OP_WAIT || op == OP_OUTPUT || op == OP_TOGGLE;
    if (addressing && port < PORT_NUMBERS) ports |= 1u << port;
  }
  return ports;
}

// Frees everything the record owns (streams other than the standard ones are
// closed) and restores the initial values. For tests and benchmarks.
void resettables(void);

// Enlarges a table of entrysize-byte entries by TABLE_GROWTH entries, adding
// them to *max. Ends the program with the out-of-memory message on failure.
void *growtable(void *table, int32_t *max, size_t entrysize);

// Owned copy of a text; ends the program on failure.
char *copytext(const char *text);

#endif
