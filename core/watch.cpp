#include "core/watch.h"

#include <cstdlib>

#include "core/fatal.h"

uint32_t watching = 0;
WatchSeen watchseen;

namespace {
volatile uint8_t unforced[LOGICAL_PORTS];  // the mask and value when nothing is forced
}  // namespace

namespace {

// The listeners in the order they were added, and per event the functions
// of those that hear it. A listener taken away leaves holes (null) until
// the next add, so that one may leave while its own event runs.
struct WatchTable {
  const Watcher *slot[WATCH_LISTENERS];
  int count;
  void (*pass[WATCH_LISTENERS])(int32_t);
  void (*passend[WATCH_LISTENERS])(void);
  void (*key[WATCH_LISTENERS])(uint8_t);
  void (*input[WATCH_LISTENERS])(int32_t, uint8_t);
  void (*output[WATCH_LISTENERS])(int32_t, uint8_t);
  void (*thread[WATCH_LISTENERS])(int32_t, int32_t);
  void (*note[WATCH_LISTENERS])(const char *);
  void (*loop[WATCH_LISTENERS])(int32_t, bool);
  void (*slept[WATCH_LISTENERS])(void);
  void (*flag[WATCH_LISTENERS])(int32_t, uint8_t);
  int (*keyin[WATCH_LISTENERS])(void);
  void (*ran[WATCH_LISTENERS])(int32_t, int32_t, int32_t);
  int passes, passends, keys, inputs, outputs, threads, notes, loops, sleeps, flags, keyins;
  int rans;
};
WatchTable table;

uint32_t eventsof(const Watcher &w) {
  uint32_t events = 0;
  if (w.pass != nullptr) events |= WATCH_PASS;
  if (w.passend != nullptr) events |= WATCH_PASSEND;
  if (w.key != nullptr) events |= WATCH_KEY;
  if (w.input != nullptr) events |= WATCH_INPUT;
  if (w.output != nullptr) events |= WATCH_OUTPUT;
  if (w.thread != nullptr) events |= WATCH_THREAD;
  if (w.note != nullptr) events |= WATCH_NOTE;
  if (w.loop != nullptr) events |= WATCH_LOOP;
  if (w.slept != nullptr) events |= WATCH_SLEPT;
  if (w.flag != nullptr) events |= WATCH_FLAG;
  if (w.keyin != nullptr) events |= WATCH_KEYIN;
  if (w.ran != nullptr) events |= WATCH_RAN;
  return events;
}

// The events as the listeners ask for them, but the keys from outside only
// while a listener holds one.
uint32_t held(uint32_t events) {
  return watchseen.keysheld > 0 ? events : events & ~static_cast<uint32_t>(WATCH_KEYIN);
}

template <typename F>
void put(F *list, int *n, F f, uint32_t event, uint32_t *events) {
  if (f == nullptr) return;
  list[(*n)++] = f;
  *events |= event;
}

// Every event's list again from the listeners, holes closed.
void rebuild(void) {
  WatchTable t{};
  uint32_t events = 0;
  for (int i = 0; i < table.count; ++i) {
    const Watcher *w = table.slot[i];
    if (w == nullptr) continue;
    t.slot[t.count++] = w;
    put(t.pass, &t.passes, w->pass, WATCH_PASS, &events);
    put(t.passend, &t.passends, w->passend, WATCH_PASSEND, &events);
    put(t.key, &t.keys, w->key, WATCH_KEY, &events);
    put(t.input, &t.inputs, w->input, WATCH_INPUT, &events);
    put(t.output, &t.outputs, w->output, WATCH_OUTPUT, &events);
    put(t.thread, &t.threads, w->thread, WATCH_THREAD, &events);
    put(t.note, &t.notes, w->note, WATCH_NOTE, &events);
    put(t.loop, &t.loops, w->loop, WATCH_LOOP, &events);
    put(t.slept, &t.sleeps, w->slept, WATCH_SLEPT, &events);
    put(t.flag, &t.flags, w->flag, WATCH_FLAG, &events);
    put(t.keyin, &t.keyins, w->keyin, WATCH_KEYIN, &events);
    put(t.ran, &t.rans, w->ran, WATCH_RAN, &events);
  }
  table = t;
  watching = held(events);
}

template <typename F>
void hole(F *list, int n, F f) {
  for (int i = 0; i < n; ++i) {
    if (list[i] == f && f != nullptr) list[i] = nullptr;
  }
}

// What was told is forgotten: the next of each is told to everyone.
void untell(void) {
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    watchseen.in[n] = watchseen.out[n] = 0x100;
  }
  for (uint16_t &f : watchseen.flag) f = 0x100;
  for (int32_t t = 0; t < watchseen.atcount; ++t) watchseen.at[t] = WATCH_UNTOLD;
  watchpassin(1);
}

}  // namespace

void watchthreads(int32_t count) {
  if (count > watchseen.atcount) {
    free(watchseen.at);
    watchseen.at = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(count)));
    if (watchseen.at == nullptr) outofmemory();
  }
  watchseen.atcount = count;
  for (int32_t t = 0; t < count; ++t) watchseen.at[t] = WATCH_UNTOLD;
}

int watchadd(const Watcher *w) {
  int used = 0;
  for (int i = 0; i < table.count; ++i) {
    if (table.slot[i] == w) return 0;
    if (table.slot[i] != nullptr) ++used;
  }
  if (used == WATCH_LISTENERS) return -1;
  rebuild();  // closes the holes, so the new one goes after every other
  table.slot[table.count++] = w;
  rebuild();
  if (watchseen.forcemask == nullptr) watchforce(nullptr, nullptr);
  // The places of the loaded threads, unless the loop has not parked them.
  if (watchseen.atcount < prog.threadcount) watchthreads(prog.threadcount);
  untell();
  return 0;
}

void watchremove(const Watcher *w) {
  uint32_t events = 0;
  for (int i = 0; i < table.count; ++i) {
    if (table.slot[i] == w) table.slot[i] = nullptr;
  }
  hole(table.pass, table.passes, w->pass);
  hole(table.passend, table.passends, w->passend);
  hole(table.key, table.keys, w->key);
  hole(table.input, table.inputs, w->input);
  hole(table.output, table.outputs, w->output);
  hole(table.thread, table.threads, w->thread);
  hole(table.note, table.notes, w->note);
  hole(table.loop, table.loops, w->loop);
  hole(table.slept, table.sleeps, w->slept);
  hole(table.flag, table.flags, w->flag);
  hole(table.keyin, table.keyins, w->keyin);
  hole(table.ran, table.rans, w->ran);
  for (int i = 0; i < table.count; ++i) {
    const Watcher *s = table.slot[i];
    if (s == nullptr) continue;
    events |= eventsof(*s);
  }
  watching = held(events);
}

void watchkeysheld(int32_t change) {
  watchseen.keysheld += change;
  uint32_t events = watching;
  if (table.keyins > 0) events |= WATCH_KEYIN;  // what held() may take away
  watching = held(events);
}

void watchreset(void) {
  table = WatchTable{};
  watching = 0;
  free(watchseen.at);
  watchseen = WatchSeen{};
}

void watchforce(volatile uint8_t *mask, volatile uint8_t *value) {
  bool forced = mask != nullptr && value != nullptr;
  watchseen.forcemask = forced ? mask : unforced;
  watchseen.forcevalue = forced ? value : unforced;
}

// Each list is read afresh for every listener: one taken away meanwhile is
// a hole and is not called.
void watchfirepass(void) {
  int32_t passes = watchseen.start - watchseen.left;
  watchseen.left = watchseen.start = WATCH_NOPASSES;
  for (int i = 0; i < table.passes; ++i) {
    if (table.pass[i] != nullptr) table.pass[i](passes);
  }
}
void watchfirepassend(void) {
  for (int i = 0; i < table.passends; ++i) {
    if (table.passend[i] != nullptr) table.passend[i]();
  }
}
void watchfirekey(uint8_t key) {
  for (int i = 0; i < table.keys; ++i) {
    if (table.key[i] != nullptr) table.key[i](key);
  }
}
void watchfireinput(int32_t port, uint8_t byte) {
  watchseen.in[port] = byte;
  for (int i = 0; i < table.inputs; ++i) {
    if (table.input[i] != nullptr) table.input[i](port, byte);
  }
}
void watchfireoutput(int32_t port, uint8_t byte) {
  watchseen.out[port] = byte;
  for (int i = 0; i < table.outputs; ++i) {
    if (table.output[i] != nullptr) table.output[i](port, byte);
  }
}
void watchfirethread(int32_t t, int32_t at) {
  if (t >= watchseen.atcount || at == watchseen.at[t]) return;
  watchseen.at[t] = at;
  for (int i = 0; i < table.threads; ++i) {
    if (table.thread[i] != nullptr) table.thread[i](t, at);
  }
}
void watchfirenote(const char *text) {
  for (int i = 0; i < table.notes; ++i) {
    if (table.note[i] != nullptr) table.note[i](text);
  }
}
void watchfireloop(int32_t t, bool killed) {
  for (int i = 0; i < table.loops; ++i) {
    if (table.loop[i] != nullptr) table.loop[i](t, killed);
  }
}
void watchfireflag(int32_t bank, uint8_t byte) {
  watchseen.flag[bank] = byte;
  for (int i = 0; i < table.flags; ++i) {
    if (table.flag[i] != nullptr) table.flag[i](bank, byte);
  }
}
// The first listener with a key gives it; the others keep theirs for a
// later pass, so two sources of keys lose none.
int watchfirekeyin(void) {
  for (int i = 0; i < table.keyins; ++i) {
    if (table.keyin[i] == nullptr) continue;
    int key = table.keyin[i]();
    if (key >= 0) return key;
  }
  return -1;
}
void watchfireran(int32_t t, int32_t from, int32_t to) {
  for (int i = 0; i < table.rans; ++i) {
    if (table.ran[i] != nullptr) table.ran[i](t, from, to);
  }
}
void watchfireslept(void) {
  watchpassin(1);  // the pass listeners look at the clock at the next pass
  for (int i = 0; i < table.sleeps; ++i) {
    if (table.slept[i] != nullptr) table.slept[i]();
  }
}
