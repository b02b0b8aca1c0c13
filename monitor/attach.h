// A monitor's side of the published region: finding the user's running
// QUON, reading a whole snapshot, forcing input bits.
#ifndef QUON_MONITOR_ATTACH_H
#define QUON_MONITOR_ATTACH_H

#include <cstddef>
#include <string>
#include <vector>

#include "publish/region.h"

struct Attached {
  RegionHeader *region = nullptr;
  size_t size = 0;
  int pid = 0;
};

// Attaches to the QUON of process pid, or (pid 0) to the only one of the
// user that runs. Regions left by dead processes are removed on the way.
// Returns 0, or -1 with the reason in *why.
int attach(int pid, Attached *a, std::string *why);

void detach(Attached *a);

// True while the program runs (its process is alive and not ending).
bool running(const Attached &a);

struct Snapshot {
  RegionHeader head;
  std::vector<RegionThread> threads;
};

// A whole copy, retried while the program is copying; false if none came.
bool snapshot(const Attached &a, Snapshot *s);

// The snapshot as text, one line an entry: ports with their lamps and pins,
// threads with their state and statement, the pass rate. selected: the
// input bit under the cursor (port * 8 + bit), -1 none.
std::vector<std::string> render(const Attached &a, const Snapshot &s, int selected);

// Forces the bits of mask of port's input to value, or releases them.
void force(const Attached &a, int port, uint8_t mask, uint8_t value);
void release(const Attached &a, int port, uint8_t mask);

#endif
