// The simulated port: two SPP adapters modelled at register level, the test
// connector plugged into both, and the word the BIOS data area would hold.
#include "sim/simport.h"

namespace {
// The power-on state, stated once: the adapters start in it (constant
// initialisation, before any code runs; quon-sim never resets them) and
// simreset() puts it back.
constexpr SimAdapter POWERON[SIM_ADAPTERS] = {SimAdapter{SIM_BASE0},
                                              SimAdapter{SIM_BASE1}};
constexpr uint16_t POWERON_BIOSWORD = static_cast<uint16_t>(SIM_BASE0);
}  // namespace

SimAdapter simadapter[SIM_ADAPTERS] = {POWERON[0], POWERON[1]};
uint16_t simbiosword = POWERON_BIOSWORD;
int simdenyaccess = 0;
SimAccess simtrace[SIM_TRACE];
int simtracecount = 0;
int simtracing = 0;

namespace {

constexpr uint8_t STATUS_BUSY = 0x80;       // status bit read inverted
constexpr uint8_t STATUS_PINS = 0xF8;       // bits 7-3 carry pins
constexpr uint8_t CONTROL_PINS = 0x0F;      // open-collector lines 0-3

// The level (0 or 1) that the outside world puts on input bit i's pin.
uint8_t externallevel(const SimAdapter &a, int i) {
  if (a.stuck[i] == 0 || a.stuck[i] == 1) return static_cast<uint8_t>(a.stuck[i]);
  int line = a.wire[i];
  if (line < 0 || line > 7) return 1;  // open: the pull-up wins
  return (a.data >> line) & 1;
}

uint8_t readstatus(const SimAdapter &a) {
  uint8_t pins = 0;
  for (int i = 3; i < 8; i++) pins |= static_cast<uint8_t>(externallevel(a, i) << i);
  return static_cast<uint8_t>(((pins ^ STATUS_BUSY) & STATUS_PINS) | 0x07);
}

uint8_t readcontrol(const SimAdapter &a) {
  // What the adapter's own drivers put on lines 0-3: an inverted line is
  // pulled low by a latch bit of 1, any other (INIT on a PC) by a 0.
  uint8_t driven = static_cast<uint8_t>((a.control ^ a.inverted) & CONTROL_PINS);
  uint8_t outside = 0x08;  // SELECT-IN is not on the connector: floats high
  for (int i = 0; i < 3; i++) outside |= static_cast<uint8_t>(externallevel(a, i) << i);
  // Open collector: a line is high only when nobody pulls it low; a stuck
  // pin is held at its level whatever drives it.
  uint8_t level = driven & outside;
  for (int i = 0; i < 3; i++) {
    if (a.stuck[i] == 0) level &= static_cast<uint8_t>(~(1u << i));
    if (a.stuck[i] == 1) level |= static_cast<uint8_t>(1u << i);
  }
  uint8_t lines = static_cast<uint8_t>((level ^ a.inverted) & CONTROL_PINS);
  return static_cast<uint8_t>((a.control & 0xF0) | lines);
}

// The adapter whose three registers include address, and the register's
// offset in *offset; nullptr when no adapter answers there.
SimAdapter *adapterat(uint32_t address, uint32_t *offset) {
  for (SimAdapter &a : simadapter) {
    if (address >= a.base && address - a.base <= 2) {
      *offset = address - a.base;
      return &a;
    }
  }
  return nullptr;
}

void record(uint32_t address, uint8_t value, uint8_t write) {
  if (!simtracing) return;
  if (simtracecount >= 0 && simtracecount < SIM_TRACE) {
    simtrace[simtracecount] = SimAccess{address, value, write};
  }
  if (simtracecount < 0x7FFFFFFF) simtracecount++;
}

}  // namespace

void simreset(void) {
  for (int n = 0; n < SIM_ADAPTERS; n++) simadapter[n] = POWERON[n];
  simbiosword = POWERON_BIOSWORD;
  simdenyaccess = 0;
  simtracing = 0;
  simtracecount = 0;
  for (SimAccess &t : simtrace) t = SimAccess{0, 0, 0};
}

uint8_t simread(uint32_t address) {
  uint32_t offset = 0;
  const SimAdapter *a = adapterat(address, &offset);
  uint8_t value = 0xFF;  // nobody answers: the bus floats high
  if (a != nullptr && (a->forced >> offset) & 1) {
    value = a->forcevalue[offset];
  } else if (a != nullptr) {
    if (offset == 0) value = a->data;
    if (offset == 1) value = readstatus(*a);
    if (offset == 2) value = readcontrol(*a);
  }
  record(address, value, 0);
  return value;
}

void simwrite(uint32_t address, uint8_t value) {
  uint32_t offset = 0;
  SimAdapter *a = adapterat(address, &offset);
  if (a != nullptr) {
    if (offset == 0) a->data = value;
    if (offset == 2) a->control = value;  // the status register ignores writes
  }
  record(address, value, 1);
}
