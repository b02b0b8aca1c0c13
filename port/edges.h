// The inputs of GPIO ports from the kernel's edges. Each port's input byte
// is read once when its lines are requested; from then on every change
// comes as an edge the kernel queued, stamped when it happened. Between
// two passes the oldest edge of all ports is applied, so each pass sees
// the input as it was after one edge: a WAIT for a level the lines held
// for a moment sees it even when the level was gone before the loop
// looked. A gap in the kernel's numbers (its queue was full and dropped
// the oldest) is told once a run on standard error and in the trace, and
// the byte is read afresh once the queue is empty.
#ifndef QUON_PORT_EDGES_H
#define QUON_PORT_EDGES_H

#include <cstdint>

#include "core/tables.h"
#include "platform/gpio.h"

// Where the edges and the lines come from: the GPIO provider, or a test's
// queue. take gives port n's queued edges (as gpioedges), read its input
// byte now (as gpioread).
struct EdgeSource {
  int32_t (*take)(int32_t n, GpioEdge *out, int32_t max);
  int32_t (*read)(int32_t n);
};
extern const EdgeSource GPIO_EDGES;

// Edges kept per port between the kernel's queue and the loop.
constexpr int32_t EDGE_QUEUE = 64;

// The run's loop follows edges and sleeps while nothing else can move a
// thread: GPIO ports, not --spin (ports without input lines, or on a chip
// that gives no edges, take part all the same: a DELAY still sleeps).
extern bool edgeson;

// Follows the edges of the ports in ports (bit n: logical port n; none
// may be), their bytes read from source now. Returns 0, or -1 with errno
// set when a read was refused.
int32_t edgesstart(unsigned ports, const EdgeSource &source);

// Port n's input follows its edges.
bool edgesfollow(int32_t n);

// The input byte of a followed port n as the last applied edge left it.
uint8_t edgebyte(int32_t n);

// Between two passes: what the kernel queued is taken, and the oldest edge
// of any port applied. Returns 1 when one was (the next pass must run to
// see it: no sleep), 0 when none is waiting. A refused read of the edges
// ends the run.
int32_t edgesnext(void);

// The descriptors a sleep waits on (at most LOGICAL_PORTS into fds).
int32_t edgesfds(int *fds);

// Edges the kernel dropped in this run, in all.
uint64_t edgeslost(void);

// Follows nothing, every count back to 0 (tests, a clean run).
void edgesreset(void);

#endif
