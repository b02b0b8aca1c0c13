// The kernel's I/O map read for an address's owner: the deepest range that
// names a driver, never a window or a device that only holds other ranges.
#include <gtest/gtest.h>

#include <string>

#include "platform/iomap.h"

namespace {

// A PC's /proc/ioports, shortened.
const char *const MAP =
    "0000-0cf7 : PCI Bus 0000:00\n"
    "  0000-001f : dma1\n"
    "  0378-037a : parport0\n"
    "  03f8-03ff : serial\n"
    "0cf8-0cff : PCI conf1\n"
    "0d00-ffff : PCI Bus 0000:00\n"
    "  0400-047f : pnp 00:00\n"
    "    0400-0403 : ACPI PM1a_EVT_BLK\n"
    "  0800-080f : reserved\n"
    "  1000-1fff : PCI Bus 0000:01\n"
    "    1000-107f : 0000:01:00.0\n"
    "      1000-107f : e1000e\n"
    "  d000-dfff : PCI Bus 0000:03\n"
    "    d000-d007 : 0000:03:00.0\n"
    "  e000-efff : PCI CardBus 0000:04";

TEST(IoMapTest, AnAddressIsGivenOnlyToADriver) {
  struct Case {
    uint32_t address;
    const char *owner;
  } cases[] = {
      {0x0010, "dma1"},       {0x0379, "parport0"},          {0x03f8, "serial"},
      {0x0cf8, "PCI conf1"},  {0x0401, "ACPI PM1a_EVT_BLK"}, {0x1010, "e1000e"},
      {0x0378 - 1, ""},       // only the bus window holds it
      {0xd010, ""},           // a bus window with a card and no driver there
      {0xd004, ""},           // the card's own range, no driver bound
      {0x1080, ""},           // inside a bridge's window, outside its device
      {0x0470, ""},           // a pnp reservation
      {0x0808, ""},           // reserved
      {0xe000, ""},           // a CardBus window
  };
  for (const Case &c : cases) {
    EXPECT_EQ(iomapowner(MAP, c.address), c.owner) << std::hex << c.address;
  }
}

}  // namespace
