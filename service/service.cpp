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

namespace {

// The service's whole state; servicereset puts it back.
struct ServiceState {
  bool serviceon = false;               // the watchdog is kept
  int32_t servicecount = SERVICE_EVERY;  // passes until the next servicetick
  bool notifying = false;   // a socket was named
  uint64_t watchdogus = 0;  // half of $WATCHDOG_USEC; 0: no watchdog
  uint64_t lastbeat = 0;
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

// Passes went by, while the watchdog is kept.
void countpass(int32_t passes) {
  svc.servicecount -= passes;
  if (svc.servicecount <= 0) servicetick();
  watchpassin(svc.servicecount);
}

// The loop slept (the real-time mode): the next pass looks at the clock.
void countslept(void) { svc.servicecount = 1; }

const Watcher listener = {
    countpass,   // pass
    nullptr,     // passend
    nullptr,     // key
    false,       // registers
    nullptr,     // input
    nullptr,     // output
    nullptr,     // thread
    nullptr,     // note
    nullptr,     // loop
    countslept,  // slept
};

// The length of the printable UTF-8 character at text[i] (no C1 control,
// no surrogate, not overlong); 0 when there is none.
size_t utf8character(const std::string &text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (length == 0 || c > 0xF4 || i + length > text.size()) return 0;
  uint32_t code = c & (0x7Fu >> length);
  for (size_t k = 1; k < length; ++k) {
    unsigned char more = static_cast<unsigned char>(text[i + k]);
    if ((more & 0xC0) != 0x80) return 0;
    code = code << 6 | (more & 0x3Fu);
  }
  const uint32_t least[5] = {0, 0, 0xA0, 0x800, 0x10000};  // below: overlong or C1
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
  return length;
}

// A value for the service manager: one line of printable text, whatever a
// file name holds (a newline would start an assignment of its own, such as
// MAINPID=). Control bytes show as ^X, bytes of no character as \xNN.
std::string oneline(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0x80 ? utf8character(text, i) : 1;
    if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    } else if (length == 0) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
      length = 1;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

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
  std::string text = "READY=1\nSTATUS=running " + oneline(script) + ", " +
                     std::to_string(threads) + (threads == 1 ? " thread" : " threads");
  notifysend(text.c_str());
  if (svc.watchdogus == 0) return;
  svc.lastbeat = clockus();
  svc.servicecount = SERVICE_EVERY;
  svc.serviceon = true;
  watchadd(&listener);
}

void servicetick(void) {
  svc.servicecount = SERVICE_EVERY;
  uint64_t now = clockus();
  if (now - svc.lastbeat < svc.watchdogus) return;
  svc.lastbeat = now;
  notifysend("WATCHDOG=1");
}

bool servicewatchdog(void) { return svc.serviceon; }

void servicereset(void) {
  watchremove(&listener);
  notifyclose();
  svc = ServiceState{};
}
