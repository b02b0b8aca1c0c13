// The parallel ports the Linux kernel knows (/proc/sys/dev/parport and
// its I/O map), the claim through ppdev that keeps the printer driver off
// its lines (beside the lock a base of portlock_linux.cpp), and the hints
// that tell lockdown from missing privilege. The direct register
// provider (portio_direct.cpp) leans on these; quon-sim never sees them.
#include "platform/parports_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

#include "platform/biosbase.h"
#include "platform/iomap.h"
#include "platform/portlock.h"
#include "platform/portio.h"
#include "text/printable.h"

namespace {

std::string readtext(const std::string &path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[512];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

char message[256];  // hints and notes made up at run time

// The kernel's port at base, or nullptr.
const KnownPort *kernelport(const std::vector<KnownPort> &ports, uint32_t base) {
  for (const KnownPort &p : ports) {
    if (p.base == base) return &p;
  }
  return nullptr;
}

// Claims the kernel's port for the run, so the printer driver and other
// ppdev users stay off its lines. Returns 0, or -1 with message set; a
// missing /dev/parportN leaves a note.
int claim(const KnownPort &port, const char **note) {
  std::string device = "/dev/" + port.name;
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    snprintf(message, sizeof message, "%s is not claimed: %s is missing (load ppdev: modprobe ppdev)",
             port.name.c_str(), device.c_str());
    *note = message;
    return 0;
  }
  if (ioctl(fd, PPEXCL) != 0 || ioctl(fd, PPCLAIM) != 0) {
    snprintf(message, sizeof message,
             "%s is held by the kernel's printer driver or another program: unload it "
             "(rmmod lp; blacklist lp to keep it off) and run again.",
             port.name.c_str());
    close(fd);
    return -1;
  }
  return 0;  // released when the program ends and the descriptor closes
}

char warningtext[256];

// A port with extended registers whose control register (ECR, at basehi +
// 2) selects a FIFO mode: data writes then go to the FIFO, not to the pins.
const char *ecrwarning(const KnownPort &port) {
#if defined(__i386__) || defined(__x86_64__)
  if (port.basehi <= 0 || port.basehi > 0xFFFD) return nullptr;
  uint32_t ecr = static_cast<uint32_t>(port.basehi) + 2;
  if (ioperm(ecr, 1, 1) != 0) return nullptr;
  unsigned mode = inb(static_cast<unsigned short>(ecr)) >> 5;
  (void)ioperm(ecr, 1, 0);
  if (mode != 2 && mode != 3 && mode != 6) return nullptr;
  snprintf(warningtext, sizeof warningtext,
           "%s's extended control register (0x%x) selects FIFO mode %u: data writes do not "
           "reach the pins. Choose SPP or PS/2 mode in the firmware setup, or write 0x20 "
           "(PS/2) or 0x00 (SPP) to 0x%x.",
           port.name.c_str(), ecr, mode, ecr);
  return warningtext;
#else
  (void)port;
  return nullptr;
#endif
}

// Why the kernel refused direct access: lockdown, or privilege.
const char *refusalhint(void) {
  std::string lockdown = readtext("/sys/kernel/security/lockdown");
  if (lockdown.find("[integrity]") != std::string::npos ||
      lockdown.find("[confidentiality]") != std::string::npos) {
    return "Secure Boot lockdown forbids direct port access; disable lockdown or Secure Boot to "
           "use this port.";
  }
  return "Run as root, or give quon the CAP_SYS_RAWIO capability "
         "(setcap cap_sys_rawio+ep quon).";
}

char failure[160];  // hint for unexpected refusals

}  // namespace

std::string ioowner(uint32_t address) {
  return printable(iomapowner(readtext("/proc/ioports"), address));
}

void ioports(std::vector<KnownPort> *ports, int32_t *biosword) {
  ports->clear();
  *biosword = biosdataword("/dev/mem");
  const char *root = "/proc/sys/dev/parport";
  DIR *dir = opendir(root);
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(dir)) {
    // The kernel names them parport and a number; nothing else is a port
    // here, so every name printed or opened as /dev/NAME is one of those.
    if (strncmp(e->d_name, "parport", 7) == 0 && e->d_name[7] != '\0' &&
        strspn(e->d_name + 7, "0123456789") == strlen(e->d_name + 7)) {
      names.push_back(e->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string folder = std::string(root) + "/" + name;
    unsigned long base = 0, hi = 0;
    std::string addr = readtext(folder + "/base-addr");
    int got = sscanf(addr.c_str(), "%lu %lu", &base, &hi);  // NOLINT(cert-err34-c): checked below
    if (got < 1 || base == 0 || base > 0xFFFF) continue;
    int32_t basehi = got == 2 && hi != 0 && hi <= 0xFFFF ? static_cast<int32_t>(hi) : -1;
    ports->push_back(
        {name, static_cast<uint32_t>(base), basehi, printable(readtext(folder + "/modes"))});
  }
}

int32_t holdport(uint32_t base, const char **hint, const char **note, const char **warning) {
  std::vector<KnownPort> ports;
  int32_t word = 0;
  ioports(&ports, &word);
  const KnownPort *p = kernelport(ports, base);
  if (portlock(base, message, sizeof message) != 0 || (p != nullptr && claim(*p, note) != 0)) {
    *hint = message;
    return -1;
  }
  if (p != nullptr && warning != nullptr) *warning = ecrwarning(*p);
  return 0;
}

const char *accesshint(int error) {
  if (error == EPERM) return refusalhint();
  if (error == EINVAL) {
    return "The port's registers lie beyond the I/O addresses this program can reach.";
  }
  snprintf(failure, sizeof failure, "Direct port access failed: %s.", strerror(error));
  return failure;
}
