#include "executor/watch.h"

uint32_t watching = 0;

namespace {

// The listeners in the order they were added; a taken-away one leaves a
// hole, so that a listener may take itself away while its event runs.
struct WatchTable {
  const Watcher *slot[WATCH_LISTENERS];
};
WatchTable table;

uint32_t eventsof(const Watcher &w) {
  uint32_t events = 0;
  if (w.pass != nullptr) events |= WATCH_PASS;
  if (w.passend != nullptr) events |= WATCH_PASSEND;
  if (w.key != nullptr) events |= WATCH_KEY;
  if (w.registers != nullptr) events |= WATCH_REGISTERS;
  if (w.input != nullptr) events |= WATCH_INPUT;
  if (w.output != nullptr) events |= WATCH_OUTPUT;
  if (w.thread != nullptr) events |= WATCH_THREAD;
  if (w.note != nullptr) events |= WATCH_NOTE;
  if (w.loop != nullptr) events |= WATCH_LOOP;
  if (w.slept != nullptr) events |= WATCH_SLEPT;
  return events;
}

void recount(void) {
  uint32_t events = 0;
  for (const Watcher *w : table.slot) {
    if (w != nullptr) events |= eventsof(*w);
  }
  watching = events;
}

}  // namespace

int watchadd(const Watcher *w) {
  const Watcher *kept[WATCH_LISTENERS];
  int count = 0;
  for (const Watcher *s : table.slot) {
    if (s == w) return 0;
    if (s != nullptr) kept[count++] = s;
  }
  if (count == WATCH_LISTENERS) return -1;
  // A listener that changes what the others are told goes before every
  // one that does not; otherwise the order is the order of adding.
  int at = count;
  if (w->first) {
    while (at > 0 && !kept[at - 1]->first) --at;
  }
  for (int i = count; i > at; --i) kept[i] = kept[i - 1];
  kept[at] = w;
  ++count;
  table = WatchTable{};
  for (int i = 0; i < count; ++i) table.slot[i] = kept[i];
  recount();
  return 0;
}

void watchremove(const Watcher *w) {
  for (const Watcher *&s : table.slot) {
    if (s == w) s = nullptr;
  }
  recount();
}

void watchreset(void) {
  table = WatchTable{};
  watching = 0;
}

// Each slow path reads the slot afresh for every listener: one that takes
// itself (or a later one) away is not called again.
#define QUON_EACH(member) \
  for (const Watcher *w : table.slot) \
    if (w != nullptr && w->member != nullptr)

void watchfirepass(void) {
  QUON_EACH(pass) w->pass();
}
void watchfirepassend(void) {
  QUON_EACH(passend) w->passend();
}
void watchfirekey(uint8_t key) {
  QUON_EACH(key) w->key(key);
}
void watchfireregisters(int32_t port, uint8_t status, uint8_t control) {
  QUON_EACH(registers) w->registers(port, status, control);
}
uint8_t watchfireinput(int32_t port, uint8_t byte) {
  QUON_EACH(input) byte = w->input(port, byte);
  return byte;
}
void watchfireoutput(int32_t port, uint8_t byte) {
  QUON_EACH(output) w->output(port, byte);
}
void watchfirethread(int32_t t, int32_t at) {
  QUON_EACH(thread) w->thread(t, at);
}
void watchfirenote(const char *text) {
  QUON_EACH(note) w->note(text);
}
void watchfireloop(int32_t t) {
  QUON_EACH(loop) w->loop(t);
}
void watchfireslept(void) {
  QUON_EACH(slept) w->slept();
}

#undef QUON_EACH
