// A testbench: a script run on the simulated port in simulated time, with
// inputs and keys given at set times and the outputs and notes checked
// against what they should be, ending in a verdict.
#ifndef QUON_TESTBENCH_TESTBENCH_H
#define QUON_TESTBENCH_TESTBENCH_H

#include <cstdint>
#include <string>
#include <vector>

constexpr uint64_t BENCH_STEPUS = 1;  // simulated time of one pass
// The calibration a bench runs under: the simulated port's test connector
// (control byte 4, inversion word 0x83), whatever QUON.INI the folder holds.
constexpr uint16_t BENCH_CALCTL = 0x04;
constexpr uint16_t BENCH_CALINV = 0x0083;

// From us on, the bits of mask in logical port port's input read value.
struct BenchDrive {
  uint64_t us;
  int port;
  uint8_t mask, value;
  int line;  // in the testbench file; 0 for a replayed change
};

// Keys typed at us, read one per pass: a character, or 0 then a scan code.
struct BenchKeys {
  uint64_t us;
  std::vector<int> codes;
  int line;
};

enum BenchCheck { CHECK_AT, CHECK_WINDOW, CHECK_NOTE };

struct BenchExpect {
  int line = 0;         // in the testbench file
  BenchCheck kind = CHECK_AT;
  uint64_t from = 0, to = 0;  // at: from == to; by: to
  int port = 0;
  uint16_t pattern = 0;
  std::string text;     // the note of a "by"
  std::string word;     // the pattern as written
  bool checked = false;  // at and by: decided
  bool held = true;
};

struct Testbench {
  std::string name;     // the file, as given
  uint64_t end = 0;     // us
  std::vector<BenchDrive> drives;  // in time order
  std::vector<BenchKeys> keys;     // in time order
  std::vector<BenchExpect> expects;
  std::vector<std::string> replays;  // each replay file's path, as opened
};

// Reads a testbench file. Returns 0, or -1 with "FILE:LINE: what is wrong"
// in *error. The bench and its replay files must be regular files (a FIFO,
// a device or a folder is refused before anything is read from it).
int testbenchread(const char *file, Testbench *bench, std::string *error);

// The same from text; name is used in the messages and places the bench
// for its replay files (a name without a folder is looked up beside it
// first). With replaytext, every replay line reads that trace instead of
// its file, and no file is opened (the fuzz target).
int testbenchparse(const std::string &name, const std::string &text, Testbench *bench,
                   std::string *error, const std::string *replaytext = nullptr);

// Runs the loaded script under bench from power-on in simulated time; a
// failed expectation prints one line on standard error, the verdict line
// comes last. Returns 0 when every expectation held, 1 otherwise.
int testbenchrun(Testbench *bench);

// No bench runs, nothing is watched (tests).
void testbenchreset(void);

#endif
