#include "monitor/attach.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "compiler/opnames.h"
#include "platform/sharedmem.h"

namespace {

bool alive(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// The process ids of the user's regions, the dead ones' removed.
std::vector<int> liveregions(void) {
  std::vector<int> pids;
  std::string prefix = "quon-" + std::to_string(geteuid()) + "-";
  DIR *dir = opendir(SHARED_FOLDER);
  if (dir == nullptr) return pids;
  while (dirent *e = readdir(dir)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
    const char *digits = e->d_name + prefix.size();
    char *end = nullptr;
    long pid = strtol(digits, &end, 10);
    if (*digits == '\0' || *end != '\0' || pid <= 0 || pid > 0x7FFFFFFF) continue;
    if (alive(static_cast<int>(pid))) {
      pids.push_back(static_cast<int>(pid));
    } else {
      sharedremove(regionpath(static_cast<unsigned>(geteuid()), static_cast<int>(pid)).c_str());
    }
  }
  closedir(dir);
  return pids;
}

// One input bit's DB-25 pin: status lines for bits 7-3, control for 2-0.
const int INPINS[8] = {1, 14, 16, 15, 13, 12, 10, 11};

std::string statement(RegionHeader *h, int32_t at) {
  if (at < 0 || at >= h->tokencount) return "(no statements)";
  Token t = regiontokens(h)[at].token;
  uint8_t text = tokenport(t);
  return statementtext(t, text < h->stringcount ? regionstring(h, text) : "");
}

std::string state(RegionHeader *h, const RegionThread &t) {
  if (t.at < 0 || t.at >= h->tokencount) return "idle";
  Token tok = regiontokens(h)[t.at].token;
  switch (tokenop(tok)) {
    case OP_WAIT:
    case OP_KEY:
      return statementtext(tok, "");
    case OP_DELAY: {
      if (t.timer == 0) return opname(OP_DELAY);
      uint32_t left = t.timer - h->clockms;
      if (left >= 0x80000000u) left = 0;
      char text[64];
      snprintf(text, sizeof text, "%s %.1f s left", opname(OP_DELAY), left / 1000.0);
      return text;
    }
    default:
      return "running";
  }
}

}  // namespace

int attach(int pid, Attached *a, std::string *why) {
  std::vector<int> pids = liveregions();
  if (pid == 0) {
    if (pids.empty()) return *why = "no QUON of yours is running", -1;
    if (pids.size() > 1) {
      *why = "several QUONs of yours are running; name one:";
      for (int p : pids) *why += " " + std::to_string(p);
      return -1;
    }
    pid = pids[0];
  }
  std::string path = regionpath(static_cast<unsigned>(geteuid()), pid);
  void *mapped = sharedattach(path.c_str(), &a->size);
  if (mapped == nullptr || a->size < sizeof(RegionHeader)) {
    *why = "process " + std::to_string(pid) + " is no QUON of yours that is running";
    if (mapped != nullptr) shareddetach(mapped, a->size);
    return -1;
  }
  RegionHeader *h = static_cast<RegionHeader *>(mapped);
  bool fits = h->magic == REGION_MAGIC && h->version == REGION_VERSION && h->size == a->size &&
              h->threadsat >= sizeof(RegionHeader) && h->stringsat <= a->size &&
              h->threadsat + sizeof(RegionThread) * static_cast<size_t>(h->threadcount) <= h->tokensat &&
              h->tokensat + sizeof(RegionToken) * static_cast<size_t>(h->tokencount) <= h->stringsat &&
              h->stringsat + static_cast<size_t>(REGION_TEXT) * static_cast<size_t>(h->stringcount) <= a->size;
  if (!fits || h->pid != pid) {
    shareddetach(mapped, a->size);
    *why = "process " + std::to_string(pid) + " publishes nothing a monitor can read";
    return -1;
  }
  a->region = h;
  a->pid = pid;
  return 0;
}

void detach(Attached *a) {
  if (a->region != nullptr) shareddetach(a->region, a->size);
  a->region = nullptr;
}

bool running(const Attached &a) {
  return a.region != nullptr && alive(a.pid) && __atomic_load_n(&a.region->ended, __ATOMIC_RELAXED) == 0;
}

bool snapshot(const Attached &a, Snapshot *s) {
  RegionHeader *h = a.region;
  for (int tries = 0; tries < 1000; ++tries) {
    uint32_t before = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
    if (before & 1) continue;
    memcpy(&s->head, h, sizeof(RegionHeader));
    s->threads.assign(regionthreads(h), regionthreads(h) + h->threadcount);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&h->seq, __ATOMIC_ACQUIRE) == before) return true;
  }
  return false;
}

std::vector<std::string> render(const Attached &a, const Snapshot &s, int selected) {
  std::vector<std::string> out;
  char line[256];
  const RegionHeader &h = s.head;
  char longest[48] = "not timed";
  if (h.sampled) snprintf(longest, sizeof longest, "%u us (sampled)", h.longestus);
  snprintf(line, sizeof line, "QUON %d   clock %.3f s   %u passes/s   longest pass %s   key %u",
           a.pid, h.clockms / 1000.0, h.passrate, longest, h.lastkey);
  out.push_back(line);
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    if (!h.port[p].used) continue;
    const RegionPort &port = h.port[p];
    uint8_t mask = __atomic_load_n(&a.region->forcemask[p], __ATOMIC_RELAXED);
    snprintf(line, sizeof line, "port %d   status %02x   control %02x", p, port.status, port.control);
    out.push_back("");
    out.push_back(line);
    std::string bitsrow = "  bit       ", outrow = "  out       ", outpin = "  out pin   ",
                inrow = "  in        ", inpin = "  in pin    ";
    for (int bit = 7; bit >= 0; --bit) {
      char cell[8];
      snprintf(cell, sizeof cell, "%4d", bit);
      bitsrow += cell;
      snprintf(cell, sizeof cell, "   %c", (port.out >> bit) & 1 ? '#' : '.');
      outrow += cell;
      snprintf(cell, sizeof cell, "%4d", bit + 2);
      outpin += cell;
      snprintf(cell, sizeof cell, " %c%c%c", (mask >> bit) & 1 ? 'F' : ' ',
               selected == p * 8 + bit ? '>' : ' ', (port.in >> bit) & 1 ? '#' : '.');
      inrow += cell;
      snprintf(cell, sizeof cell, "%4d", INPINS[bit]);
      inpin += cell;
    }
    for (const std::string *row : {&bitsrow, &outrow, &outpin, &inrow, &inpin}) out.push_back(*row);
  }
  out.push_back("");
  out.push_back("  #  thread            state                  line");
  for (size_t t = 0; t < s.threads.size(); ++t) {
    const RegionThread &th = s.threads[t];
    RegionHeader *region = a.region;
    int32_t lineno = th.at >= 0 && th.at < region->tokencount ? regiontokens(region)[th.at].line : 0;
    std::string name = th.name[0] != '\0' ? std::string(th.name, strnlen(th.name, REGION_NAME))
                                         : "thread" + std::to_string(t);
    snprintf(line, sizeof line, "%3zu  %-16.16s  %-21.21s  %3d: %s", t, name.c_str(),
             state(region, th).c_str(), lineno, statement(region, th.at).c_str());
    out.push_back(line);
  }
  return out;
}

void force(const Attached &a, int port, uint8_t mask, uint8_t value) {
  RegionHeader *h = a.region;
  uint8_t v = __atomic_load_n(&h->forcevalue[port], __ATOMIC_RELAXED);
  __atomic_store_n(&h->forcevalue[port], static_cast<uint8_t>((v & ~mask) | (value & mask)), __ATOMIC_RELAXED);
  uint8_t m = __atomic_load_n(&h->forcemask[port], __ATOMIC_RELAXED);
  __atomic_store_n(&h->forcemask[port], static_cast<uint8_t>(m | mask), __ATOMIC_RELAXED);
}

void release(const Attached &a, int port, uint8_t mask) {
  RegionHeader *h = a.region;
  uint8_t m = __atomic_load_n(&h->forcemask[port], __ATOMIC_RELAXED);
  __atomic_store_n(&h->forcemask[port], static_cast<uint8_t>(m & ~mask), __ATOMIC_RELAXED);
}
