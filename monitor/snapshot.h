// The only code of a monitor that touches a mapped region. The region is
// written by the run and may be written by anyone of the user's, and its
// file may be cut short under the mapping: nothing in it is used before it
// has been copied into private memory and checked, and every copy and
// store is guarded, so a region cut short ends the watch, not the monitor.
//
// The layout and the tables the run writes once are checked and copied
// when the monitor adopts the region; each snapshot then copies the header
// and the thread table by that layout, never by the offsets and counts the
// region holds at the time.
#ifndef QUON_MONITOR_SNAPSHOT_H
#define QUON_MONITOR_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "publish/region.h"

// A region larger than this is refused unread: a run of a million threads
// publishes about 40 MiB.
constexpr size_t REGION_LARGEST = size_t(1) << 30;

struct Attached {
  RegionHeader *region = nullptr;  // the mapping; touched only by this file
  size_t size = 0;                 // bytes mapped
  int fd = -1;                     // the region's file, to see it cut short
  int pid = 0;
  bool lost = false;               // cut short under the monitor: the run has gone
  // Checked and copied once.
  int32_t threadcount = 0;
  uint32_t threadsat = 0;
  std::vector<RegionToken> tokens;
  std::vector<std::string> texts;  // each ended within REGION_TEXT bytes
  uint32_t notesat = 0;            // the note ring's offset, checked
};

// Checks the region of process pid mapped at region (size bytes) and keeps
// it, its layout and its tables in a. Returns 0, or -1 with the reason in
// *why: a version, size or process that is not this one's, a count out of
// range, a table outside the region, overlapping another or misaligned, a
// text without its end.
int adopt(void *region, size_t size, int pid, Attached *a, std::string *why);

struct Snapshot {
  RegionHeader head;                  // its own tables' fields unused
  std::vector<RegionThread> threads;  // names are cut at REGION_NAME bytes
};

// A whole copy, retried while the program is copying; false if none came,
// or the region was cut short (a.lost set).
bool snapshot(Attached &a, Snapshot *s);

// Forces the bits of mask of port's input (0 or 1) to value, or releases
// them. Each is one atomic update per byte, so monitors forcing other bits
// at the same time lose none. Nothing happens once a.lost is set.
void force(Attached &a, int port, uint8_t mask, uint8_t value);
void release(Attached &a, int port, uint8_t mask);

// Counts the heartbeat up: the program samples its pass times while it moves.
void heartbeat(Attached &a);

// Commands through the region's ring. Each returns 0 once the command is
// in the ring (the run takes it at one of its next passes), or -1 with the
// reason in *why: the ring stayed full, the run is gone, a bank that is
// none. typekeys places the characters of keys in order, as if typed at
// the run's terminal (the run gives its threads one a pass); setflags
// applies pattern to flag bank bank as an OUTPUT of the script would.
int typekeys(Attached &a, const std::string &keys, std::string *why);
int setflags(Attached &a, int bank, uint16_t pattern, std::string *why);

// The notes printed since note number *next, appended to *out in order;
// *next moves past them. Notes already replaced in the region before they
// were read are counted in *missed (and skipped). False once a.lost is set.
bool readnotes(Attached &a, uint32_t *next, std::vector<std::string> *out, uint32_t *missed);

#endif
