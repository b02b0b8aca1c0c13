#include "monitor/attach.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "compiler/literals.h"
#include "compiler/opnames.h"
#include "platform/sharedmem.h"
#include "text/printable.h"

namespace {

// A region of the user's: its file and the process that made it.
struct Found {
  std::string path;
  int pid;
};

// The process id in a region's name: prefix ("quon-UID-"), the id, then
// nothing or a suffix after "-". 0 when the name is no such name.
int namedpid(const char *name, const std::string &prefix) {
  if (strncmp(name, prefix.c_str(), prefix.size()) != 0) return 0;
  const char *digits = name + prefix.size();
  char *end = nullptr;
  long pid = strtol(digits, &end, 10);
  if (*digits < '1' || *digits > '9' || (*end != '\0' && *end != '-') || pid > 0x7FFFFFFF) return 0;
  return static_cast<int>(pid);
}

// The uid and process id in a region's name ("quon-UID-PID", then nothing
// or a suffix); false when the name is no such name.
bool namedregion(const char *name, unsigned *uid, int *pid) {
  if (strncmp(name, "quon-", 5) != 0) return false;
  const char *digits = name + 5;
  char *end = nullptr;
  unsigned long owner = strtoul(digits, &end, 10);
  if (*digits < '0' || *digits > '9' || *end != '-' || owner > 0xFFFFFFFFul) return false;
  *uid = static_cast<unsigned>(owner);
  *pid = namedpid(name, "quon-" + std::to_string(owner) + "-");
  return *pid != 0;  // and the uid written as the prefix has it (no leading 0)
}

// The user's regions whose process is alive, the dead ones' removed; and
// regions of other users made for a group of the user's (the owner's in
// the name as on the file) whose process may be alive: another user's
// process may not be signalled, and only ESRCH says it is gone. Those are
// never removed here. A name that is neither is someone else's and does
// not count; a process of the user's own id that may not be signalled is
// another user's that took a dead run's id: its region is neither counted
// nor removed.
std::vector<Found> liveregions(void) {
  std::vector<Found> found;
  DIR *dir = opendir(SHARED_FOLDER);
  if (dir == nullptr) return found;
  while (dirent *e = readdir(dir)) {
    unsigned uid = 0, owner = 0;
    int pid = 0;
    if (!namedregion(e->d_name, &uid, &pid)) continue;
    std::string path = std::string(SHARED_FOLDER) + "/" + e->d_name;
    if (uid == geteuid()) {
      if (!sharedmine(path.c_str())) continue;
      if (kill(pid, 0) == 0) {
        found.push_back({path, pid});
      } else if (errno == ESRCH) {
        sharedremove(path.c_str());
      }
    } else if (sharedforus(path.c_str(), &owner) && owner == uid && (kill(pid, 0) == 0 || errno == EPERM)) {
      found.push_back({path, pid});
    }
  }
  closedir(dir);
  return found;
}

// One input bit's DB-25 pin: status lines for bits 7-3, control for 2-0.
const int INPINS[8] = {1, 14, 16, 15, 13, 12, 10, 11};

std::string statement(const Attached &a, int32_t at) {
  if (at < 0 || static_cast<size_t>(at) >= a.tokens.size()) return "(no statements)";
  Token t = a.tokens[static_cast<size_t>(at)].token;
  uint8_t text = tokenport(t);
  return statementtext(t, text < a.texts.size() ? a.texts[text].c_str() : "");
}

std::string state(const Attached &a, const Snapshot &s, const RegionThread &t) {
  if (t.at < 0 || static_cast<size_t>(t.at) >= a.tokens.size()) return "idle";
  Token tok = a.tokens[static_cast<size_t>(t.at)].token;
  switch (tokenop(tok)) {
    case OP_WAIT:
    case OP_KEY:
      return statementtext(tok, "");
    case OP_DELAY: {
      if (t.timer == 0) return opname(OP_DELAY);
      uint32_t left = t.timer - s.head.clockms;
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
  std::vector<Found> found = liveregions();
  if (pid == 0) {
    std::vector<int> pids;
    for (const Found &f : found) pids.push_back(f.pid);
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    if (pids.empty()) return *why = "no QUON of yours is running", -1;
    if (pids.size() > 1) {
      *why = "several QUONs of yours are running; name one:";
      for (int p : pids) *why += " " + std::to_string(p);
      return -1;
    }
    pid = pids[0];
  }
  *why = "process " + std::to_string(pid) + " is no QUON of yours that is running";
  for (const Found &f : found) {
    if (f.pid != pid) continue;
    size_t size = 0;
    int fd = -1;
    void *mapped = sharedattach(f.path.c_str(), &size, &fd);
    if (mapped == nullptr) continue;
    a->fd = fd;
    if (adopt(mapped, size, pid, a, why) == 0) return 0;
    detach(a);
  }
  return -1;
}

void detach(Attached *a) {
  if (a->region != nullptr) shareddetach(a->region, a->size, a->fd);
  a->region = nullptr;
  a->fd = -1;
}

bool running(const Attached &a, const Snapshot &s) {
  // Another user's run (a region made for a group) may not be signalled.
  return !a.lost && (kill(a.pid, 0) == 0 || errno == EPERM) && s.head.ended == 0;
}


std::vector<std::string> renderhead(const Attached &a, const Snapshot &s, int selected) {
  std::vector<std::string> out;
  char line[256];
  const RegionHeader &h = s.head;
  char longest[48] = "not timed";
  if (h.sampled) snprintf(longest, sizeof longest, "%u us (sampled)", h.longestus);
  snprintf(line, sizeof line, "QUON %d%s   clock %.3f s   %u passes/s   longest pass %s   key %u",
           a.pid, h.realtime ? " (real-time)" : "", h.clockms / 1000.0, h.passrate, longest,
           h.lastkey);
  out.push_back(line);
  if (h.realtime) {
    snprintf(line, sizeof line, "real-time margin %u us   latest wake-up %u us after its deadline   "
             "%u over 100 us%s", h.marginus, h.worstlateus, h.lateover100,
             h.budgetshort ? "   budget too small for the margin" : "");
    out.push_back(line);
  }
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    if (!h.port[p].used) continue;
    const RegionPort &port = h.port[p];
    uint8_t mask = h.forcemask[p];
    // The lamps show the lines; before the first sample, what was read.
    uint8_t pins = port.pinned ? port.pins : port.in;
    snprintf(line, sizeof line, "port %d   status %02x   control %02x", p, port.status, port.control);
    out.push_back("");
    out.push_back(line);
    std::string bitsrow = "  bit       ", outrow = "  out       ", outpin = "  out pin   ",
                inrow = "  in        ", readrow = "  read      ", inpin = "  in pin    ";
    for (int bit = 7; bit >= 0; --bit) {
      char cell[8];
      snprintf(cell, sizeof cell, "%4d", bit);
      bitsrow += cell;
      snprintf(cell, sizeof cell, "   %c", (port.out >> bit) & 1 ? '#' : '.');
      outrow += cell;
      snprintf(cell, sizeof cell, "%4d", bit + 2);
      outpin += cell;
      snprintf(cell, sizeof cell, " %c%c%c", (mask >> bit) & 1 ? 'F' : ' ',
               selected == p * 8 + bit ? '>' : ' ', (pins >> bit) & 1 ? '#' : '.');
      inrow += cell;
      bool differs = port.read && (((pins ^ port.in) >> bit) & 1);
      snprintf(cell, sizeof cell, "   %c", differs ? ((port.in >> bit) & 1 ? '#' : '.') : ' ');
      readrow += cell;
      snprintf(cell, sizeof cell, "%4d", INPINS[bit]);
      inpin += cell;
    }
    readrow.erase(readrow.find_last_not_of(' ') + 1);
    for (const std::string *row : {&bitsrow, &outrow, &outpin, &inrow, &readrow, &inpin}) out.push_back(*row);
  }
  // A row per flag bank, bit 7 first, as lamps; the cursor may stand on
  // one (selected: bank * 8 + bit).
  unsigned banks = h.flagbanks;
  if ((banks >> FLAG_FIRST) != 0) {
    std::string bitsrow = "flag banks  ";
    for (int bit = 7; bit >= 0; --bit) {
      char cell[8];
      snprintf(cell, sizeof cell, "%4d", bit);
      bitsrow += cell;
    }
    out.push_back("");
    out.push_back(bitsrow);
  }
  for (int n = FLAG_FIRST; n < PORT_NUMBERS; ++n) {
    if (((banks >> n) & 1) == 0) continue;
    std::string row = "  bank " + std::to_string(n) + "    ";
    for (int bit = 7; bit >= 0; --bit) {
      char cell[8];
      snprintf(cell, sizeof cell, "  %c%c", selected == n * 8 + bit ? '>' : ' ', (h.flags[n] >> bit) & 1 ? '#' : '.');
      row += cell;
    }
    out.push_back(row);
  }
  out.push_back("");
  out.push_back("  #  thread            state                    loops  line");
  return out;
}

std::vector<std::string> renderthreads(const Attached &a, const Snapshot &s, size_t first, size_t count) {
  std::vector<std::string> out;
  char line[512];
  for (size_t t = first; t < s.threads.size() && t - first < count; ++t) {
    const RegionThread &th = s.threads[t];
    bool placed = th.at >= 0 && static_cast<size_t>(th.at) < a.tokens.size();
    int32_t lineno = placed ? a.tokens[static_cast<size_t>(th.at)].line : 0;
    std::string name = th.name[0] != '\0' ? printable(std::string(th.name, strnlen(th.name, REGION_NAME)))
                                         : "thread" + std::to_string(t);
    snprintf(line, sizeof line, "%3zu  %-16.16s  %-21.21s  %7u  %3d: %s", t, name.c_str(),
             printable(state(a, s, th)).c_str(), th.loops, lineno, printable(statement(a, th.at)).c_str());
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> render(const Attached &a, const Snapshot &s, int selected) {
  std::vector<std::string> out = renderhead(a, s, selected);
  std::vector<std::string> rows = renderthreads(a, s, 0, s.threads.size());
  out.insert(out.end(), rows.begin(), rows.end());
  return out;
}

std::string threadstate(const Attached &a, const Snapshot &s, const RegionThread &t) { return state(a, s, t); }

int32_t threadline(const Attached &a, const RegionThread &t) {
  bool placed = t.at >= 0 && static_cast<size_t>(t.at) < a.tokens.size();
  return placed ? a.tokens[static_cast<size_t>(t.at)].line : 0;
}

std::string forcedbits(const Snapshot &s) {
  std::string text;
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    uint8_t mask = s.head.forcemask[p];
    if (mask == 0) continue;
    uint16_t pattern = static_cast<uint16_t>(mask << 8 | (s.head.forcevalue[p] & mask));
    text += (text.empty() ? "port " : " and port ") + std::to_string(p) + " bits " + patterntotext(pattern);
  }
  return text;
}
