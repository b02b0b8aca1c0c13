#include "monitor/snapshot.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

#include "platform/rtsched.h"
#include "platform/sharedmem.h"

namespace {

// One guarded access and what it works on.
struct Copy {
  void *to;
  const void *from;
  size_t bytes;
};

void copybytes(void *arg) {
  const Copy *c = static_cast<const Copy *>(arg);
  if (c->bytes > 0) memcpy(c->to, c->from, c->bytes);
}

// Copies bytes at offset at of the region (in range); false once it has
// been cut short.
bool copyout(Attached &a, void *to, size_t at, size_t bytes) {
  Copy c{to, reinterpret_cast<const char *>(a.region) + at, bytes};
  if (a.lost || !sharedguarded(copybytes, &c)) a.lost = true;
  return !a.lost;
}

// A table of count entries of size bytes at offset at lies within
// [from, to) and is aligned for its entries.
bool placed(uint32_t at, int32_t count, size_t size, size_t align, uint64_t from, uint64_t to) {
  uint64_t end = at + static_cast<uint64_t>(count) * size;
  return at >= from && end <= to && at % align == 0;
}

struct Whole {
  Attached *a;
  Snapshot *s;
  bool whole;
};

void copywhole(void *arg) {
  Whole *w = static_cast<Whole *>(arg);
  RegionHeader *h = w->a->region;
  w->whole = false;
  uint32_t before = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
  if (before & 1) return;
  memcpy(&w->s->head, h, sizeof(RegionHeader));
  if (!w->s->threads.empty()) {
    memcpy(w->s->threads.data(), reinterpret_cast<const char *>(h) + w->a->threadsat,
           w->s->threads.size() * sizeof(RegionThread));
  }
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  w->whole = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE) == before;
}

struct Update {
  uint8_t *mask, *value;
  uint8_t bits, to;
};

void forcebits(void *arg) {
  const Update *u = static_cast<const Update *>(arg);
  // The value first: the program never applies these mask bits with a value
  // that is not yet this one's.
  __atomic_fetch_or(u->value, static_cast<uint8_t>(u->bits & u->to), __ATOMIC_RELAXED);
  __atomic_fetch_and(u->value, static_cast<uint8_t>(~(u->bits & ~u->to)), __ATOMIC_RELAXED);
  __atomic_fetch_or(u->mask, u->bits, __ATOMIC_RELEASE);
}

void releasebits(void *arg) {
  const Update *u = static_cast<const Update *>(arg);
  __atomic_fetch_and(u->mask, static_cast<uint8_t>(~u->bits), __ATOMIC_RELEASE);
}

void countbeat(void *arg) { __atomic_fetch_add(static_cast<uint32_t *>(arg), 1u, __ATOMIC_RELAXED); }

void update(Attached &a, void (*access)(void *), int port, uint8_t mask, uint8_t value) {
  if (a.lost || port < 0 || port >= LOGICAL_PORTS) return;
  Update u{&a.region->forcemask[port], &a.region->forcevalue[port], mask, value};
  if (!sharedguarded(access, &u)) a.lost = true;
}

// A command waits for room in the ring for about two seconds, looking
// every millisecond.
constexpr unsigned RINGLOOKUS = 1000;
constexpr int RINGLOOKS = 2000;

// The ring's side of a command: the claim, then the slot filled once the
// run has taken the command REGION_COMMANDS before it.
struct Claim {
  RegionHeader *h;
  uint32_t k;        // the slot number claimed
  uint32_t taken;    // the run's count as last read
  uint8_t ended;
};

void claimslot(void *arg) {
  Claim *c = static_cast<Claim *>(arg);
  c->k = __atomic_fetch_add(&c->h->commandclaim, 1u, __ATOMIC_ACQ_REL);
}

void lookring(void *arg) {
  Claim *c = static_cast<Claim *>(arg);
  c->taken = __atomic_load_n(&c->h->commandtaken, __ATOMIC_ACQUIRE);
  c->ended = __atomic_load_n(&c->h->ended, __ATOMIC_RELAXED);
}

struct Fill {
  RegionCommand *slot;
  RegionCommand command;
};

void fillslot(void *arg) {
  Fill *f = static_cast<Fill *>(arg);
  __atomic_store_n(&f->slot->kind, f->command.kind, __ATOMIC_RELAXED);
  __atomic_store_n(&f->slot->arg, f->command.arg, __ATOMIC_RELAXED);
  __atomic_store_n(&f->slot->pattern, f->command.pattern, __ATOMIC_RELAXED);
  __atomic_store_n(&f->slot->seq, f->command.seq, __ATOMIC_RELEASE);
}

bool gone(Attached &a, const Claim &c) {
  if (a.lost || c.ended != 0) return true;
  if (a.fd >= 0 && sharedsize(a.fd) < a.size) return a.lost = true;
  return a.pid > 0 && kill(a.pid, 0) != 0 && errno == ESRCH;
}

// Places one command in the ring. A slot claimed and then given up (the
// ring stayed full) is left unfilled: the run skips such a slot once it
// has stayed so for a while, so the commands after it still come.
int command(Attached &a, uint8_t kind, uint8_t arg, uint16_t pattern, std::string *why) {
  Claim c{a.region, 0, 0, 0};
  if (a.lost || !sharedguarded(lookring, &c) || gone(a, c)) return *why = "the run is gone", -1;
  if (!sharedguarded(claimslot, &c)) return a.lost = true, *why = "the run is gone", -1;
  for (int look = 0;; ++look) {
    if (!sharedguarded(lookring, &c)) a.lost = true;
    if (gone(a, c)) return *why = "the run is gone", -1;
    if (c.k - c.taken < static_cast<uint32_t>(REGION_COMMANDS)) break;
    if (look >= RINGLOOKS) return *why = "the run's command ring stayed full", -1;
    rtsleep(RINGLOOKUS);
  }
  Fill f{&a.region->command[c.k % REGION_COMMANDS], {c.k + 1, kind, arg, pattern}};
  if (!sharedguarded(fillslot, &f)) return a.lost = true, *why = "the run is gone", -1;
  return 0;
}

struct Load {
  const uint32_t *at;
  uint32_t value;
};

void loadword(void *arg) {
  Load *l = static_cast<Load *>(arg);
  l->value = __atomic_load_n(l->at, __ATOMIC_ACQUIRE);
}

// One note's slot: its seq before and after the copy of its text.
struct NoteCopy {
  const RegionNote *slot;
  uint32_t before, after;
  char text[REGION_TEXT];
};

void copynote(void *arg) {
  NoteCopy *n = static_cast<NoteCopy *>(arg);
  n->before = __atomic_load_n(&n->slot->seq, __ATOMIC_ACQUIRE);
  memcpy(n->text, n->slot->text, REGION_TEXT);
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  n->after = __atomic_load_n(&n->slot->seq, __ATOMIC_ACQUIRE);
}

}  // namespace

int adopt(void *region, size_t size, int pid, Attached *a, std::string *why) {
  a->region = static_cast<RegionHeader *>(region);
  a->size = size;
  a->pid = pid;
  a->lost = false;
  std::string refusal = "process " + std::to_string(pid) + " publishes nothing a monitor can read (";
  RegionHeader h{};
  if (size < sizeof h || size > REGION_LARGEST) return *why = refusal + "its size)", -1;
  if (!copyout(*a, &h, 0, sizeof h)) return *why = refusal + "its region was cut short)", -1;
  if (h.magic != REGION_MAGIC || h.version != REGION_VERSION || h.size != size || h.pid != pid) {
    return *why = refusal + "another version, size or process)", -1;
  }
  if (h.threadcount < 0 || h.tokencount < 0 || h.stringcount < 0) {
    return *why = refusal + "a count out of range)", -1;
  }
  // In the order the program lays them out, each table after the last.
  uint64_t tokensat = h.tokensat, stringsat = h.stringsat;
  if (!placed(h.threadsat, h.threadcount, sizeof(RegionThread), alignof(RegionThread),
              sizeof(RegionHeader), tokensat) ||
      !placed(h.tokensat, h.tokencount, sizeof(RegionToken), alignof(RegionToken),
              h.threadsat, stringsat) ||
      !placed(h.stringsat, h.stringcount, REGION_TEXT, 1, h.tokensat, h.notesat) ||
      !placed(h.notesat, REGION_NOTES, sizeof(RegionNote), alignof(RegionNote),
              h.stringsat + static_cast<uint64_t>(h.stringcount) * REGION_TEXT, size)) {
    return *why = refusal + "a table out of place)", -1;
  }
  a->threadcount = h.threadcount;
  a->threadsat = h.threadsat;
  a->notesat = h.notesat;
  a->tokens.resize(static_cast<size_t>(h.tokencount));
  std::vector<char> texts(static_cast<size_t>(h.stringcount) * REGION_TEXT);
  if (!copyout(*a, a->tokens.data(), h.tokensat, a->tokens.size() * sizeof(RegionToken)) ||
      !copyout(*a, texts.data(), h.stringsat, texts.size())) {
    return *why = refusal + "its region was cut short)", -1;
  }
  a->texts.clear();
  for (size_t at = 0; at < texts.size(); at += REGION_TEXT) {
    size_t length = strnlen(&texts[at], REGION_TEXT);
    if (length == REGION_TEXT) return *why = refusal + "a text without its end)", -1;
    a->texts.emplace_back(&texts[at], length);
  }
  return 0;
}

bool snapshot(Attached &a, Snapshot *s) {
  if (a.lost) return false;
  if (a.fd >= 0 && sharedsize(a.fd) < a.size) {
    a.lost = true;
    return false;
  }
  s->threads.resize(static_cast<size_t>(a.threadcount));
  for (int tries = 0; tries < 1000; ++tries) {
    Whole w{&a, s, false};
    if (!sharedguarded(copywhole, &w)) {
      a.lost = true;
      return false;
    }
    if (w.whole) return true;
  }
  return false;
}

void force(Attached &a, int port, uint8_t mask, uint8_t value) { update(a, forcebits, port, mask, value); }

void release(Attached &a, int port, uint8_t mask) { update(a, releasebits, port, mask, 0); }

void heartbeat(Attached &a) {
  if (!a.lost && !sharedguarded(countbeat, &a.region->heartbeat)) a.lost = true;
}

int typekeys(Attached &a, const std::string &keys, std::string *why) {
  for (char key : keys) {
    if (command(a, COMMAND_KEY, static_cast<uint8_t>(key), 0, why) != 0) return -1;
  }
  return 0;
}

int setflags(Attached &a, int bank, uint16_t pattern, std::string *why) {
  Snapshot s;
  if (!snapshot(a, &s)) return *why = "the run is gone", -1;
  if (bank < FLAG_FIRST || bank >= PORT_NUMBERS || ((s.head.flagbanks >> bank) & 1) == 0) {
    return *why = "port " + std::to_string(bank) + " is no flag bank of the run", -1;
  }
  return command(a, COMMAND_FLAG, static_cast<uint8_t>(bank), pattern, why);
}

bool readnotes(Attached &a, uint32_t *next, std::vector<std::string> *out, uint32_t *missed) {
  if (a.lost) return false;
  Load count{&a.region->notes, 0};
  if (!sharedguarded(loadword, &count)) {
    a.lost = true;
    return false;
  }
  // A count behind the reader's (written by someone else, or counted
  // round): nothing new.
  uint32_t ahead = count.value - *next;
  if (static_cast<int32_t>(ahead) <= 0) return true;
  if (ahead > static_cast<uint32_t>(REGION_NOTES)) {
    *missed += ahead - REGION_NOTES;
    *next = count.value - REGION_NOTES;
  }
  const RegionNote *ring = reinterpret_cast<const RegionNote *>(reinterpret_cast<const char *>(a.region) + a.notesat);
  for (; *next != count.value; ++*next) {
    NoteCopy n{&ring[*next % REGION_NOTES], 0, 0, {}};
    if (!sharedguarded(copynote, &n)) {
      a.lost = true;
      return false;
    }
    // Anything but this note's number before and after: it was replaced
    // (or is being replaced) by a later one.
    if (n.before != *next + 1 || n.after != *next + 1) {
      ++*missed;
      continue;
    }
    out->emplace_back(n.text, strnlen(n.text, REGION_TEXT));
  }
  return true;
}
