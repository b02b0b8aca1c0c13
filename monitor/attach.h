// A monitor's side of the published region: finding the user's running
// QUON and showing its snapshots (the copies and the forcing are in
// snapshot.h).
#ifndef QUON_MONITOR_ATTACH_H
#define QUON_MONITOR_ATTACH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/snapshot.h"

// Attaches to the QUON of process pid, or (pid 0) to the only one of the
// user that runs. Only regular files of the user's count as regions, and
// those of other users made for a group of the user's (--region-group); one
// whose process is gone is removed on the way, one whose process id now
// belongs to another user's process is passed over. Returns 0, or -1 with
// the reason in *why.
int attach(int pid, Attached *a, std::string *why);

void detach(Attached *a);

// True while the program runs: its process is alive and the snapshot s
// does not say it is ending.
bool running(const Attached &a, const Snapshot &s);

// The snapshot as text, one line an entry, every character printable.
// The head: the run's figures, each used port's lamps (the pins, and what
// the threads last read where it differs) and the thread table's heading;
// then a row per flag bank; selected: the input bit or flag bit under the
// cursor (port or bank * 8 + bit), -1 none.
std::vector<std::string> renderhead(const Attached &a, const Snapshot &s, int selected);
// Rows first to first + count - 1 of the thread table, as far as there are
// threads: only these are formatted.
std::vector<std::string> renderthreads(const Attached &a, const Snapshot &s, size_t first, size_t count);
// The head and every thread's row.
std::vector<std::string> render(const Attached &a, const Snapshot &s, int selected);

// One thread's state as its row shows it ("WAIT 0 1.......", "DELAY 1.5 s
// left", "running", "idle") and the script line it is at (0: none), for
// readers that publish the table in a form of their own.
std::string threadstate(const Attached &a, const Snapshot &s, const RegionThread &t);
int32_t threadline(const Attached &a, const RegionThread &t);

// The input bits that stay forced, as "port 0 bits 1......."; "" none.
std::string forcedbits(const Snapshot &s);

#endif
