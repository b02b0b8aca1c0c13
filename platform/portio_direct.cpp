// Port registers on a real PC: ioperm() and inb/outb. This is the only way
// Linux lets a program read the control lines as pin levels; the parport
// device interface hands back a copy of the last control byte written.
#include "platform/portio.h"

#include "platform/biosbase.h"

#if defined(__i386__) || defined(__x86_64__)

#include <sys/io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t SECOND_BASE = 0x278;  // logical port 1, wherever port 0 is
constexpr unsigned long REGISTERS = 3;   // data, status, control
uint32_t grantedbase = 0;                // base given by the last ioaccess
char failure[160];                       // hint for unexpected refusals

const char *accesshint(int error) {
  if (error == EPERM) return HINT_PERMISSION;
  if (error == EINVAL) {
    return "The port's registers lie beyond the I/O addresses this program can reach.";
  }
  snprintf(failure, sizeof failure, "Direct port access failed: %s.", strerror(error));
  return failure;
}

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

int32_t ioaccess(uint32_t base, const char **hint) {
  if (grant(base, hint) != 0) return -1;
  grantedbase = base;
  if (grant(SECOND_BASE, hint) != 0) {
    iorelease();
    return -1;
  }
  return 0;
}

void iorelease(void) {
  // Dropping a permission needs no privilege and cannot usefully fail.
  if (grantedbase != 0) (void)ioperm(grantedbase, REGISTERS, 0);
  (void)ioperm(SECOND_BASE, REGISTERS, 0);
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

int32_t ioaccess(uint32_t, const char **hint) {
  *hint = HINT_NOTX86;
  return -1;
}

void iorelease(void) {}

uint8_t ioread(uint32_t) { return 0xFF; }

void iowrite(uint32_t, uint8_t) {}

#endif

int iosimulated(void) { return 0; }

void ioholdinput(uint32_t, int, int) {}
