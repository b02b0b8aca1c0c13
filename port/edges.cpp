#include "port/edges.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/fatal.h"
#include "core/watch.h"
#include "platform/clock.h"

const EdgeSource GPIO_EDGES = {gpioedges, gpioread};
bool edgeson = false;

namespace {

// One port's edges taken from the kernel and not yet applied, oldest at
// head.
struct EdgePort {
  bool follow = false;
  uint8_t byte = 0;        // the input after the last applied edge
  uint32_t seqno = 0;      // the kernel's number of the last edge taken
  bool resync = false;     // edges were lost: read the lines once the queue is empty
  GpioEdge queue[EDGE_QUEUE];
  int32_t head = 0, count = 0;
};

struct EdgeState {
  EdgeSource source{nullptr, nullptr};
  EdgePort port[LOGICAL_PORTS];
  uint64_t lost = 0;
  bool told = false;  // the first loss was told
};
EdgeState es;

// The first loss of the run, on standard error; every loss for the trace.
void lose(int32_t n, uint32_t dropped) {
  es.lost += dropped;
  watchlost(n, dropped);
  if (es.told) return;
  es.told = true;
  fprintf(stderr,
          "GPIO: %lu edges of logical port %ld were lost: the kernel's queue was full before the "
          "loop read it (a WAIT may have missed a pulse; told once a run)\n",
          static_cast<unsigned long>(dropped), static_cast<long>(n));
}

[[gnu::cold]] void refused(int32_t n) {
  fatal("Unable to read the GPIO lines of logical port %ld! (%s)\n", static_cast<long>(n),
        strerror(errno));
}

// Takes what the kernel has of port n while its queue is empty, checking
// the kernel's numbers for a gap.
void refill(int32_t n) {
  EdgePort &p = es.port[n];
  if (p.count != 0) return;
  int32_t got = es.source.take(n, p.queue, EDGE_QUEUE);
  if (got < 0) refused(n);
  p.head = 0;
  p.count = got;
  for (int32_t i = 0; i < got; ++i) {
    uint32_t seqno = p.queue[i].seqno;
    // Numbered from 1 in each request, in steps of 1 (modulo 2^32).
    uint32_t dropped = seqno - p.seqno - 1;
    if (dropped != 0 && dropped < 0x80000000u) {
      lose(n, dropped);
      p.resync = true;
    }
    p.seqno = seqno;
  }
  if (got == 0 && p.resync) {
    // The edges lost may have left any bit other than the queue says.
    int32_t value = es.source.read(n);
    if (value < 0) refused(n);
    p.byte = static_cast<uint8_t>(value);
    p.resync = false;
  }
}

}  // namespace

int32_t edgesstart(unsigned ports, const EdgeSource &source) {
  edgesreset();
  es.source = source;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (((ports >> n) & 1) == 0) continue;
    int32_t value = source.read(n);
    if (value < 0) return -1;
    es.port[n].follow = true;
    es.port[n].byte = static_cast<uint8_t>(value);
  }
  edgeson = true;
  return 0;
}

bool edgesfollow(int32_t n) { return es.port[n].follow; }

uint8_t edgebyte(int32_t n) { return es.port[n].byte; }

int32_t edgesnext(void) {
  // The stamp of an edge belongs to the pass that sees it alone.
  int32_t oldest = -1;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    const EdgePort &p = es.port[n];
    if (!p.follow) continue;
    watchedge(n, 0);
    refill(n);
    if (p.count == 0) continue;
    if (oldest < 0 || p.queue[p.head].ns < es.port[oldest].queue[es.port[oldest].head].ns) oldest = n;
  }
  if (oldest < 0) return 0;
  EdgePort &p = es.port[oldest];
  const GpioEdge &e = p.queue[p.head];
  uint8_t bit = static_cast<uint8_t>(1u << e.bit);
  p.byte = static_cast<uint8_t>(e.rising ? p.byte | bit : p.byte & ~bit);
  watchedge(oldest, clockofmonotonic(e.ns));
  p.head = (p.head + 1) % EDGE_QUEUE;
  --p.count;
  return 1;
}

int32_t edgesfds(int *fds) {
  int32_t count = 0;
  for (int32_t n = 0; n < LOGICAL_PORTS; ++n) {
    if (!es.port[n].follow) continue;
    int fd = gpioeventfd(n);
    if (fd >= 0) fds[count++] = fd;
  }
  return count;
}

uint64_t edgeslost(void) { return es.lost; }

void edgesreset(void) {
  es = EdgeState{};
  edgeson = false;
}
