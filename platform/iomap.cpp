#include "platform/iomap.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// A PCI function's address, "dddd:bb:dd.f": the device, not its driver.
bool pciaddress(const std::string &name) {
  const char *form = "hhhh:hh:hh.h";
  if (name.size() != strlen(form)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    bool ok = form[i] == 'h' ? isxdigit(static_cast<unsigned char>(name[i])) != 0
                             : name[i] == form[i];
    if (!ok) return false;
  }
  return true;
}

bool container(const std::string &name) {
  for (const char *window : {"PCI Bus ", "PCI CardBus ", "pnp "}) {
    if (name.compare(0, strlen(window), window) == 0) return true;
  }
  return name == "reserved" || pciaddress(name);
}

}  // namespace

std::string iomapowner(const std::string &map, uint32_t address) {
  std::string owner;
  size_t at = 0;
  while (at < map.size()) {
    size_t end = map.find('\n', at);
    if (end == std::string::npos) end = map.size();
    std::string line = map.substr(at, end - at);
    at = end + 1;
    unsigned long from = 0, to = 0;
    size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    if (sscanf(line.c_str(), " %lx-%lx", &from, &to) != 2) continue;  // NOLINT(cert-err34-c)
    std::string name = line.substr(colon + 3);
    // Ranges nest in file order, so the last that holds the address is the
    // deepest.
    if (address >= from && address <= to && !container(name)) owner = name;
  }
  return owner;
}
