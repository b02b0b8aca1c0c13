// GPIO lines through the kernel's GPIO character device, version 2
// (Linux 5.10 and later): GPIO_GET_CHIPINFO_IOCTL and
// GPIO_V2_GET_LINEINFO_IOCTL to find chips and lines, GPIO_V2_GET_LINE_IOCTL
// to request a port's lines as one set, GPIO_V2_LINE_GET_VALUES_IOCTL and
// GPIO_V2_LINE_SET_VALUES_IOCTL for an input and an output, and the set's
// descriptor read for the inputs' edges (struct gpio_v2_line_event). The
// kernel applies active-low, bias and debounce itself; the set's descriptor is
// close-on-exec, so a SPAWN'd command never holds the lines, and closing
// it at exit releases them. Labels, line names and consumers are chosen by
// drivers and by whoever requests a line: every one that reaches a message
// or the --ports list is made printable first.
#include "platform/gpio.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text/printable.h"

namespace {

const char CONSUMER[] = "quon";

struct Chip {
  int fd = -1;
  std::string path;
  dev_t device = 0;
  uint32_t lines = 0;
  std::string label;
};

// A prepared port: its chip, the set's offsets (outputs first) and flags,
// and once requested the set's descriptor.
struct GpioPort {
  bool prepared = false;
  Chip chip;
  LineMap map;
  uint32_t offsets[2 * LINES_PER_SIDE] = {};
  uint64_t inmask = 0, outmask = 0;
  int request = -1;
  bool edges = false;  // the request reports the inputs' edges
  uint8_t bitof[2 * LINES_PER_SIDE] = {};  // per line of the set: its input bit, or NO_LINE
};

GpioPort ports[2];

std::string fieldtext(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

// Who may open the device st describes: its mode, owner group and the
// advice. Root, or anyone where the mode lets every user in, is refused by
// something other than the mode, and told so.
std::string permissionhint(const struct stat &st) {
  if (geteuid() == 0) {
    return "permission denied to root itself: a device policy (a container's, or a service's "
           "DeviceAllow=), a security module or missing capabilities (CAP_DAC_OVERRIDE) keep "
           "it closed";
  }
  if ((st.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) {
    return "permission denied, though its mode lets every user open it: a device policy (a "
           "container's, or a service's DeviceAllow=) or a security module keeps it closed";
  }
  struct group *g = getgrgid(st.st_gid);
  std::string group = printable(g != nullptr ? g->gr_name : std::to_string(st.st_gid));
  if ((st.st_mode & S_IRWXG) == (S_IRGRP | S_IWGRP) && st.st_gid != 0) {
    return "permission denied: members of group " + group +
           " may open it (add the user to that group)";
  }
  return "permission denied: it is open to root only (group " + group +
         "): a udev rule can give it to a group (see the manual)";
}

// "" when the character device numbered device is a GPIO chip (its
// subsystem in /sys/dev/char is gpio), else what it is not.
std::string gpiodevice(dev_t device, const std::string &shown) {
  char link[64], target[256];
  snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(device), minor(device));
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0 && errno == ENOENT && access("/sys/dev/char", F_OK) != 0) {
    return "cannot tell whether " + shown + " is a GPIO chip: /sys/dev/char is missing (mount /sys)";
  }
  if (n <= 0) return shown + " is not a GPIO chip";
  target[n] = '\0';
  const char *last = strrchr(target, '/');
  return strcmp(last != nullptr ? last + 1 : target, "gpio") == 0 ? "" : shown + " is not a GPIO chip";
}

// Opens path as a GPIO chip into *chip. Returns "" or what is wrong.
// Nothing is opened until the name is known to lead to a GPIO character
// device: opening a serial port named by mistake raises its modem lines,
// opening a watchdog arms it. The name is followed once into a descriptor
// that opens nothing (O_PATH), the device is known by its numbers, and
// that same inode is then opened through /proc/self/fd, so nothing put in
// the name's place meanwhile is opened.
std::string openchip(const std::string &path, Chip *chip) {
  std::string shown = printable(path);
  int handle = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (handle < 0) {
    int error = errno;
    if (error == ENOENT) return shown + ": no such GPIO chip (--ports lists them)";
    return "cannot open " + shown + ": " + strerror(error);
  }
  struct stat st{};
  std::string problem = fstat(handle, &st) != 0 || !S_ISCHR(st.st_mode)
                            ? shown + " is not a GPIO chip"
                            : gpiodevice(st.st_rdev, shown);
  if (!problem.empty()) {
    close(handle);
    return problem;
  }
  char self[48];
  snprintf(self, sizeof self, "/proc/self/fd/%d", handle);
  int fd = open(self, O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  int error = errno;
  close(handle);
  if (fd < 0) {
    if (error == EACCES || error == EPERM) return "cannot open " + shown + ": " + permissionhint(st);
    if (error == ENOENT) return "cannot open " + shown + ": /proc/self/fd is missing (mount /proc)";
    return "cannot open " + shown + ": " + strerror(error);
  }
  gpiochip_info info{};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
    close(fd);
    return shown + " is not a GPIO chip";
  }
  chip->fd = fd;
  chip->path = path;
  chip->device = st.st_rdev;
  chip->lines = info.lines;
  chip->label = fieldtext(info.label, sizeof info.label);
  return "";
}

// The /dev/gpiochipN names, in number order.
std::vector<std::string> chipnames(void) {
  std::vector<std::string> names;
  DIR *dir = opendir("/dev");
  if (dir == nullptr) return names;
  while (struct dirent *entry = readdir(dir)) {
    const char *n = entry->d_name;
    if (strncmp(n, "gpiochip", 8) == 0 && n[8] >= '0' && n[8] <= '9') names.push_back(n);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return names;
}

// The chip the user named: a path, a device name or a label.
std::string findchip(const std::string &name, Chip *chip) {
  if (name[0] == '/') return openchip(name, chip);
  if (name.compare(0, 8, "gpiochip") == 0) return openchip("/dev/" + name, chip);
  for (const std::string &device : chipnames()) {
    Chip candidate;
    if (!openchip("/dev/" + device, &candidate).empty()) continue;
    if (candidate.label == name) {
      *chip = candidate;
      return "";
    }
    close(candidate.fd);
  }
  return "no GPIO chip is labelled \"" + printable(name) + "\" (--ports lists the chips)";
}

bool lineinfo(int fd, uint32_t offset, gpio_v2_line_info *info) {
  *info = gpio_v2_line_info{};
  info->offset = offset;
  return ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, info) == 0;
}

// "17 (GPIO17)" or "17".
std::string linetitle(int fd, uint32_t offset) {
  gpio_v2_line_info info;
  std::string title = std::to_string(offset);
  if (lineinfo(fd, offset, &info) && info.name[0] != '\0') {
    title += " (" + printable(fieldtext(info.name, sizeof info.name)) + ")";
  }
  return title;
}

// Finds every line of p's map on its chip. Returns "" or what is wrong.
std::string findlines(GpioPort *p) {
  const Chip &chip = p->chip;
  std::string chipname = printable(chip.path.substr(chip.path.rfind('/') + 1));
  for (int32_t k = 0; k < p->map.count; ++k) {
    LineSpec &line = p->map.lines[k];
    if (line.name.empty()) {
      if (static_cast<uint32_t>(line.offset) >= chip.lines) {
        return "line " + std::to_string(line.offset) + " is beyond " + chipname + ", which has " +
               std::to_string(chip.lines) + " lines (0-" + std::to_string(chip.lines - 1) + ")";
      }
    } else {
      for (uint32_t o = 0; o < chip.lines && line.offset < 0; ++o) {
        gpio_v2_line_info info;
        if (lineinfo(chip.fd, o, &info) && fieldtext(info.name, sizeof info.name) == line.name) {
          line.offset = static_cast<int32_t>(o);
        }
      }
      if (line.offset < 0) {
        return chipname + " has no line named " + printable(line.name) +
               " (--ports lists them)";
      }
    }
    p->offsets[k] = static_cast<uint32_t>(line.offset);
    for (int32_t j = 0; j < k; ++j) {
      if (p->offsets[j] == p->offsets[k]) return "line " + linetitle(chip.fd, p->offsets[k]) + " is named twice";
    }
  }
  return "";
}

// What a request asks beyond the lines and their flags.
struct Asked {
  bool edges = false;     // both edges of every input reported
  bool debounce = false;  // the maps' debounce periods applied
};

uint64_t flagsof(const LineMap &map, int32_t k, const Asked &asked) {
  const LineSpec &line = map.lines[k];
  uint64_t flags = k < map.outputs ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
  if (k >= map.outputs && asked.edges) {
    flags |= GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
  }
  if (line.activelow) flags |= GPIO_V2_LINE_FLAG_ACTIVE_LOW;
  if (line.bias == LineBias::PULL_UP) flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
  if (line.bias == LineBias::PULL_DOWN) flags |= GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;
  return flags;
}

// Edges the kernel keeps per input line until the loop reads them; more
// than its default of 16, so that a burst while the loop is busy with a
// SPAWN'd command is not lost.
constexpr uint32_t EDGES_PER_LINE = 64;

// The request for p's lines: the first line's flags the default, one
// attribute for each other set of flags (at most 8 kinds: outputs plain or
// active-low, inputs those times three biases), one for the outputs' 0,
// one for each debounce period. Returns false when that is more
// attributes than a request holds.
bool requestfor(const GpioPort &p, const Asked &asked, gpio_v2_line_request *request) {
  gpio_v2_line_request &r = *request;
  r = gpio_v2_line_request{};
  const LineMap &map = p.map;
  r.num_lines = static_cast<uint32_t>(map.count);
  memcpy(r.consumer, CONSUMER, sizeof CONSUMER);
  for (int32_t k = 0; k < map.count; ++k) r.offsets[k] = p.offsets[k];
  if (asked.edges) r.event_buffer_size = static_cast<uint32_t>(map.count - map.outputs) * EDGES_PER_LINE;
  gpio_v2_line_config &c = r.config;
  c.flags = flagsof(map, 0, asked);
  for (int32_t k = 1; k < map.count; ++k) {
    uint64_t flags = flagsof(map, k, asked);
    if (flags == c.flags) continue;
    uint32_t a = 0;
    while (a < c.num_attrs && c.attrs[a].attr.flags != flags) ++a;
    if (a == c.num_attrs) {
      c.attrs[a].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
      c.attrs[a].attr.flags = flags;
      ++c.num_attrs;
    }
    c.attrs[a].mask |= uint64_t{1} << k;
  }
  if (p.outmask != 0) {
    gpio_v2_line_config_attribute &values = c.attrs[c.num_attrs++];
    values.attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    values.attr.values = 0;
    values.mask = p.outmask;
  }
  for (int32_t k = map.outputs; k < map.count && asked.debounce; ++k) {
    uint32_t us = map.lines[k].debounceus;
    if (us == 0) continue;
    uint32_t a = 0;
    while (a < c.num_attrs && (c.attrs[a].attr.id != GPIO_V2_LINE_ATTR_ID_DEBOUNCE ||
                               c.attrs[a].attr.debounce_period_us != us)) {
      ++a;
    }
    if (a == c.num_attrs) {
      if (a == GPIO_V2_LINE_NUM_ATTRS_MAX) return false;
      c.attrs[a].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
      c.attrs[a].attr.debounce_period_us = us;
      ++c.num_attrs;
    }
    c.attrs[a].mask |= uint64_t{1} << k;
  }
  return true;
}

bool debounced(const LineMap &map) {
  for (int32_t k = map.outputs; k < map.count; ++k) {
    if (map.lines[k].debounceus != 0) return true;
  }
  return false;
}

// Requests p's lines as asked into p->request. Returns 0 or the errno.
int askfor(GpioPort *p, const Asked &asked) {
  gpio_v2_line_request r;
  if (!requestfor(*p, asked, &r)) return E2BIG;
  if (ioctl(p->chip.fd, GPIO_V2_GET_LINE_IOCTL, &r) != 0) return errno;
  p->request = r.fd;
  p->edges = asked.edges;
  // The loop reads the edges when it looks, never waiting for one.
  if (asked.edges && fcntl(r.fd, F_SETFL, fcntl(r.fd, F_GETFL) | O_NONBLOCK) != 0) {
    int error = errno;
    close(r.fd);
    p->request = -1;
    return error;
  }
  return 0;
}

std::string chipnameof(const GpioPort &p) {
  return printable(p.chip.path.substr(p.chip.path.rfind('/') + 1));
}

// p's lines requested with edges when asked, falling back to polled lines
// when the chip cannot report them. Returns "" or what is wrong.
std::string requestport(GpioPort *p, bool edges, std::string *note);

// Why p's request was refused: the first line someone else holds, by name.
std::string refusal(const GpioPort &p, int error) {
  std::string chipname = chipnameof(p);
  for (int32_t k = 0; k < p.map.count && error == EBUSY; ++k) {
    gpio_v2_line_info info;
    if (!lineinfo(p.chip.fd, p.offsets[k], &info) || (info.flags & GPIO_V2_LINE_FLAG_USED) == 0) continue;
    std::string holder = fieldtext(info.consumer, sizeof info.consumer);
    return "line " + linetitle(p.chip.fd, p.offsets[k]) + " of " + chipname + " is in use by " +
           (holder.empty() ? std::string("the kernel (a driver holds it)")
                           : "\"" + printable(holder) + "\"") +
           ": free it and run again";
  }
  return "cannot request the lines of " + chipname + ": " + strerror(error);
}

void release(GpioPort *p) {
  if (p->request >= 0) close(p->request);
  p->request = -1;
  p->edges = false;
}

std::string requestport(GpioPort *p, bool edges, std::string *note) {
  bool hasinputs = p->map.count > p->map.outputs;
  Asked asked;
  asked.edges = edges && hasinputs;
  asked.debounce = true;
  int error = askfor(p, asked);
  if (error == 0) return "";
  if (error == EBUSY) return refusal(*p, error);
  std::string chipname = chipnameof(*p);
  if (error == E2BIG) {
    return "the lines of " + chipname + " ask for more kinds of line (flags and debounce "
           "times) than one request holds: give fewer different /debounce= times";
  }
  // Which part the kernel refused: the same lines asked more plainly.
  Asked plain;
  plain.edges = asked.edges;
  if (debounced(p->map)) {
    int without = askfor(p, plain);
    if (without == 0 || (asked.edges && askfor(p, Asked{}) == 0)) {
      release(p);
      return "the kernel or the driver of " + chipname + " refused to debounce its lines (" +
             strerror(error) + "): run them without /debounce=";
    }
    return refusal(*p, without);
  }
  if (asked.edges && askfor(p, Asked{}) == 0) {
    *note = "the lines of " + chipname + " report no edges (" + strerror(error) +
            "): the loop polls them, as with --spin";
    return "";
  }
  return refusal(*p, error);
}

}  // namespace

int32_t gpioprepare(int32_t n, const LineMap &map, std::string *error) {
  GpioPort &p = ports[n];
  if (p.chip.fd >= 0) close(p.chip.fd);
  release(&p);
  p = GpioPort{};
  p.map = map;
  std::string problem = findchip(map.chip, &p.chip);
  if (problem.empty()) problem = findlines(&p);
  if (!problem.empty()) {
    if (p.chip.fd >= 0) close(p.chip.fd);
    p.chip.fd = -1;
    *error = problem;
    return -1;
  }
  p.outmask = linemask(map.outline);
  p.inmask = linemask(map.inline_);
  for (uint8_t &bit : p.bitof) bit = NO_LINE;
  for (int32_t bit = 0; bit < LINES_PER_SIDE; ++bit) {
    if (map.inline_[bit] != NO_LINE) p.bitof[map.inline_[bit]] = static_cast<uint8_t>(bit);
  }
  p.prepared = true;
  return 0;
}

int32_t gpiorequest(std::string *error, bool edges, std::string *note) {
  GpioPort &a = ports[0], &b = ports[1];
  if (a.prepared && b.prepared && a.chip.device == b.chip.device) {
    for (int32_t i = 0; i < a.map.count; ++i) {
      for (int32_t j = 0; j < b.map.count; ++j) {
        if (a.offsets[i] != b.offsets[j]) continue;
        *error = "line " + linetitle(a.chip.fd, a.offsets[i]) + " is on both logical ports";
        return -1;
      }
    }
  }
  std::string told;
  for (GpioPort &p : ports) {
    if (!p.prepared || p.map.count == 0) continue;
    std::string problem = requestport(&p, edges, &told);
    if (!problem.empty()) {
      *error = problem;
      for (GpioPort &q : ports) release(&q);
      return -1;
    }
  }
  if (note != nullptr) *note = told;
  return 0;
}

bool gpiogivesedges(int32_t n) { return ports[n].edges; }

int gpioeventfd(int32_t n) { return ports[n].edges ? ports[n].request : -1; }

int32_t gpioedges(int32_t n, GpioEdge *out, int32_t max) {
  const GpioPort &p = ports[n];
  if (!p.edges || max <= 0) return 0;
  constexpr int32_t CHUNK = 16;
  gpio_v2_line_event events[CHUNK];
  int32_t want = max < CHUNK ? max : CHUNK;
  ssize_t got = read(p.request, events, sizeof events[0] * static_cast<size_t>(want));
  if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  int32_t count = 0;
  for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof events[0]); ++i) {
    const gpio_v2_line_event &e = events[i];
    // The kernel names the line by its offset on the chip.
    int32_t k = 0;
    while (k < p.map.count && p.offsets[k] != e.offset) ++k;
    if (k == p.map.count || p.bitof[k] == NO_LINE) continue;
    out[count].ns = e.timestamp_ns;
    out[count].seqno = e.seqno;
    out[count].bit = p.bitof[k];
    out[count].rising = e.id == GPIO_V2_LINE_EVENT_RISING_EDGE;
    ++count;
  }
  return count;
}

int32_t gpioread(int32_t n) {
  const GpioPort &p = ports[n];
  if (p.inmask == 0) return 0;
  gpio_v2_line_values v{0, p.inmask};
  if (ioctl(p.request, GPIO_V2_LINE_GET_VALUES_IOCTL, &v) != 0) return -1;
  return linestobits(p.map.inline_, v.bits);
}

int32_t gpiowrite(int32_t n, uint8_t b) {
  const GpioPort &p = ports[n];
  if (p.outmask == 0) return 0;
  gpio_v2_line_values v{bitstolines(p.map.outline, b), p.outmask};
  return ioctl(p.request, GPIO_V2_LINE_SET_VALUES_IOCTL, &v) == 0 ? 0 : -1;
}

std::vector<GpioChipInfo> gpiochips(void) {
  std::vector<GpioChipInfo> chips;
  for (const std::string &device : chipnames()) {
    GpioChipInfo info;  // as --ports prints it: every text printable
    info.device = printable(device);
    Chip chip;
    info.problem = openchip("/dev/" + device, &chip);
    if (info.problem.empty()) {
      info.label = printable(chip.label);
      for (uint32_t o = 0; o < chip.lines; ++o) {
        gpio_v2_line_info li;
        GpioLineInfo line;
        if (lineinfo(chip.fd, o, &li)) {
          line.name = printable(fieldtext(li.name, sizeof li.name));
          line.consumer = printable(fieldtext(li.consumer, sizeof li.consumer));
          line.used = (li.flags & GPIO_V2_LINE_FLAG_USED) != 0;
          for (uint32_t a = 0; a < li.num_attrs && a < GPIO_V2_LINE_NUM_ATTRS_MAX; ++a) {
            if (li.attrs[a].id == GPIO_V2_LINE_ATTR_ID_DEBOUNCE) line.debounceus = li.attrs[a].debounce_period_us;
          }
        }
        info.lines.push_back(line);
      }
      close(chip.fd);
    }
    chips.push_back(info);
  }
  return chips;
}

void gpioreset(void) {
  for (GpioPort &p : ports) {
    release(&p);
    if (p.chip.fd >= 0) close(p.chip.fd);
    p = GpioPort{};
  }
}
