// Fuzz target: arbitrary bytes as a testbench file and the trace its
// replay lines read, through the bench parser and the trace reader, then a
// run of a small script under the bench.
//
// The input is the bench's text, then a line "%%" and the trace's text;
// every replay line reads that trace from memory, so no file is opened. A
// bench is user input: no byte sequence may crash the parser or the run,
// or leave a bench of a shape the run does not expect. After every parse
// the bench is checked against that shape: a failed parse names the file
// and a line of it, a bench that parsed holds its events in time order,
// within its end, on ports 0 and 1, and the changes of every replay.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/tables.h"
#include "driver/loader.h"
#include "fuzz/fuzzcheck.h"
#include "port/port.h"
#include "sim/simport.h"
#include "testbench/testbench.h"
#include "trace/vcdread.h"

const char *const FUZZSUBJECT = "broken bench";

namespace {

const char *const NAME = "f.qtb";

// A door switch as the examples have it (a WAIT on an input, a note, an
// output raised, a key that lowers it again), and a follower on port 1.
// Threads move only when the bench drives an input or types a key, so the
// clock jumps and a run costs its events, whatever its end.
const char SCRIPT[] =
    "WAIT 0 1.......\nNOTATE door open\nOUTPUT 0 .......1\nKEY x\nOUTPUT 0 .......0\n$\n"
    "WAIT 1 .......1\nOUTPUT 1 1.......\nWAIT 1 .......0\nOUTPUT 1 0.......\n$\n$\n";

// A failed parse: "f.qtb:LINE: what", LINE from 0 to the lines of the text.
void checkerror(const std::string &error, const std::string &bench) {
  std::string head = std::string(NAME) + ":";
  expect(error.compare(0, head.size(), head) == 0, "error without the file's name", 0);
  size_t colon = error.find(": ", head.size());
  expect(colon != std::string::npos && colon > head.size(), "error without a line", 0);
  long line = 0;
  for (size_t i = head.size(); i < colon; ++i) {
    expect(error[i] >= '0' && error[i] <= '9', "line is no number", static_cast<long>(i));
    line = line * 10 + (error[i] - '0');
    expect(line <= static_cast<long>(bench.size()) + 1, "line past the text", line);
  }
  long lines = 0;
  for (char c : bench) lines += c == '\n';
  if (!bench.empty() && bench.back() != '\n') ++lines;
  expect(line <= lines, "line past the text", line);
}

void checkbench(const Testbench &b, const std::string &trace) {
  size_t replayed = 0;
  for (size_t i = 0; i < b.drives.size(); ++i) {
    const BenchDrive &d = b.drives[i];
    long at = static_cast<long>(i);
    expect(i == 0 || b.drives[i - 1].us <= d.us, "drives out of time order", at);
    expect(d.port == 0 || d.port == 1, "drive of a port out of range", d.port);
    expect((d.value & ~d.mask) == 0, "drive of a bit it does not hold", at);
    expect(d.line != 0 || d.mask != 0, "replayed change of no bit", at);
    expect(d.line == 0 || d.us <= b.end, "drive after the end", d.line);
    if (d.line == 0) ++replayed;
  }
  size_t changes = 0;
  vcdreadinputstext(trace, [&changes](const VcdInputChange &) { ++changes; });
  expect(replayed == changes * b.replays.size(), "replayed changes lost or added",
         static_cast<long>(replayed));
  for (size_t i = 0; i < b.keys.size(); ++i) {
    const BenchKeys &k = b.keys[i];
    expect(i == 0 || b.keys[i - 1].us <= k.us, "keys out of time order", k.line);
    expect(k.us <= b.end, "key after the end", k.line);
    expect(!k.codes.empty() && k.codes.size() <= 2, "key of no or many codes", k.line);
    for (int code : k.codes) expect(code >= 0 && code <= 255, "key code out of range", code);
  }
  for (const BenchExpect &e : b.expects) {
    expect(e.from <= e.to && e.to <= b.end, "expectation outside the run", e.line);
    expect(e.port == 0 || e.port == 1, "expectation of a port out of range", e.line);
    expect(e.kind != CHECK_NOTE || !e.text.empty(), "note expectation without text", e.line);
    expect(e.kind != CHECK_AT || e.from == e.to, "at expectation over a window", e.line);
    expect(e.text.find('\0') == std::string::npos, "text with a NUL", e.line);
  }
}

// Runs the script under the bench with both output streams silenced: the
// failures and notes of every input would drown the fuzzer's report.
int quietrun(Testbench *b) {
  fflush(stdout);
  fflush(stderr);
  int out = dup(1), err = dup(2);
  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || sink < 0 || dup2(sink, 1) < 0 || dup2(sink, 2) < 0) {
    perror("fuzz_testbench: silencing");
    abort();
  }
  int verdict = testbenchrun(b);
  fflush(stdout);
  fflush(stderr);
  dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
  close(sink);
  return verdict;
}

void run(Testbench *b) {
  resettables();
  resetports();
  simreset();
  prog.infile = fmemopen(const_cast<char *>(SCRIPT), sizeof SCRIPT - 1, "r");
  prog.logfile = fopen("/dev/null", "w");
  if (prog.infile == nullptr || prog.logfile == nullptr) {
    perror("fuzz_testbench: stream");
    abort();
  }
  loadprogram();
  prog.calctl = BENCH_CALCTL;
  prog.calinv = BENCH_CALINV;
  int verdict = quietrun(b);
  expect(verdict == 0 || verdict == 1, "verdict neither 0 nor 1", verdict);
  bool held = true;
  for (const BenchExpect &e : b->expects) held = held && e.held;
  expect((verdict == 0) == held, "verdict against the expectations", verdict);
  resettables();  // frees everything, so the leak check sees a clean slate
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t split = input.find("\n%%\n");
  std::string bench = input.substr(0, split == std::string::npos ? size : split + 1);
  std::string trace = split == std::string::npos ? "" : input.substr(split + 4);

  Testbench b;
  std::string error;
  int result = testbenchparse(NAME, bench, &b, &error, &trace);
  expect(result == 0 || result == -1, "result neither 0 nor -1", result);
  if (result != 0) {
    checkerror(error, bench);
    return 0;
  }
  expect(error.empty(), "an error for a bench that parsed", 0);
  checkbench(b, trace);
  run(&b);
  return 0;
}
