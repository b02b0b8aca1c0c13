#include "driver/ports.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/fatal.h"
#include "platform/gpio.h"
#include "platform/portio.h"
#include "port/linemap.h"
#include "port/port.h"

namespace {

// The GPIO chips, each line with its name, holder and debounce; nothing when the
// system has none.
void listgpiochips(void) {
  for (const GpioChipInfo &chip : gpiochips()) {
    if (!chip.problem.empty()) {
      printf("%-9s %s\n", chip.device.c_str(), chip.problem.c_str());
      continue;
    }
    printf("%-9s label \"%s\"  %zu lines\n", chip.device.c_str(), chip.label.c_str(),
           chip.lines.size());
    for (size_t o = 0; o < chip.lines.size(); ++o) {
      const GpioLineInfo &line = chip.lines[o];
      std::string name = line.name.empty() ? "-" : line.name;
      std::string use = !line.used ? "free"
                        : line.consumer.empty() ? "in use by the kernel"
                                                : "in use by \"" + line.consumer + "\"";
      // A held line's debounce, as its holder asked the kernel for it.
      if (line.debounceus != 0) {
        use += line.debounceus % 1000 == 0 ? ", debounce " + std::to_string(line.debounceus / 1000) + "ms"
                                           : ", debounce " + std::to_string(line.debounceus) + "us";
      }
      printf("  line %3zu  %-16s %s\n", o, name.c_str(), use.c_str());
    }
  }
}

// Why the BIOS data area could not be read, as ioports said it.
const char *unreadable(int32_t word) {
  if (word == BIOSWORD_ABSENT) return "not readable (no /dev/mem)";
  if (word != BIOSWORD_REFUSED) return "not readable (/dev/mem gives no word there)";
  return geteuid() == 0 ? "not readable (the kernel refuses /dev/mem even to root)"
                        : "not readable (root only)";
}

}  // namespace

void listports(void) {
  std::vector<KnownPort> ports;
  int32_t word = 0;
  ioports(&ports, &word);
  for (const KnownPort &p : ports) {
    char hi[16] = "none";
    if (p.basehi >= 0) snprintf(hi, sizeof hi, "0x%x", static_cast<unsigned>(p.basehi));
    printf("%-9s base 0x%x  extended %-6s  modes %s\n", p.name.c_str(), p.base, hi,
           p.modes.empty() ? "-" : p.modes.c_str());
  }
  if (word > 0) printf("BIOS data area: 0x%x\n", static_cast<unsigned>(word));
  else printf("BIOS data area: %s\n", word == 0 ? "no port recorded" : unreadable(word));
  if (word > 0) {
    printf("logical port 0: 0x%x, the port the BIOS data area records\n", static_cast<unsigned>(word));
  } else if (!ports.empty()) {
    printf("logical port 0: 0x%x, %s (the BIOS data area names none)\n", ports[0].base,
           ports[0].name.c_str());
  } else {
    printf("No parallel port found: for a PCIe card load the parport_pc module "
           "(modprobe parport_pc); without a port, run scripts with quon-sim.\n");
  }
  listgpiochips();
}

namespace {

// An address as the manual gives it: hexadecimal after 0x, or decimal
// digits alone (a leading 0 is no octal, no sign or space is taken).
// False when value is neither or goes past 0xFFFF.
bool address(const char *value, unsigned long *result) {
  bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  const char *digit = hex ? value + 2 : value;
  const char *const DIGITS = "0123456789abcdef";
  unsigned long radix = hex ? 16 : 10;
  unsigned long n = 0;
  for (const char *c = digit; *c != '\0'; ++c) {
    const char *at = strchr(DIGITS, *c >= 'A' && *c <= 'F' ? *c - 'A' + 'a' : *c);
    if (at == nullptr || static_cast<unsigned long>(at - DIGITS) >= radix) return false;
    n = n * radix + static_cast<unsigned long>(at - DIGITS);
    if (n > 0xFFFF) return false;
  }
  *result = n;
  return *digit != '\0';
}

// parportN or an address (hexadecimal with 0x, or decimal); option is the
// option as written up to its value, for the messages.
uint32_t portvalue(const char *option, const char *value) {
  std::vector<KnownPort> ports;
  int32_t word = 0;
  ioports(&ports, &word);
  if (strncmp(value, "parport", 7) == 0) {
    for (const KnownPort &p : ports) {
      if (p.name == value) return p.base;
    }
    fatal("%s%s: the kernel lists no such port (see --ports)\n", option, value);
  }
  unsigned long base = 0;
  if (!address(value, &base) || base == 0 || base > 0xFFFD) {
    fatal("%s%s: not a port (parportN as --ports lists them, or an address such as 0x378)\n",
          option, value);
  }
  bool listed = false;
  for (const KnownPort &p : ports) listed = listed || p.base == base;
  if (!listed) {
    std::string owner = ioowner(static_cast<uint32_t>(base));
    if (owner.empty()) {
      fprintf(stderr, "Warning: %s%s: 0x%lx is no port the kernel lists; used as given\n", option,
              value, base);
    } else {
      fprintf(stderr,
              "Warning: %s%s: 0x%lx is no parallel port: the kernel gives it to %s; used as "
              "given\n",
              option, value, base, owner.c_str());
    }
  }
  return static_cast<uint32_t>(base);
}

}  // namespace

PortGiven chooseport(int32_t n, const char *option, const char *value, bool prepare) {
  if (!isgpiovalue(value)) {
    chosenbase[n] = portvalue(option, value);
    return PortGiven::REGISTERS;
  }
  // GPIO lines: the map read and, for a run, its chip and lines found.
  LineMap map;
  std::string error;
  if (parselinemap(value, &map, &error) != 0 || (prepare && gpioprepare(n, map, &error) != 0)) {
    fatal("%s%s: %s\n", option, value, error.c_str());
  }
  if (prepare) portchoosegpio(n);
  return PortGiven::GPIO;
}
