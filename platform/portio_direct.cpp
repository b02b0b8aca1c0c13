// Port registers on a real PC: ioperm() and inb/outb. This is the only way
// Linux lets a program read the control lines as pin levels; the parport
// device interface hands back a copy of the last control byte written.
// The kernel's list of ports, the lock, the claim and the hints for a
// refusal are in parports_linux.cpp.
#include "platform/portio.h"

#include "platform/biosbase.h"
#include "platform/parports_linux.h"

#if defined(__i386__) || defined(__x86_64__)

#include <sys/io.h>

#include <cerrno>

namespace {

uint32_t secondbase = 0x278;             // logical port 1's base given to ioaccess
constexpr unsigned long REGISTERS = 3;   // data, status, control
uint32_t grantedbase = 0;                // base given by the last ioaccess
bool secondheld = false;                 // iohold took secondbase

int grant(uint32_t base, const char **hint) {
  if (base > 0xFFFF - (REGISTERS - 1)) {
    *hint = accesshint(EINVAL);
    return -1;
  }
  if (ioperm(base, REGISTERS, 1) != 0) {
    *hint = accesshint(errno);
    return -1;
  }
  return 0;
}

}  // namespace

int32_t biosportbase(const char **hint) {
  return lookupportbase("/dev/mem", "/proc/sys/dev/parport/parport0/base-addr", hint);
}

int32_t ioaccess(uint32_t base, uint32_t base1, const char **hint, const char **note,
                 const char **warning) {
  *note = *warning = nullptr;
  if (grant(base, hint) != 0) return -1;
  grantedbase = base;
  secondbase = base1;
  secondheld = false;
  if (grant(base1, hint) != 0 || holdport(base, hint, note, warning) != 0) {
    iorelease();
    return -1;
  }
  return 0;
}

int32_t iohold(const char **hint, const char **note) {
  if (grantedbase == 0 || secondheld || secondbase == grantedbase) return 0;  // held already
  if (holdport(secondbase, hint, note, nullptr) != 0) return -1;  // the run ends
  secondheld = true;
  return 0;
}

void iorelease(void) {
  // Dropping a permission needs no privilege and cannot usefully fail.
  if (grantedbase != 0) (void)ioperm(grantedbase, REGISTERS, 0);
  (void)ioperm(secondbase, REGISTERS, 0);
  grantedbase = 0;
}

// glibc's outb takes the value first and the port second.
uint8_t ioread(uint32_t address) { return inb(static_cast<unsigned short>(address)); }

void iowrite(uint32_t address, uint8_t value) {
  outb(value, static_cast<unsigned short>(address));
}

#else  // no port instructions on this processor

namespace {
const char *const HINT_NOTX86 =
    "This build has no direct port access on this processor; run quon-sim instead.";
}  // namespace

int32_t biosportbase(const char **hint) {
  *hint = HINT_NOTX86;
  return -1;
}

int32_t ioaccess(uint32_t, uint32_t, const char **hint, const char **note,
                 const char **warning) {
  *note = *warning = nullptr;
  *hint = HINT_NOTX86;
  return -1;
}

int32_t iohold(const char **, const char **) { return 0; }

void iorelease(void) {}

uint8_t ioread(uint32_t) { return 0xFF; }

void iowrite(uint32_t, uint8_t) {}

#endif

int iosimulated(void) { return 0; }

void ioholdinput(uint32_t, int, int) {}
