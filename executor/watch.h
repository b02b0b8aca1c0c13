// What happens in the loop, told to whoever watches it: the trace, the
// monitors' region, the service manager's watchdog, a testbench. Each
// feature registers what it listens to when it starts, from its own
// folder; the loop, the thread step and the port layer only say what
// happened. Off, each event is one test of the flag word watching; on,
// its listeners run in the order they were added.
#ifndef QUON_EXECUTOR_WATCH_H
#define QUON_EXECUTOR_WATCH_H

#include <cstdint>

// The events, a bit each in watching.
enum WatchEvent : uint32_t {
  WATCH_PASS = 1u << 0,       // a pass begins
  WATCH_PASSEND = 1u << 1,    // a pass ended
  WATCH_KEY = 1u << 2,        // the key of a pass was read
  WATCH_REGISTERS = 1u << 3,  // a port's raw status and control were read
  WATCH_INPUT = 1u << 4,      // a port's calibrated input was read
  WATCH_OUTPUT = 1u << 5,     // a byte was written to a port's data register
  WATCH_THREAD = 1u << 6,     // a thread parked or moved
  WATCH_NOTE = 1u << 7,       // a NOTATE printed its text
  WATCH_LOOP = 1u << 8,       // a thread went back to its start
  WATCH_SLEPT = 1u << 9,      // the loop slept (the real-time mode)
};

// One listener: any of its functions may be null (not listened to). The
// input listener returns the byte the threads see (a monitor's forced bits
// put in); listeners after it get that byte. One marked first goes before
// every listener that is not, whenever it was added.
struct Watcher {
  bool first;
  void (*pass)(void);
  void (*passend)(void);
  void (*key)(uint8_t key);
  void (*registers)(int32_t port, uint8_t status, uint8_t control);
  uint8_t (*input)(int32_t port, uint8_t byte);
  void (*output)(int32_t port, uint8_t byte);
  void (*thread)(int32_t t, int32_t at);
  void (*note)(const char *text);
  void (*loop)(int32_t t);
  void (*slept)(void);
};

extern uint32_t watching;  // the events some listener hears (WatchEvent bits)

// Adds w (kept, not copied) after those added before (not during one of
// the events); adding one already there changes nothing. At most
// WATCH_LISTENERS; returns 0, or -1 when there is no room.
constexpr int WATCH_LISTENERS = 8;
int watchadd(const Watcher *w);
// Takes w away (also from inside one of its own functions).
void watchremove(const Watcher *w);
// Nobody listens (tests, a clean run).
void watchreset(void);

// The slow paths: every listener of the event in turn.
void watchfirepass(void);
void watchfirepassend(void);
void watchfirekey(uint8_t key);
void watchfireregisters(int32_t port, uint8_t status, uint8_t control);
uint8_t watchfireinput(int32_t port, uint8_t byte);
void watchfireoutput(int32_t port, uint8_t byte);
void watchfirethread(int32_t t, int32_t at);
void watchfirenote(const char *text);
void watchfireloop(int32_t t);
void watchfireslept(void);

inline bool watched(uint32_t event) { return __builtin_expect((watching & event) != 0, 0); }

inline void watchpass(void) {
  if (watched(WATCH_PASS)) watchfirepass();
}
inline void watchpassend(void) {
  if (watched(WATCH_PASSEND)) watchfirepassend();
}
inline void watchkey(uint8_t key) {
  if (watched(WATCH_KEY)) watchfirekey(key);
}
inline void watchregisters(int32_t port, uint8_t status, uint8_t control) {
  if (watched(WATCH_REGISTERS)) watchfireregisters(port, status, control);
}
inline uint8_t watchinput(int32_t port, uint8_t byte) {
  return watched(WATCH_INPUT) ? watchfireinput(port, byte) : byte;
}
inline void watchoutput(int32_t port, uint8_t byte) {
  if (watched(WATCH_OUTPUT)) watchfireoutput(port, byte);
}
inline void watchthread(int32_t t, int32_t at) {
  if (watched(WATCH_THREAD)) watchfirethread(t, at);
}
inline void watchnote(const char *text) {
  if (watched(WATCH_NOTE)) watchfirenote(text);
}
inline void watchloop(int32_t t) {
  if (watched(WATCH_LOOP)) watchfireloop(t);
}
inline void watchslept(void) {
  if (watched(WATCH_SLEPT)) watchfireslept();
}

#endif
