#include "monitor/snapshot.h"

#include <cstring>

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

}  // namespace

int adopt(void *region, size_t size, int pid, Attached *a, std::string *why) {
  a->region = static_cast<RegionHeader *>(region);
  a->size = size;
  a->pid = pid;
  a->lost = false;
  std::string refusal = "process " + std::to_string(pid) + " publishes nothing a monitor can read (";
  RegionHeader h;
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
      !placed(h.stringsat, h.stringcount, REGION_TEXT, 1, h.tokensat, size)) {
    return *why = refusal + "a table out of place)", -1;
  }
  a->threadcount = h.threadcount;
  a->threadsat = h.threadsat;
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
