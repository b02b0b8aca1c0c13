// The kernel's I/O map (/proc/ioports) read for the driver that holds an
// address. Provider: iomap.cpp.
#ifndef QUON_PLATFORM_IOMAP_H
#define QUON_PLATFORM_IOMAP_H

#include <cstdint>
#include <string>

// The driver that map (the text of /proc/ioports: "  0378-037a : parport0",
// nested ranges indented deeper) gives address to: the deepest range that
// holds it and names a driver. Windows and claims that only contain others
// (a "PCI Bus" or "PCI CardBus" window, a "pnp" reservation, a PCI
// device's own address such as "0000:03:00.0" before a driver takes it,
// "reserved") name none. "" when nothing does.
std::string iomapowner(const std::string &map, uint32_t address);

#endif
