// The state a running program publishes for monitors: one region of
// shared memory, named by the user and the process id. The program writes
// it without locks or system calls: seq is odd while a copy is being made,
// so a reader that sees it odd, or changed across its read, reads again.
// Monitors write only the force bytes, their heartbeat and the command
// ring (keys to type, flag bits to set). The program never reads anything
// else back, and takes each command as a value it checks: whoever can
// write the region (its user, or its group when the run names one) cannot
// steer the program's stores. A reader, for the same reason, checks
// everything it copies before it uses any of it.
#ifndef QUON_PUBLISH_REGION_H
#define QUON_PUBLISH_REGION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/tables.h"

constexpr uint32_t REGION_MAGIC = 0x4e4f5551;  // "QUON"
constexpr uint32_t REGION_VERSION = 4;
constexpr int REGION_NAME = 32;   // bytes of a thread's name kept
constexpr int REGION_TEXT = 80;   // bytes of a SPAWN/NOTATE/KILL text kept
constexpr int REGION_COMMANDS = 64;  // slots of the command ring
constexpr int REGION_NOTES = 64;     // the last notes printed, kept for readers

struct RegionPort {
  uint8_t out;      // the data byte last written
  uint8_t in;       // the input byte as the threads saw it last
  uint8_t status;   // raw status register of the last read
  uint8_t control;  // raw control register of the last read
  uint8_t used;     // 1 when the script uses the port
  uint8_t pins;     // the calibrated input the lines show, unforced
  uint8_t pinned;   // 1 once pins holds a sample
  uint8_t read;     // 1 once a thread has read the port (in holds its byte)
};

struct RegionThread {
  char name[REGION_NAME];
  int32_t at;      // token index (-1: no statements)
  uint32_t timer;  // DELAY deadline in clock ms; 0 none
  uint32_t loops;  // times the thread went round its separator
  uint32_t pad;
};

// A command of a monitor's. A monitor takes slot number k by counting
// commandclaim up (k is the value before), waits until k < commandtaken +
// REGION_COMMANDS, fills command[k % REGION_COMMANDS] and then stores
// seq = k + 1 (release). The program takes its commands in slot-number
// order, one key a pass, and counts commandtaken up for each.
constexpr uint8_t COMMAND_KEY = 1;   // arg: the key's character, as typed at a terminal
constexpr uint8_t COMMAND_FLAG = 2;  // arg: a flag bank; pattern: what OUTPUT would apply
struct RegionCommand {
  uint32_t seq;      // the slot number + 1 once the command is whole
  uint8_t kind;      // COMMAND_*; anything else is taken and ignored
  uint8_t arg;
  uint16_t pattern;  // mask in 15-8, value in 7-0
};

// A note as the run printed it, cut at REGION_TEXT - 1 bytes. Note number
// k (from 0) is kept in notes[k % REGION_NOTES] until note k + REGION_NOTES
// replaces it; seq is 0 while the program writes the slot and k + 1 once
// it is whole, so a reader that sees k + 1 before and after its copy has
// note k.
struct RegionNote {
  uint32_t seq;
  char text[REGION_TEXT];
};

struct RegionToken {
  uint32_t token;
  int32_t line;
};

struct RegionHeader {
  uint32_t magic;
  uint32_t version;
  int32_t pid;
  uint32_t size;        // bytes of the whole region
  uint32_t seq;         // odd while the program copies
  uint8_t ended;        // the program is on its way out
  uint8_t lastkey;      // the key of the last pass that had one
  uint8_t realtime;     // 1 in the real-time mode
  uint8_t pad;
  uint64_t passes;      // passes so far
  uint32_t clockms;     // the program's clock
  uint32_t passrate;    // passes in the last second
  uint32_t longestus;   // the longest sampled pass in the last second, us
  uint32_t sampled;     // 1 while pass times are being sampled
  RegionPort port[LOGICAL_PORTS];
  // Written by monitors.
  uint8_t forcemask[LOGICAL_PORTS];   // forced input bits
  uint8_t forcevalue[LOGICAL_PORTS];  // their values
  uint32_t heartbeat;                // a monitor counts it up while attached
  // The tables, at these byte offsets.
  int32_t threadcount, tokencount, stringcount;
  uint32_t threadsat, tokensat, stringsat;
  // The real-time mode's timing so far (all 0 in a plain run).
  uint32_t marginus;     // the margin the loop wakes before a deadline, learned
  uint32_t worstlateus;  // the latest a wake-up came after its deadline
  uint32_t lateover100;  // wake-ups more than 100 us after their deadline
  uint32_t budgetshort;  // 1 once the processor budget could not cover the margin
  // The flag banks: bit P of flagbanks for logical port P, and the bits of
  // each as last written (indexed by port number; 0 for ports no bank).
  uint16_t flagbanks;
  uint8_t flags[PORT_NUMBERS];
  // Notes printed so far; the last REGION_NOTES of them at notesat.
  uint32_t notes;
  uint32_t notesat;
  // The command ring (see RegionCommand): claims are monitors', taken the
  // program's.
  uint32_t commandclaim;
  uint32_t commandtaken;
  RegionCommand command[REGION_COMMANDS];
};

// The tables of a header as its offsets place them: only for a header
// whose offsets have been checked against the region's size.
inline RegionThread *regionthreads(RegionHeader *h) {
  return reinterpret_cast<RegionThread *>(reinterpret_cast<char *>(h) + h->threadsat);
}
inline RegionToken *regiontokens(RegionHeader *h) {
  return reinterpret_cast<RegionToken *>(reinterpret_cast<char *>(h) + h->tokensat);
}
inline char *regionstring(RegionHeader *h, int32_t i) {
  return reinterpret_cast<char *>(h) + h->stringsat + static_cast<size_t>(i) * REGION_TEXT;
}

inline RegionNote *regionnotes(RegionHeader *h) {
  return reinterpret_cast<RegionNote *>(reinterpret_cast<char *>(h) + h->notesat);
}

// The region's path for a user and a process. When that name is taken
// (planted by someone else), the program adds "-" and a random suffix of
// its own: monitors find it by the same beginning.
inline std::string regionpath(unsigned uid, int pid) {
  return std::string("/dev/shm/quon-") + std::to_string(uid) + "-" + std::to_string(pid);
}

// What the names of user uid's regions begin with, in their folder.
inline std::string regionprefix(unsigned uid) { return "quon-" + std::to_string(uid) + "-"; }

#endif
