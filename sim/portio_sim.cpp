// Port registers on the simulated adapters: for running without a port and
// for the tests. The base word and access refusal are rigged through
// simbiosword and simdenyaccess.
#include "platform/portio.h"
#include "sim/simport.h"

int32_t biosportbase(const char **hint) {
  if (simbiosword == 0) {
    *hint = "no parallel port found";
    return -1;
  }
  return simbiosword;
}

void ioports(std::vector<KnownPort> *ports, int32_t *biosword) {
  ports->clear();
  for (int n = 0; n < SIM_ADAPTERS; ++n) {
    ports->push_back({"parport" + std::to_string(n), simadapter[n].base, -1, "PCSPP (simulated)"});
  }
  *biosword = simbiosword;
}

std::string ioowner(uint32_t) { return ""; }

int32_t ioaccess(uint32_t, uint32_t, const char **hint, const char **note,
                 const char **warning) {
  *note = *warning = nullptr;
  if (simdenyaccess) {
    *hint = "access to the port registers was refused";
    return -1;
  }
  return 0;
}

int32_t iohold(const char **, const char **) { return 0; }

void iorelease(void) {}  // the simulated registers live in this process only

int iosimulated(void) { return 1; }

void ioholdinput(uint32_t base, int bit, int level) {
  for (SimAdapter &a : simadapter) {
    if (a.base != base || bit < 0 || bit >= 8) continue;
    a.stuck[bit] = static_cast<int8_t>(level < 0 ? -1 : level != 0);
  }
}

uint8_t ioread(uint32_t address) { return simread(address); }

void iowrite(uint32_t address, uint8_t value) { simwrite(address, value); }
