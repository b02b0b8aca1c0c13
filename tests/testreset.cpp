// The clean start of every unit test: record, ports, simulated adapters and
// the test doubles.
#include <gtest/gtest.h>

#include <cstdio>

#include "driver/loader.h"
#include "driver/mainloop.h"
#include "driver/tables.h"
#include "platform/fakes.h"
#include "platform/simport.h"
#include "executor/step.h"
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


void resetloopback(void) {
  resetall();
  prog.calctl = 4;
  prog.calinv = 0x83;
}

void startscript(const std::string &text) {
  loadscript(text);
  mainloopinit();
}

std::string capturestep(int32_t t) {
  testing::internal::CaptureStdout();
  stepthread(t);
  return testing::internal::GetCapturedStdout();
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}
