// The clean start of every unit test: record, ports, simulated adapters and
// the test doubles.
#include <cstdio>

#include "driver/loader.h"
#include "driver/tables.h"
#include "platform/fakes.h"
#include "platform/simport.h"
#include "port/port.h"
#include "tests/testutil.h"

void resetall(void) {
  resettables();
  resetports();
  simreset();
  fakekeysreset();
  fakeshellreset();
  fakeclock = 0;
  prog.logfile = tmpfile();
}

void loadscript(const std::string &text) {
  FILE *in = tmpfile();
  fwrite(text.data(), 1, text.size(), in);
  rewind(in);
  prog.infile = in;
  loadprogram();
}

