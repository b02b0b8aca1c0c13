// What happens in the loop, told to whoever watches it: the trace, the
// monitors' region, the service manager's watchdog, a testbench. It sits
// on the lowest floor because the port layer tells of its reads and writes
// as the executor tells of passes and threads, and each feature above
// both listens without either knowing it. Each
// feature registers what it listens to when it starts, from its own
// folder; the loop, the thread step and the port layer only say what
// happened. Off, each event is one test of the flag word watching.
//
// On, the loop still pays little: a port's input and output and a
// thread's place are told only when they differ from what the
// listeners were told last (every listener hears the first one after it
// was added), and the pass listeners are told only every so many passes,
// as many as they asked for (watchpassin). Listeners run in the order they
// were added.
#ifndef QUON_CORE_WATCH_H
#define QUON_CORE_WATCH_H

#include <cstdint>

#include "core/tables.h"

// The events, a bit each in watching.
enum WatchEvent : uint32_t {
  WATCH_PASS = 1u << 0,       // passes went by
  WATCH_PASSEND = 1u << 1,    // a pass ended
  WATCH_KEY = 1u << 2,        // the key of a pass was read
  WATCH_INPUT = 1u << 3,      // a port's calibrated input changed
  WATCH_OUTPUT = 1u << 4,     // the byte of a port's data register changed
  WATCH_THREAD = 1u << 5,     // a thread parked somewhere else
  WATCH_NOTE = 1u << 6,       // a NOTATE printed its text
  WATCH_LOOP = 1u << 7,       // a thread went back to its start
  WATCH_SLEPT = 1u << 8,      // the loop slept (the real-time mode)
  WATCH_FLAG = 1u << 9,       // the bits of a flag bank changed
  WATCH_KEYIN = 1u << 10,     // a listener holds a key for a pass
  WATCH_RAN = 1u << 11,       // a thread's step ran statements
};

// One listener: any of its functions may be null (not listened to).
struct Watcher {
  // passes: how many went by since the pass listeners were last told. A
  // listener asks for its next call with watchpassin.
  void (*pass)(int32_t passes);
  void (*passend)(void);
  void (*key)(uint8_t key);
  void (*input)(int32_t port, uint8_t byte);
  void (*output)(int32_t port, uint8_t byte);
  void (*thread)(int32_t t, int32_t at);
  void (*note)(const char *text);
  // killed: a KILL sent t back; otherwise t went round its separator.
  void (*loop)(int32_t t, bool killed);
  void (*slept)(void);
  void (*flag)(int32_t bank, uint8_t byte);
  // A key from somewhere other than the terminal (a monitor typed it), asked
  // for only when the terminal has none for the pass and some listener
  // said it holds one (watchkeysheld): the key, or -1.
  int (*keyin)(void);
  // Thread t's step ran the statements from token index from to to, both
  // in: to is where it parked (a WAIT, DELAY or KEY that did not let it
  // on), its separator or the KILL that sent it back. Every step is told,
  // one that stayed where it was too. Without an initializer of its own
  // it is not listened to.
  void (*ran)(int32_t t, int32_t from, int32_t to) = nullptr;
};

extern uint32_t watching;  // the events some listener hears (WatchEvent bits)

constexpr int32_t WATCH_UNTOLD = -2;           // a place no thread stands at
constexpr int32_t WATCH_NOPASSES = 1 << 30;    // no pass listener asked to be told

// What the listeners were last told; only this file's functions write it.
struct WatchSeen {
  int32_t left = WATCH_NOPASSES;   // passes until the pass listeners are told
  int32_t start = WATCH_NOPASSES;  // left as it was after they were last told
  uint16_t in[LOGICAL_PORTS] = {};        // 0x100 and above: not told yet
  uint16_t out[LOGICAL_PORTS] = {};
  uint16_t flag[PORT_NUMBERS] = {};     // per flag bank, as in and out
  int32_t *at = nullptr;           // per thread (atcount of them)
  int32_t atcount = 0;
  // The input bits a listener forces: mask, then value, per port (a
  // monitor writes them); all 0 (once anyone listens) when none are.
  volatile uint8_t *forcemask = nullptr;
  volatile uint8_t *forcevalue = nullptr;
  // Ports whose inputs follow the kernel's edges: when the edge that made
  // the pass's input happened (the run's clock, clockus), for the trace to
  // stamp the change with; 0 when the input of the pass is no new edge's.
  uint64_t edgeus[LOGICAL_PORTS] = {};
  uint64_t edgeslost = 0;  // edges the kernel dropped in this run, in all
  // What the keyin listeners hold for later passes, as they tell it: they
  // are asked only while it is above 0, so a pass with nothing held pays
  // one test.
  int32_t keysheld = 0;
};
extern WatchSeen watchseen;

// Adds w (kept, not copied) after those added before; adding one already
// there changes nothing. At most WATCH_LISTENERS; returns 0, or -1 when
// there is no room. The next pass, input, output and place of
// each thread are told again.
constexpr int WATCH_LISTENERS = 8;
int watchadd(const Watcher *w);
// Takes w away (also from inside one of its own functions).
void watchremove(const Watcher *w);
// Nobody listens, nothing is forced (tests, a clean run).
void watchreset(void);
// The threads are parked anew (count of them): their places not yet told.
void watchthreads(int32_t count);
// From now on every input read has the bits of mask replaced by those of
// value (both per port; nullptr: nothing forced). The listener that forces
// them listens to the input.
void watchforce(volatile uint8_t *mask, volatile uint8_t *value);

// The pass listeners are told again within n passes (n >= 1).
inline void watchpassin(int32_t n) {
  if (n < watchseen.left) {
    watchseen.start -= watchseen.left - n;
    watchseen.left = n;
  }
}

// The slow paths: every listener of the event in turn.
void watchfirepass(void);
void watchfirepassend(void);
void watchfirekey(uint8_t key);
void watchfireinput(int32_t port, uint8_t byte);
void watchfireoutput(int32_t port, uint8_t byte);
void watchfirethread(int32_t t, int32_t at);
void watchfirenote(const char *text);
void watchfireloop(int32_t t, bool killed);
void watchfireslept(void);
void watchfireflag(int32_t bank, uint8_t byte);
int watchfirekeyin(void);
void watchfireran(int32_t t, int32_t from, int32_t to);

inline bool watched(uint32_t event) { return __builtin_expect((watching & event) != 0, 0); }

// A pass begins.
inline void watchpass(void) {
  if (watched(WATCH_PASS) && --watchseen.left <= 0) watchfirepass();
}
inline void watchpassend(void) {
  if (watched(WATCH_PASSEND)) watchfirepassend();
}
inline void watchkey(uint8_t key) {
  if (watched(WATCH_KEY)) watchfirekey(key);
}
// Port n's input byte in with the bits a listener forces in place of the
// lines' (only while someone listens to the input: the masks are set then).
inline uint8_t watchforced(int32_t n, uint8_t in) {
  uint8_t mask = watchseen.forcemask[n];  // no bits forced: all 0
  return static_cast<uint8_t>((in & ~mask) | (watchseen.forcevalue[n] & mask));
}
// Port n's calibrated input: returns what the threads see, the forced bits
// in place of what the lines show.
inline uint8_t watchinput(int32_t n, uint8_t in) {
  if (watched(WATCH_INPUT)) {
    in = watchforced(n, in);
    if (in != watchseen.in[n]) watchfireinput(n, in);
  }
  return in;
}
// A byte written to port n's data register.
inline void watchoutput(int32_t n, uint8_t byte) {
  if (watched(WATCH_OUTPUT) && byte != watchseen.out[n]) watchfireoutput(n, byte);
}
// Thread t now stands at token index at (-1: it has no statements).
// The comparison is out of line too: the thread step stays as small as it
// was without a trace.
inline void watchthread(int32_t t, int32_t at) {
  if (watched(WATCH_THREAD)) watchfirethread(t, at);
}
inline void watchnote(const char *text) {
  if (watched(WATCH_NOTE)) watchfirenote(text);
}
inline void watchloop(int32_t t, bool killed) {
  if (watched(WATCH_LOOP)) watchfireloop(t, killed);
}
// The loop slept: the pass listeners are told at the next pass too.
inline void watchslept(void) {
  if (watched(WATCH_SLEPT | WATCH_PASS)) watchfireslept();
}

// Flag bank n (FLAG_FIRST <= n < PORT_NUMBERS) now holds byte.
inline void watchflag(int32_t n, uint8_t byte) {
  if (watched(WATCH_FLAG) && byte != watchseen.flag[n]) watchfireflag(n, byte);
}
// Thread t's step ran tokens from..to (a statement count's source).
inline void watchran(int32_t t, int32_t from, int32_t to) {
  if (watched(WATCH_RAN)) watchfireran(t, from, to);
}
// The pass about to run sees port n's input as an edge at us left it (0:
// as no new edge did).
inline void watchedge(int32_t n, uint64_t us) { watchseen.edgeus[n] = us; }
// The kernel dropped count edges of port n: the port's next input is told
// again, so an input listener learns of the loss with it.
inline void watchlost(int32_t n, uint32_t count) {
  watchseen.edgeslost += count;
  watchseen.in[n] = 0x100;
}

// The key a listener gives the pass when the terminal gave none, or -1.
// WATCH_KEYIN is on only while a keyin listener holds something, so the
// pass pays one flag test otherwise, and a loop that could sleep does not
// while a key waits for its pass.
inline int watchkeyin(void) {
  if (watched(WATCH_KEYIN)) return watchfirekeyin();
  return -1;
}
// A keyin listener holds change more (or, below 0, fewer) keys or commands
// for later passes.
void watchkeysheld(int32_t change);

#endif
