// Logical ports over the port registers or GPIO lines: their addresses,
// the port locator, calibrated input, read-back and output. Which of the
// two a port is was settled at start-up; every operation tests one flag.
#include "port/port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/fatal.h"
#include "core/tables.h"
#include "core/watch.h"
#include "platform/gpio.h"
#include "platform/portio.h"
#include "port/edges.h"

PortAddresses portaddresses;
const char *porthint = "";
const char *portnote = nullptr;
const char *portwarning = nullptr;
uint32_t chosenbase[LOGICAL_PORTS] = {0, 0};

namespace {

constexpr uint8_t STATUS_BITS = 0xF8;   // input bits 7-3 from the status register
constexpr uint8_t CONTROL_BITS = 0x07;  // input bits 2-0 from the control lines

// The GPIO side of the ports; resetports puts it back.
struct GpioPorts {
  bool ongpio[LOGICAL_PORTS] = {};     // the port's operations go to GPIO lines
  bool gpiowired[LOGICAL_PORTS] = {};  // its lines were given (--port=, --port1=)
  uint8_t gpioheld[LOGICAL_PORTS] = {};  // the byte last written to its lines
  bool gpiofailed = false;          // a write was refused: the program is ending
  bool spin = false;                // --spin: the inputs polled, no edges asked for
  std::string note;                 // what the request had to say (a chip without edges)
};
GpioPorts gp;

// The flag banks; resetports forgets them.
struct FlagBanks {
  unsigned declared = 0;              // bit n: logical port n is a bank
  uint8_t bits[PORT_NUMBERS] = {};    // each bank's bits
};
FlagBanks fb;

// A port number beyond the lines: a flag bank's bits, or the end of the
// run as ever with the message of what was tried. Out of line, so that the
// lines' path stays as it was.
[[gnu::noinline, gnu::cold]] uint8_t &beyondlines(int32_t n, const char *what,
                                                  const char *preposition) {
  if (n < FLAG_FIRST || n >= PORT_NUMBERS || !portisflag(n)) {
    fatal("Attempt to %s %s logical port %ld, > max of %ld\n", what, preposition,
          static_cast<long>(n), static_cast<long>(LOGICAL_PORTS - 1));
  }
  return fb.bits[n];
}

// GPIO ports: every port in use is one, or none is. Logical port 1 not
// given has no lines; a script that uses it is refused once loaded.
void locategpio(void) {
  if (!gp.gpiowired[0]) {
    fatal("Unable to use GPIO lines!\nLogical port 1 is on GPIO lines and logical port 0 on a "
          "parallel port: give --port= as GPIO lines too (a GPIO port and a parallel port "
          "cannot be mixed).\n");
  }
  if (chosenbase[1] != 0) {
    fatal("Unable to use GPIO lines!\nLogical port 0 is on GPIO lines and --port1= names a "
          "parallel port: give --port1= as GPIO lines too (a GPIO port and a parallel port "
          "cannot be mixed).\n");
  }
  std::string error;
  if (gpiorequest(&error, !gp.spin, &gp.note) != 0) fatal("Unable to use GPIO lines!\n%s\n", error.c_str());
  if (!gp.note.empty()) portwarning = gp.note.c_str();
  for (bool &g : gp.ongpio) g = true;
  unsigned followed = 0;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (gpiogivesedges(n)) followed |= 1u << n;
  }
  if (!gp.spin && edgesstart(followed, GPIO_EDGES) != 0) {
    fatal("Unable to read the GPIO lines! (%s)\n", strerror(errno));
  }
}

// The input byte of GPIO port n: the lines as they are, with no
// calibration (active-low lines inverted by the kernel). Kept out of line
// so that the register path of every input stays as compact as before.
[[gnu::noinline]] uint8_t readlines(int32_t n, bool debug, PortRegisters *raw) {
  // Followed by its edges, the input is what the last one left.
  int32_t value = edgesfollow(n) ? edgebyte(n) : gpioread(n);
  if (value < 0) {
    fatal("Unable to read the GPIO lines of logical port %ld! (%s)\n", static_cast<long>(n),
          strerror(errno));
  }
  uint8_t lines = static_cast<uint8_t>(value);
  if (debug) printf("inputting lines %02x\n", lines);
  if (raw != nullptr) *raw = PortRegisters{lines, 0};
  return lines;
}

}  // namespace

void portchoosegpio(int32_t n) { gp.gpiowired[n] = true; }

bool portsongpio(void) { return gp.gpiowired[0] || gp.gpiowired[1]; }

int32_t portunwired(unsigned addressed) {
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (gp.ongpio[n] && !gp.gpiowired[n] && ((addressed >> n) & 1) != 0) return n;
  }
  return -1;
}

int32_t locateport(void) {
  if (portsongpio()) {
    locategpio();
    return 0;
  }
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
uint16_t readinput(int32_t n, bool debug, PortRegisters *raw) {
  if (__builtin_expect(gp.ongpio[n], 0)) return readlines(n, debug, raw);
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
  if (raw != nullptr) *raw = PortRegisters{rawstatus, rawcontrol};
  uint8_t high = rawstatus & STATUS_BITS;
  uint8_t low = rawcontrol & CONTROL_BITS;
  return static_cast<uint16_t>((high | low) ^ prog.calinv);
}
}  // namespace

uint16_t portinput(int32_t n) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    return beyondlines(n, "input", "from");
  }
  uint16_t value = readinput(n, prog.portdebug && prog.verbose, nullptr);
  // What the threads see: the lines, with whatever a watcher forces.
  uint8_t seen = watchinput(n, static_cast<uint8_t>(value));
  return static_cast<uint16_t>((value & 0xFF00u) | seen);
}

namespace {
// A write to a port on GPIO lines, kept off the registers' path. A refused
// write ends the run; the safe outputs tried at that exit must not end it
// a second time.
__attribute__((noinline, cold)) void writelines(int32_t n, uint8_t b) {
  if (portrawwrite(n, b) != 0 && !gp.gpiofailed) {
    gp.gpiofailed = true;
    fatal("Unable to write the GPIO lines of logical port %ld! (%s)\n", static_cast<long>(n),
          strerror(errno));
  }
}
}  // namespace

uint8_t portsample(int32_t n, PortRegisters *raw) {
  return static_cast<uint8_t>(readinput(n, false, raw));
}

uint8_t portreadback(int32_t n) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    return beyondlines(n, "read-back", "from");
  }
  return portrawreadback(n);
}

uint8_t portrawreadback(int32_t n) {
  if (__builtin_expect(gp.ongpio[n], 0)) return gp.gpioheld[n];
  return ioread(portaddresses.data[n]);
}

int portrawwrite(int32_t n, uint8_t b) {
  if (!gp.ongpio[n]) {
    iowrite(portaddresses.data[n], b);
    return 0;
  }
  gp.gpioheld[n] = b;
  return gpiowrite(n, b);
}

void portwrite(int32_t n, uint8_t b) {
  if (n < 0 || n >= LOGICAL_PORTS) {
    beyondlines(n, "write", "to") = b;
    watchflag(n, b);
    return;
  }
  if (__builtin_expect(gp.ongpio[n], 0)) {
    writelines(n, b);
  } else {
    iowrite(portaddresses.data[n], b);
  }
  watchoutput(n, b);
}

void portspin(bool spin) { gp.spin = spin; }

bool portstill(int32_t n, uint16_t pattern) {
  if (portisflag(n)) return !matchpattern(fb.bits[n], pattern);
  if (n < 0 || n >= LOGICAL_PORTS || !edgesfollow(n)) return false;
  uint8_t in = edgebyte(n);
  if (watched(WATCH_INPUT)) in = watchforced(n, in);  // what a WAIT sees
  return !matchpattern(in, pattern);
}

void portflagbanks(unsigned banks) {
  unsigned all = ((1u << PORT_NUMBERS) - 1) & ~((1u << FLAG_FIRST) - 1);
  fb.declared = banks & all;
  flagsclear();
}

unsigned portflagged(void) { return fb.declared; }

uint8_t flagbits(int32_t n) { return fb.bits[n]; }

void flagapply(int32_t n, uint16_t pattern) {
  fb.bits[n] = applypattern(fb.bits[n], pattern);
  watchflag(n, fb.bits[n]);
}

void flagsclear(void) {
  for (uint8_t &b : fb.bits) b = 0;
}

void resetports(void) {
  fb = FlagBanks{};
  portaddresses = PortAddresses{};
  porthint = "";
  portnote = portwarning = nullptr;
  chosenbase[0] = chosenbase[1] = 0;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    gp.ongpio[n] = gp.gpiowired[n] = false;
    gp.gpioheld[n] = 0;
  }
  gp.gpiofailed = false;
  gp.spin = false;
  gp.note.clear();
  edgesreset();
  gpioreset();
}
