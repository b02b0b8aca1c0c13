// A run of several benches over one script, and what it reports: each
// bench from power-on, so that none depends on what another left behind,
// and their verdicts, reports and statement counts together.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/tables.h"
#include "platform/files.h"
#include "platform/portio.h"
#include "port/port.h"
#include "testbench/testbench.h"

namespace {

// The simulated port and the flag banks as at power-on: outputs 0, every
// input pin back on its line, every flag bit 0. The threads are parked
// anew and the clock set to 0 by the bench's run itself.
void freshstart(void) {
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    portrawwrite(n, 0);
    for (int bit = 0; bit < 8; ++bit) ioholdinput(portaddresses.data[n], bit, -1);
  }
  flagsclear();
}

// One report written, or a line on standard error saying why not.
bool report(const char *what, const char *file, const std::string &text) {
  std::string why;
  if (writereport(file, text, &why) == 0) return true;
  fprintf(stderr, "Unable to write %s \"%s\"! (%s)\n", what, file, why.c_str());
  return false;
}

}  // namespace

int testbenchsuite(std::vector<Testbench> *benches, const BenchReports &reports) {
  bool several = benches->size() > 1;
  int status = 0, good = 0, total = 0, unread = 0;
  bool ranone = false;
  if (reports.coverage != nullptr) coveragestart();
  for (Testbench &b : *benches) {
    b.named = several;
    b.keepnotes = reports.junit != nullptr;
    if (!b.error.empty()) {
      ++unread;
      status = 1;
      // Its verdict, even alone: the last line still says how the run went.
      fprintf(stderr, "testbench: %s: not run (it could not be read)\n", b.name.c_str());
      continue;
    }
    if (ranone) freshstart();
    ranone = true;
    if (reports.coverage != nullptr) coverageparked();
    auto start = std::chrono::steady_clock::now();
    status |= testbenchrun(&b);
    b.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const BenchExpect &e : b.expects) good += e.held ? 1 : 0;
    total += static_cast<int>(b.expects.size());
  }
  fflush(stdout);
  if (several) {
    std::string notread = unread == 0 ? ""
                          : unread == 1 ? ", 1 bench not read"
                                        : ", " + std::to_string(unread) + " benches not read";
    fprintf(stderr, "testbench: %zu benches, %d of %d expectations held%s\n", benches->size(),
            good, total, notread.c_str());
  }
  if (reports.coverage != nullptr) {
    // The script's absolute name, where lcov's readers find it from any
    // folder.
    coveragestop();
    int lines = 0, reached = 0;
    std::string text = coveragelcov(fullname(reports.script.c_str()), &lines, &reached);
    if (report("coverage file", reports.coverage, text)) {
      printf("coverage: %d of %d statements ran\n", reached, lines);
    } else {
      status = 1;
    }
  }
  if (reports.junit != nullptr &&
      !report("JUnit report", reports.junit, junitreport(*benches, reports.script))) {
    status = 1;
  }
  if (reports.tap != nullptr && !report("TAP report", reports.tap, tapreport(*benches))) {
    status = 1;
  }
  fflush(stdout);
  return status;
}
