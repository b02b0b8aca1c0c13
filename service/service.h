// Running as a service: readiness, liveness and stopping told to the
// service manager through its notification socket ($NOTIFY_SOCKET).
// READY=1 when the loop is about to start, WATCHDOG=1 from the loop itself
// every half of $WATCHDOG_USEC (so a loop held by a hung SPAWN misses it
// and the manager restarts the service), STOPPING=1 at every stop. Without
// $NOTIFY_SOCKET nothing is sent and the service listens to nothing in the
// loop; with it, after READY=1, STATUS= carries the last note printed (at
// most ten times a second), and with a watchdog it counts passes
// (core/watch.h).
#ifndef QUON_SERVICE_SERVICE_H
#define QUON_SERVICE_SERVICE_H

#include <cstddef>
#include <cstdint>

constexpr int32_t SERVICE_EVERY = 1024;  // passes between two clock reads
constexpr uint64_t SERVICE_STATUSUS = 100000;  // at least this long between two notes' STATUS=
constexpr size_t SERVICE_STATUSMAX = 200;      // characters of a note's STATUS= kept

// Takes the service manager's variables out of the environment (SPAWN'd
// commands never see them) and opens the socket they name. Call before
// anything can run a command.
void servicetake(void);

// The script is loaded and the loop about to start: READY=1 with a status
// line naming the script and its threads; the watchdog starts. STOPPING=1
// is sent at every stop from here on.
void serviceready(const char *script, int32_t threads);

void servicetick(void);

// 1 while the watchdog is kept.
bool servicewatchdog(void);

// 1 when the run was started by a service manager ($NOTIFY_SOCKET named a
// socket that opened): a restart must not lose the last run's files.
bool servicemanaged(void);

// Forgets everything (tests).
void servicereset(void);

#endif
