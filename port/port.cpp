// Logical ports over the port registers: their addresses, the port
// locator, calibrated input, read-back and output.
#include "port/port.h"

#include <cstdio>

#include "core/fatal.h"
#include "core/tables.h"
#include "platform/portio.h"
#include "publish/publish.h"
#include "trace/trace.h"

PortAddresses portaddresses;
const char *porthint = "";
const char *portnote = nullptr;
const char *portwarning = nullptr;
uint32_t chosenbase[LOGICAL_PORTS] = {0, 0};

namespace {

constexpr uint8_t STATUS_BITS = 0xF8;   // input bits 7-3 from the status register
constexpr uint8_t CONTROL_BITS = 0x07;  // input bits 2-0 from the control lines

}  // namespace

int32_t locateport(void) {
  const char *hint = "no parallel port found";
  int32_t found = chosenbase[0] != 0 ? static_cast<int32_t>(chosenbase[0]) : biosportbase(&hint);
  // Base 0 would aim every access at the DMA controller: it means that the
  // firmware recorded no port, never a port at address 0.
  if (found <= 0 || found > 0xFFFF) {
    porthint = hint;
    return -1;
  }
  uint32_t base = static_cast<uint16_t>(found);
  uint32_t base1 = chosenbase[1] != 0 ? chosenbase[1] : portaddresses.data[1];
  const char *note = nullptr, *warning = nullptr;
  if (ioaccess(base, base1, &hint, &note, &warning) != 0) {
    porthint = hint;
    return -1;
  }
  portnote = note;
  portwarning = warning;
  portaddresses.data[0] = base;
  portaddresses.data[1] = base1;
  return 0;
}

namespace {
// The calibrated input of logical port n (in range): the control byte
// first, then status and control lines; the raw registers printed first
// when debug is set.
uint16_t readinput(int32_t n, bool debug) {
  uint32_t status = portaddresses.data[n] + 1;
  uint32_t control = status + 1;
  iowrite(control, static_cast<uint8_t>(prog.calctl & 0xFF));
  if (debug) {
    uint8_t rawcontrol = ioread(control);
    uint8_t rawstatus = ioread(status);
    printf("inputting %02x | %02x\n", rawstatus, rawcontrol);
  }
  uint8_t rawstatus = ioread(status);
  uint8_t rawcontrol = ioread(control);
  publishregisters(n, rawstatus, rawcontrol);
  uint8_t high = rawstatus & STATUS_BITS;
  uint8_t low = rawcontrol & CONTROL_BITS;
  return static_cast<uint16_t>((high | low) ^ prog.calinv);
}
}  // namespace

uint16_t portinput(int32_t n) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    fatal("Attempt to input from logical port %ld, > max of %ld\n",
          static_cast<long>(n), static_cast<long>(LOGICAL_PORTS - 1));
  }
  uint16_t value = readinput(n, prog.portdebug && prog.verbose);
  uint8_t seen = publishinput(n, static_cast<uint8_t>(value));
  traceinput(n, seen);
  return static_cast<uint16_t>((value & 0xFF00u) | seen);
}

uint8_t portsample(int32_t n) {
  return static_cast<uint8_t>(readinput(n, false));
}

uint8_t portreadback(int32_t n) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    fatal("Attempt to read-back from logical port %ld, > max of %ld\n",
          static_cast<long>(n), static_cast<long>(LOGICAL_PORTS - 1));
  }
  return ioread(portaddresses.data[n]);
}

void portwrite(int32_t n, uint8_t b) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    fatal("Attempt to write to logical port %ld, > max of %ld\n",
          static_cast<long>(n), static_cast<long>(LOGICAL_PORTS - 1));
  }
  iowrite(portaddresses.data[n], b);
  publishoutput(n, b);
  traceoutput(n, b);
}

void resetports(void) {
  portaddresses = PortAddresses{};
  porthint = "";
  portnote = portwarning = nullptr;
  chosenbase[0] = chosenbase[1] = 0;
}
