// The first parallel port's base address: the BIOS data area first, then the
// kernel's first parport.
#include "platform/biosbase.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/portio.h"

const char *const HINT_NOPORT =
    "No parallel port found: for a PCIe card load the parport_pc module "
    "(modprobe parport_pc); without a port, run the script with "
    "quon-sim.";
const char *const HINT_PERMISSION =
    "Run as root or with CAP_SYS_RAWIO; under Secure Boot lockdown the kernel "
    "forbids direct port access.";

namespace {

constexpr int READ_OK = 0;
constexpr int READ_REFUSED = 1;  // the kernel said no: a matter of privilege
constexpr int READ_MISSING = 2;  // short or unreadable for other reasons
constexpr int READ_ABSENT = 3;   // no such file

int refusal(int error) {
  if (error == ENOENT) return READ_ABSENT;
  return (error == EACCES || error == EPERM) ? READ_REFUSED : READ_MISSING;
}

// Reads up to size bytes at offset; *got is how many arrived.
int readat(const char *path, off_t offset, unsigned char *buf, size_t size,
           size_t *got) {
  *got = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return refusal(errno);
  int result = READ_OK;
  while (*got < size) {
    ssize_t n = pread(fd, buf + *got, size - *got, offset + static_cast<off_t>(*got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = refusal(errno);
      break;
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  close(fd);
  return result;
}

// The word at BIOS_PORT_WORD, 0 when the firmware put no port there.
int biosword(const char *memfile, uint32_t *word) {
  unsigned char bytes[2];
  size_t got = 0;
  int result = readat(memfile, BIOS_PORT_WORD, bytes, sizeof bytes, &got);
  if (result != READ_OK) return result;
  if (got < sizeof bytes) return READ_MISSING;
  *word = static_cast<uint32_t>(bytes[0] | (bytes[1] << 8));
  return READ_OK;
}

// The first decimal number of the kernel's base-addr file (which holds the
// base and, after a tab, the extended-mode base); 0 when there is none or it
// does not fit an I/O address.
int parportbase(const char *parportfile, uint32_t *base) {
  unsigned char text[64];
  size_t got = 0;
  int result = readat(parportfile, 0, text, sizeof text - 1, &got);
  if (result != READ_OK) return result;
  size_t i = 0;
  while (i < got && (text[i] == ' ' || text[i] == '\t')) i++;
  uint32_t value = 0;
  size_t digits = 0;
  while (i < got && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    if (value > 0xFFFF) return READ_MISSING;
    i++;
    digits++;
  }
  bool ended = i == got || text[i] == ' ' || text[i] == '\t' || text[i] == '\n';
  if (digits == 0 || !ended) return READ_MISSING;
  *base = value;
  return READ_OK;
}

}  // namespace

int32_t biosdataword(const char *memfile) {
  uint32_t word = 0;
  switch (biosword(memfile, &word)) {
    case READ_OK: return static_cast<int32_t>(word);
    case READ_REFUSED: return BIOSWORD_REFUSED;
    case READ_ABSENT: return BIOSWORD_ABSENT;
    default: return BIOSWORD_UNREADABLE;
  }
}

int32_t lookupportbase(const char *memfile, const char *parportfile,
                       const char **hint) {
  uint32_t base = 0;
  int mem = biosword(memfile, &base);
  if (mem == READ_OK && base != 0) return static_cast<int32_t>(base);
  base = 0;
  int kernel = parportbase(parportfile, &base);
  if (kernel == READ_OK && base != 0) return static_cast<int32_t>(base);
  // Nothing found. When a refusal kept us from looking, privilege is what
  // the user can change; otherwise there is simply no port.
  *hint = (mem == READ_REFUSED || kernel == READ_REFUSED) ? HINT_PERMISSION : HINT_NOPORT;
  return -1;
}
