// Shared helpers of the unit tests: a clean record, scripts from strings,
// the log's text, a whole run of the program in a child process.
#ifndef QUON_TESTS_TESTUTIL_H
#define QUON_TESTS_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/tables.h"
#include "platform/keys.h"
#include "tests/support/files.h"

// Clean record, ports, simulated adapters, fake keys, clock and shell; the
// log is a fresh temporary file.
void resetall(void);

// resetall() under the test connector's calibration (control byte 4,
// inversion word 0x83): every input bit reads as the data bit beside it.
void resetloopback(void);

// Loads a script and parks every thread at its start, as the main loop does
// before its first pass.
void startscript(const std::string &text);

// Everything one step of thread t prints.
std::string capturestep(int32_t t);

// The lines of a text, without their newlines.
std::vector<std::string> lines(const std::string &text);

// The fixture of the tests that run scripts over the test connector: every
// case starts from a clean record under its calibration.
class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { resetloopback(); }
  void TearDown() override { resettables(); }

  static void fresh(void) { resetloopback(); }
  static void run(const std::string &script) { startscript(script); }
  static std::string step(int32_t t) { return capturestep(t); }

  // Steps thread t once at each clock reading, checking what each step prints.
  struct At {
    uint32_t clock;
    const char *out;
  };
  static void stepsat(int32_t t, const std::vector<At> &steps);
};

// Makes text the script (prog.infile) and runs the loader on it.
void loadscript(const std::string &text);

// Everything written to prog.logfile so far.
std::string logtext(void);

// What a whole run of the program left behind.
struct QuonRun {
  int status;       // exit status, or -1 when the child did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
  bool logopen;     // the log was still open when the main loop had returned
};

// Runs the whole program (quonmain) in a child process in the current
// folder, with args after the program's name, input as its standard input
// and keys queued for it. ESC waits in the key queue by default, so a run
// that reaches the main loop ends at its first pass with status 27.
QuonRun runquon(std::vector<std::string> args, const std::string &input = "",
                const std::vector<int> &keys = {KEY_ESC});

#endif
