#include "publish/publish.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/token.h"
#include "core/tables.h"
#include "core/watch.h"
#include "platform/clock.h"
#include "platform/lastwords.h"
#include "platform/sharedmem.h"
#include "port/port.h"
#include "publish/region.h"
#include "realtime/realtime.h"

namespace {

constexpr uint64_t COPYUS = 20000;     // state copied about fifty times a second
constexpr uint64_t SECONDUS = 1000000;
// A monitor fills its slot a few stores after claiming it. The slot next in
// turn that stays claimed but not whole this long belongs to a monitor that
// died (or never meant to fill it): it is taken as empty, so the commands
// claimed after it still come.
constexpr uint64_t STUCKUS = SECONDUS;

// A command taken from the ring, its values checked, waiting for its pass.
struct Taken {
  uint8_t kind, arg;
  uint16_t pattern;
};

struct PortSeen {
  uint8_t out, in, read;  // read: 1 once a thread has read the port
};

// The publishing's whole state; publishreset puts it back.
struct PublishState {
  PortSeen portseen[LOGICAL_PORTS] = {};  // what the ports showed last
  // The forced input bits of each port: mask, then value, in the region (a
  // monitor writes them).
  volatile uint8_t *forcemask = nullptr;
  volatile uint8_t *forcevalue = nullptr;
  int32_t publishcount = PUBLISH_EVERY;  // passes until the next publishtick
  uint8_t publishedkey = 0;              // the key of the last pass that had one
  PortSampler sampler = nullptr;

  // The region and its layout as this program made it. Whoever can write the
  // region can change its header, so nothing here is ever read back from it.
  RegionHeader *region = nullptr;
  size_t regionsize = 0;
  RegionThread *rows = nullptr;  // the thread table in the region
  int32_t rowcount = 0;          // its entries
  unsigned ports = 0;            // the ports the script uses (bit n: port n)
  uint32_t seq = 0;              // the sequence count last stored
  char path[64] = "";            // the region's name, for the signal path
  pid_t owner = 0;

  uint64_t passes = 0;       // passes up to the last tick
  int32_t interval = PUBLISH_EVERY;  // passes between the last two ticks
  uint64_t lastcopy = 0, secondstart = 0, secondpasses = 0;
  uint64_t timingfrom = 0;   // clock at the start of the pass being timed; 0 none
  uint32_t longest = 0;      // longest timed pass in this second, us
  uint32_t heartbeat = 0;    // the monitors' count at the last second
  bool attached = false;     // a monitor counted up in the last second
  bool pretendattached = false;

  std::vector<uint32_t> loops;  // per thread: times round its separator
  RegionNote *notes = nullptr;  // the note ring in the region
  uint32_t notecount = 0;       // notes written so far

  // The commands: the next slot number to take (commandtaken is a copy the
  // monitors read), the slot seen stuck and since when, and the commands
  // taken but not yet given to a pass, in order (given up to queued).
  uint32_t taken = 0;
  bool stuck = false;  // a slot has been seen claimed and not whole
  uint32_t stuckslot = 0;
  uint64_t stucksince = 0;
  Taken queue[REGION_COMMANDS] = {};
  uint32_t given = 0, queued = 0;
  int32_t held = 0;  // queued - given as last told to the seam (0: inbox off)
  bool inbox = false;
};
PublishState pub;

void copystate(uint64_t now) {
  RegionHeader *h = pub.region;
  __atomic_store_n(&h->seq, ++pub.seq, __ATOMIC_RELEASE);  // odd: copying
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  h->passes = pub.passes;
  h->clockms = static_cast<uint32_t>(now / 1000);
  h->lastkey = pub.publishedkey;
  for (int p = 0; p < LOGICAL_PORTS; ++p) {
    // The lines themselves, as an input would read them before any bit is
    // forced: a script that only writes still shows its inputs. The
    // sample prints nothing, traces nothing and reaches no thread.
    // The raw registers are those of that read: the loop's own inputs
    // keep nothing for the region.
    if ((pub.ports >> p) & 1) {
      PortRegisters raw{};
      h->port[p].pins = pub.sampler(p, &raw);
      h->port[p].pinned = 1;
      h->port[p].status = raw.status;
      h->port[p].control = raw.control;
    }
    h->port[p].out = pub.portseen[p].out;
    h->port[p].in = pub.portseen[p].in;
    h->port[p].read = pub.portseen[p].read;
  }
  if (realtimeon) {
    h->marginus = realtimefigures.marginus;
    h->worstlateus = realtimefigures.worstlateus;
    h->lateover100 = realtimefigures.lateover100;
    h->budgetshort = realtimefigures.budgetshort ? 1 : 0;
  }
  for (int32_t t = 0; t < pub.rowcount; ++t) {
    pub.rows[t].at = prog.threadcurrent[t];
    pub.rows[t].timer = prog.threadtimer[t];
    pub.rows[t].loops = pub.loops[static_cast<size_t>(t)];
  }
  unsigned banks = portflagged() & ((1u << PORT_NUMBERS) - 1);
  h->flagbanks = static_cast<uint16_t>(banks);
  for (int n = 0; n < PORT_NUMBERS; ++n) h->flags[n] = ((banks >> n) & 1) != 0 ? flagbits(n) : 0;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  __atomic_store_n(&h->seq, ++pub.seq, __ATOMIC_RELEASE);  // even: whole
}

// The listener, while the region exists. Passes went by: a tick when the
// count is down, and the seam told to come back when the next one is due.
void seepass(int32_t passes) {
  pub.publishcount -= passes;
  if (pub.publishcount <= 0) publishtick();
  watchpassin(pub.publishcount);
}

// The loop slept (the real-time mode): the next pass ticks.
void seeslept(void) { pub.publishcount = 1; }


// The calibrated input as the threads see it (the seam put the forced bits
// in).
void seeinput(int32_t n, uint8_t in) {
  pub.portseen[n].in = in;
  pub.portseen[n].read = 1;
}

void seeoutput(int32_t n, uint8_t byte) { pub.portseen[n].out = byte; }

void seekey(uint8_t key) { pub.publishedkey = key; }

void seeloop(int32_t t, bool killed) {
  if (!killed && t >= 0 && t < pub.rowcount) ++pub.loops[static_cast<size_t>(t)];
}

// Note number k goes to slot k % REGION_NOTES: its seq is 0 while the
// text changes and k + 1 once it is whole; the count follows, so a reader
// that sees it has every note below it whole at least once.
void seenote(const char *text) {
  uint32_t k = pub.notecount;
  RegionNote *slot = &pub.notes[k % REGION_NOTES];
  __atomic_store_n(&slot->seq, 0u, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  size_t length = strnlen(text, REGION_TEXT - 1);
  memcpy(slot->text, text, length);
  memset(slot->text + length, 0, REGION_TEXT - length);
  __atomic_store_n(&slot->seq, k + 1, __ATOMIC_RELEASE);
  pub.notecount = k + 1;
  __atomic_store_n(&pub.region->notes, pub.notecount, __ATOMIC_RELEASE);
}

// The seam asks the inbox only while it holds something.
void tellheld(void) {
  int32_t now = pub.inbox ? static_cast<int32_t>(pub.queued - pub.given) : 0;
  watchkeysheld(now - pub.held);
  pub.held = now;
}

// Flag commands at the head of the queue are applied; a key stops them,
// so a flag typed after a key changes the bits only after the key's pass.
void applyflags(void) {
  while (pub.given != pub.queued) {
    const Taken &c = pub.queue[pub.given % REGION_COMMANDS];
    if (c.kind != COMMAND_FLAG) return;
    flagapply(c.arg, c.pattern);
    ++pub.given;
  }
}

// The listener's key: the next typed from outside, one a pass (asked
// only while the queue holds something).
int givekey(void) {
  applyflags();
  int key = -1;
  if (pub.given != pub.queued) key = pub.queue[pub.given++ % REGION_COMMANDS].arg;
  tellheld();
  return key;
}

// Takes the whole commands of the ring in slot order into the queue, as
// far as it has room. Whatever a slot holds is a value to check: a key of
// 0 (no key at all), a flag for a port that is no bank and any other kind
// are taken and ignored.
void takecommands(uint64_t now) {
  RegionHeader *h = pub.region;
  while (pub.queued - pub.given < static_cast<uint32_t>(REGION_COMMANDS)) {
    uint32_t k = pub.taken;
    RegionCommand *slot = &h->command[k % REGION_COMMANDS];
    if (__atomic_load_n(&slot->seq, __ATOMIC_ACQUIRE) == k + 1) {
      Taken c = {__atomic_load_n(&slot->kind, __ATOMIC_RELAXED), __atomic_load_n(&slot->arg, __ATOMIC_RELAXED),
                 __atomic_load_n(&slot->pattern, __ATOMIC_RELAXED)};
      bool key = c.kind == COMMAND_KEY && c.arg != 0;
      if (key || (c.kind == COMMAND_FLAG && portisflag(c.arg))) pub.queue[pub.queued++ % REGION_COMMANDS] = c;
      pub.stuck = false;
    } else {
      // Claimed (the claims reach past it) but not whole: wait for it, up to
      // STUCKUS from when it was first seen so.
      uint32_t claims = __atomic_load_n(&h->commandclaim, __ATOMIC_RELAXED);
      if (static_cast<int32_t>(claims - k) <= 0) return;
      if (!pub.stuck || pub.stuckslot != k) {
        pub.stuck = true;
        pub.stuckslot = k;
        pub.stucksince = now;
        return;
      }
      if (now - pub.stucksince < STUCKUS) return;
      pub.stuck = false;
    }
    pub.taken = k + 1;
    __atomic_store_n(&h->commandtaken, pub.taken, __ATOMIC_RELEASE);
  }
}

const Watcher listener = {
    seepass,       // pass
    nullptr,       // passend
    seekey,        // key
    seeinput,      // input
    seeoutput,     // output
    nullptr,       // thread
    seenote,       // note
    seeloop,       // loop
    seeslept,      // slept
    nullptr,       // flag: the banks are copied at the tick
    nullptr,       // keyin: the inbox below
};

// The keys typed from outside, a listener of their own so the benchmark
// can weigh the pass with and without it.
const Watcher inbox = {nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr, givekey};

void removeonsignal(void) {
  if (pub.region != nullptr && getpid() == pub.owner) sharedremove(pub.path);
}

}  // namespace

int publishstart(PortSampler sample) {
  pub.sampler = sample;
  int32_t threads = prog.threadcount, tokens = prog.tokencount, strings = prog.stringcount;
  size_t threadsat = sizeof(RegionHeader);
  size_t tokensat = threadsat + sizeof(RegionThread) * static_cast<size_t>(threads);
  size_t stringsat = tokensat + sizeof(RegionToken) * static_cast<size_t>(tokens);
  size_t notesat = stringsat + static_cast<size_t>(REGION_TEXT) * static_cast<size_t>(strings);
  notesat = (notesat + alignof(RegionNote) - 1) / alignof(RegionNote) * alignof(RegionNote);
  pub.regionsize = notesat + sizeof(RegionNote) * REGION_NOTES;
  pub.owner = getpid();
  std::string name = regionpath(static_cast<unsigned>(geteuid()), pub.owner);
  // A region of ours under our own process id was left by an earlier
  // process that had the same id and was killed. Anything else under the
  // name is someone else's: it stays, and the region takes a name of its own.
  if (sharedmine(name.c_str())) sharedremove(name.c_str());
  // Regions of runs of ours that were killed (SIGKILL leaves them) go too.
  sharedsweep(regionprefix(static_cast<unsigned>(geteuid())).c_str());
  // An ending signal between the region's creation and its stop stage
  // would leave the region behind: they are held back across both.
  sigset_t old;
  lastwordshold(&old);
  void *mapped = sharedcreatefree(name.c_str(), pub.regionsize, pub.path, sizeof pub.path);
  if (mapped == nullptr) {
    lastwordsrelease(&old);
    return -1;
  }
  char *base = static_cast<char *>(mapped);
  RegionHeader *h = static_cast<RegionHeader *>(mapped);
  h->version = REGION_VERSION;
  h->pid = pub.owner;
  h->size = static_cast<uint32_t>(pub.regionsize);
  h->threadcount = threads;
  h->tokencount = tokens;
  h->stringcount = strings;
  h->threadsat = static_cast<uint32_t>(threadsat);
  h->tokensat = static_cast<uint32_t>(tokensat);
  h->stringsat = static_cast<uint32_t>(stringsat);
  h->notesat = static_cast<uint32_t>(notesat);
  pub.ports = portsaddressed(prog.tokens, tokens) & ((1u << LOGICAL_PORTS) - 1);
  for (int p = 0; p < LOGICAL_PORTS; ++p) h->port[p].used = (pub.ports >> p) & 1;
  // The banks are known before the script loads: a monitor that attaches
  // before the first copy already knows where it may set bits.
  h->flagbanks = static_cast<uint16_t>(portflagged() & ((1u << PORT_NUMBERS) - 1));
  RegionToken *tok = reinterpret_cast<RegionToken *>(base + tokensat);
  for (int32_t i = 0; i < tokens; ++i) {
    tok[i].token = prog.tokens[i];
    tok[i].line = prog.tokenline != nullptr ? prog.tokenline[i] : 0;
  }
  pub.rows = reinterpret_cast<RegionThread *>(base + threadsat);
  pub.rowcount = threads;
  pub.loops.assign(static_cast<size_t>(threads), 0);
  pub.notes = reinterpret_cast<RegionNote *>(base + notesat);
  for (int32_t t = 0; t < threads; ++t) {
    snprintf(pub.rows[t].name, REGION_NAME, "%s", prog.threadname[t] != nullptr ? prog.threadname[t] : "");
    pub.rows[t].at = prog.threadstart[t];
  }
  for (int32_t i = 0; i < strings; ++i) {
    snprintf(base + stringsat + static_cast<size_t>(i) * REGION_TEXT, REGION_TEXT, "%s", prog.strings[i]);
  }
  // The magic last: a monitor that finds it finds the tables complete.
  __atomic_store_n(&h->magic, REGION_MAGIC, __ATOMIC_RELEASE);
  pub.seq = 0;
  pub.forcemask = h->forcemask;
  pub.forcevalue = h->forcevalue;
  pub.region = h;
  watchadd(&listener);
  watchadd(&inbox);
  pub.inbox = true;
  // The bits a monitor forces replace the lines for the threads, the trace
  // and the monitors alike.
  watchforce(pub.forcemask, pub.forcevalue);
  stopstage(STOP_REGION, publishend, removeonsignal);
  lastwordsrelease(&old);
  return 0;
}

void publishtick(void) {
  pub.passes += static_cast<uint64_t>(pub.interval);
  if (pub.region == nullptr) {
    pub.interval = pub.publishcount = PUBLISH_EVERY;
    return;
  }
  uint64_t now = clockus();
  if (pub.timingfrom != 0) {
    uint64_t pass = now - pub.timingfrom;
    if (pass > pub.longest) pub.longest = pass > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(pass);
    pub.timingfrom = 0;
  }
  if (now - pub.secondstart >= SECONDUS) {
    pub.region->passrate =
        static_cast<uint32_t>((pub.passes - pub.secondpasses) * SECONDUS / (now - pub.secondstart));
    pub.region->longestus = pub.longest;
    pub.region->sampled = pub.attached ? 1 : 0;
    uint32_t beat = __atomic_load_n(&pub.region->heartbeat, __ATOMIC_RELAXED);
    pub.attached = beat != pub.heartbeat || pub.pretendattached;
    pub.heartbeat = beat;
    pub.longest = 0;
    pub.secondstart = now;
    pub.secondpasses = pub.passes;
  }
  if (now - pub.lastcopy >= COPYUS || pub.passes <= static_cast<uint64_t>(PUBLISH_EVERY)) {
    copystate(now);
    pub.lastcopy = now;
  }
  takecommands(now);
  applyflags();
  tellheld();
  // Attached: time the next pass, then wait PUBLISH_SAMPLE passes.
  if (pub.attached && pub.interval != 1) {
    pub.timingfrom = clockus();
    pub.interval = 1;
  } else {
    pub.interval = pub.attached ? PUBLISH_SAMPLE : PUBLISH_EVERY;
  }
  pub.publishcount = pub.interval;
}

void publishrealtime(void) {
  if (pub.region != nullptr) pub.region->realtime = 1;
}

const char *publishpath(void) { return pub.region != nullptr ? pub.path : ""; }

void publishsample(bool on) {
  pub.pretendattached = on;
  pub.attached = on;
}

void publishinbox(bool on) {
  if (pub.region == nullptr) return;
  if (on) {
    watchadd(&inbox);
  } else {
    watchremove(&inbox);
  }
  pub.inbox = on;
  tellheld();
}

void publishend(void) {
  if (pub.region == nullptr || getpid() != pub.owner) return;
  pub.region->ended = 1;
  sharedremove(pub.path);
  shareddetach(pub.region, pub.regionsize);
  pub.region = nullptr;
  pub.rows = nullptr;
  pub.rowcount = 0;
  pub.notes = nullptr;
  watchremove(&listener);
  watchremove(&inbox);
  pub.inbox = false;
  tellheld();
  watchforce(nullptr, nullptr);
  pub.forcemask = pub.forcevalue = nullptr;
}

void publishreset(void) {
  publishend();
  pub = PublishState{};
}
