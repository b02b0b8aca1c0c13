#include "service/service.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/watch.h"
#include "platform/clock.h"
#include "platform/lastwords.h"
#include "platform/notify.h"
#include "text/printable.h"

namespace {

// The service's whole state; servicereset puts it back.
struct ServiceState {
  bool serviceon = false;               // the watchdog is kept
  int32_t servicecount = SERVICE_EVERY;  // passes until the next servicetick
  bool notifying = false;   // a socket was named
  uint64_t watchdogus = 0;  // half of $WATCHDOG_USEC; 0: no watchdog
  uint64_t lastbeat = 0;
  uint64_t laststatus = 0;  // when STATUS= was last sent
  bool statussent = false;  // a note's STATUS= went out since READY=1
  std::string pending;      // a note's STATUS= held back by the rate; "" none
  pid_t owner = 0;
};
ServiceState svc;

void stopping(void) {
  if (svc.notifying && getpid() == svc.owner) notifysend("STOPPING=1");
}

// A whole positive number, nothing else; 0 when it is none.
uint64_t number(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  return errno == 0 && *end == '\0' ? value : 0;
}

// Sends the held note once its time has come; 1 while one is still held.
bool sendpending(uint64_t now) {
  if (svc.pending.empty()) return false;
  if (svc.statussent && now - svc.laststatus < SERVICE_STATUSUS) return true;
  notifysend(svc.pending.c_str());
  svc.pending.clear();
  svc.laststatus = now;
  svc.statussent = true;
  return false;
}

// Passes went by, while the watchdog is kept or a note waits to be told.
void countpass(int32_t passes) {
  svc.servicecount -= passes;
  if (svc.servicecount <= 0) servicetick();
  if (svc.serviceon || !svc.pending.empty()) watchpassin(svc.servicecount);
}

// A note was printed: the service manager's status line follows it, at
// most ten times a second (the last note of a burst is told when the rate
// allows), so a note in a tight loop cannot flood the manager.
void tellnote(const char *text) {
  std::string line = printable(text);
  if (line.size() > SERVICE_STATUSMAX) line.resize(SERVICE_STATUSMAX);
  svc.pending = "STATUS=" + line;
  if (sendpending(clockus())) watchpassin(svc.servicecount);
}

// The loop slept (the real-time mode): the next pass looks at the clock.
void countslept(void) { svc.servicecount = 1; }

const Watcher listener = {
    countpass,   // pass
    nullptr,     // passend
    nullptr,     // key
    nullptr,     // input
    nullptr,     // output
    nullptr,     // thread
    tellnote,    // note
    nullptr,     // loop
    countslept,  // slept
    nullptr,  // flag
    nullptr,  // keyin
};

}  // namespace

void servicetake(void) {
  const char *socket = getenv("NOTIFY_SOCKET");
  uint64_t usec = number(getenv("WATCHDOG_USEC"));
  const char *pid = getenv("WATCHDOG_PID");
  bool ours = pid == nullptr || number(pid) == static_cast<uint64_t>(getpid());
  if (socket != nullptr && notifyopen(socket) == 0) {
    svc.notifying = true;
    // Pings at every half of the interval; an interval of 1 us still
    // wants them (as often as the loop looks).
    svc.watchdogus = !ours ? 0 : usec > 1 ? usec / 2 : usec;
  }
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
}

void serviceready(const char *script, int32_t threads) {
  if (!svc.notifying) return;
  svc.owner = getpid();
  stopstage(STOP_SERVICE, stopping, stopping);
  std::string text = "READY=1\nSTATUS=running " + printable(script) + ", " +
                     std::to_string(threads) + (threads == 1 ? " thread" : " threads");
  notifysend(text.c_str());
  svc.lastbeat = clockus();
  svc.servicecount = SERVICE_EVERY;
  svc.serviceon = svc.watchdogus != 0;
  // Without a watchdog the passes matter only while a note is held back:
  // countpass asks for them only then.
  watchadd(&listener);
}

void servicetick(void) {
  svc.servicecount = SERVICE_EVERY;
  uint64_t now = clockus();
  sendpending(now);
  if (!svc.serviceon || now - svc.lastbeat < svc.watchdogus) return;
  svc.lastbeat = now;
  notifysend("WATCHDOG=1");
}

bool servicewatchdog(void) { return svc.serviceon; }

bool servicemanaged(void) { return svc.notifying; }

void servicereset(void) {
  watchremove(&listener);
  notifyclose();
  svc = ServiceState{};
}
