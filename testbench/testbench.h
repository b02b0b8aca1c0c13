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

// From us on, the bits of mask in logical port port's input read value;
// on a flag bank, the pattern applied to its bits at us.
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

enum BenchCheck { CHECK_AT, CHECK_WINDOW, CHECK_NOTE, CHECK_SPAWN };

struct BenchExpect {
  int line = 0;         // in the testbench file
  BenchCheck kind = CHECK_AT;
  uint64_t from = 0, to = 0;  // at: from == to; by: to
  int port = 0;         // a logical port or a flag bank
  uint16_t pattern = 0;
  std::string text;     // the note or the command of a "by"
  std::string word;     // the pattern as written
  std::string source;   // the line as written, without its comment
  bool checked = false;  // at and by: decided
  bool held = true;
  // A failure: the line the run printed ("FILE:LINE: ..."), when it was
  // found, and what was seen instead of what was expected.
  std::string message;
  uint64_t failedat = 0;
  std::string seen;
};

struct Testbench {
  std::string name;     // the file, as given
  uint64_t end = 0;     // us
  std::vector<BenchDrive> drives;  // in time order
  std::vector<BenchKeys> keys;     // in time order
  std::vector<BenchExpect> expects;
  std::vector<std::string> replays;  // each replay file's path, as opened
  bool skipspawns = false;  // "spawn skip": no SPAWN runs a command
  // Set by a run of several benches and its reports.
  std::string error;    // "FILE:LINE: ..." when the bench could not be read
  bool named = false;   // the verdict line names the bench
  bool keepnotes = false;  // the notes printed go to notes
  std::vector<std::string> notes;  // the first BENCH_NOTES of them
  size_t notesleft = 0;  // printed after those
  double seconds = 0;    // the run's wall time
};
constexpr size_t BENCH_NOTES = 10000;  // notes kept for a report, per bench

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

// What a run of benches writes besides its verdict lines; nullptr: no
// such file. script is the script's name as the run opened it (the
// reports' class name; the coverage file's source, made absolute).
struct BenchReports {
  const char *junit = nullptr;
  const char *tap = nullptr;
  const char *coverage = nullptr;
  std::string script;
};

// Runs each bench in turn, every one from power-on: the threads parked at
// their starts, the outputs 0, no input held, every flag bit 0, the clock
// at 0. A bench with an error is not run (its verdict line says so); it
// counts as failed. With
// several benches a verdict line names each, and a total follows. Then
// the reports, each written whole or not at all (a line on standard error
// says why). Returns 0 when every bench ran and every expectation held,
// 1 otherwise.
int testbenchsuite(std::vector<Testbench> *benches, const BenchReports &reports);

// Statement counts: from coveragestart on, how many times a thread reached
// each token (a statement a thread stays parked at counts once per
// arrival), over every bench until coveragestop. coverageparked: the
// threads were parked anew at their starts.
void coveragestart(void);
void coverageparked(void);
void coveragestop(void);
const std::vector<uint64_t> &coveragecounts(void);  // per token
// The counts as an lcov tracefile of source: one DA line per script line
// that holds a statement (a thread's separator is none), in line order.
// *lines and *reached: how many such lines, how many of them ran.
std::string coveragelcov(const std::string &source, int *lines, int *reached);

// The reports' texts (report.cpp); script as in BenchReports.
std::string junitreport(const std::vector<Testbench> &benches, const std::string &script);
std::string tapreport(const std::vector<Testbench> &benches);
// Writes text to file whole: into a fresh file beside it, put on disk,
// then renamed over it. Returns 0, or -1 with *why set (nothing is left
// behind then).
int writereport(const char *file, const std::string &text, std::string *why);

#endif
