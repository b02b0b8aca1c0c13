// The benchmark's port back-end: the simulated adapters, with every register
// write shown to the benchmark's stamp, so reaction and lateness are timed
// at the write itself, inside a pass. The benchmark never looks for a port.
#include "bench/bench.h"
#include "platform/portio.h"
#include "sim/simport.h"

int32_t biosportbase(const char **hint) {
  *hint = "the benchmark runs on the simulated adapters only";
  return -1;
}

void ioports(std::vector<KnownPort> *ports, int32_t *biosword) {
  ports->clear();
  *biosword = 0;
}

std::string ioowner(uint32_t) { return ""; }

int32_t ioaccess(uint32_t, uint32_t, const char **, const char **note, const char **warning) {
  *note = *warning = nullptr;
  return 0;
}

int32_t iohold(const char **, const char **) { return 0; }

void iorelease(void) {}

int iosimulated(void) { return 1; }

void ioholdinput(uint32_t base, int bit, int level) {
  for (SimAdapter &a : simadapter) {
    if (a.base != base || bit < 0 || bit >= 8) continue;
    a.stuck[bit] = static_cast<int8_t>(level < 0 ? -1 : level != 0);
  }
}

uint8_t ioread(uint32_t address) { return simread(address); }

void iowrite(uint32_t address, uint8_t value) {
  simwrite(address, value);
  watchedwrite(address, value);
}
