// GPIO lines as logical ports: the provider behind a port given as
// CHIP:out=...:in=... (port/linemap.h reads that text into a LineMap).
// quon's is gpio_linux.cpp, over the kernel's GPIO character device
// (version 2 ioctls, no library); quon-sim's (sim/gpio_none.cpp) has no
// lines and refuses every map.
//
// A port's lines are requested as one set, outputs and inputs together,
// so one input is one ioctl and one output is one ioctl. Asked to, the
// kernel also watches the inputs for edges on both sides and queues each
// one, stamped at the interrupt: the loop can then sleep on the set's
// descriptor and learn of every change without looking at the lines.
#ifndef QUON_PLATFORM_GPIO_H
#define QUON_PLATFORM_GPIO_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A logical port's lines: which chip, which line drives each data bit and
// which line feeds each input bit.
constexpr int32_t LINES_PER_SIDE = 8;
constexpr uint8_t NO_LINE = 0xFF;  // a bit no line is wired to

enum class LineBias : uint8_t { AS_IS, PULL_UP, PULL_DOWN };

struct LineSpec {
  std::string name;      // the line's name; empty: given by offset
  int32_t offset = -1;   // the offset as written, or once the name is found
  bool activelow = false;
  LineBias bias = LineBias::AS_IS;
  uint32_t debounceus = 0;  // input lines: the kernel's debounce period; 0 none
};

struct LineMap {
  std::string chip;
  // Per bit, the index into lines[] of its line, or NO_LINE.
  uint8_t outline[LINES_PER_SIDE] = {NO_LINE, NO_LINE, NO_LINE, NO_LINE,
                                     NO_LINE, NO_LINE, NO_LINE, NO_LINE};
  uint8_t inline_[LINES_PER_SIDE] = {NO_LINE, NO_LINE, NO_LINE, NO_LINE,
                                     NO_LINE, NO_LINE, NO_LINE, NO_LINE};
  std::array<LineSpec, size_t{2} * LINES_PER_SIDE> lines;  // every line, outputs first
  int32_t count = 0;     // lines used in lines[]
  int32_t outputs = 0;   // of which outputs: lines[0..outputs-1]
};

// A port's lines are one set: these turn a port byte into the set's
// values and back.
//
// The values of a port's line set for port byte b: bit k of the result is
// line k's value (outline as in LineMap).
inline uint64_t bitstolines(const uint8_t outline[LINES_PER_SIDE], uint8_t b) {
  uint64_t values = 0;
  for (int32_t bit = 0; bit < LINES_PER_SIDE; ++bit) {
    if (outline[bit] != NO_LINE && ((b >> bit) & 1) != 0) values |= uint64_t{1} << outline[bit];
  }
  return values;
}

// The input byte for the line set's values (inline_ as in LineMap); a bit
// without a line reads 0.
inline uint8_t linestobits(const uint8_t inline_[LINES_PER_SIDE], uint64_t values) {
  uint8_t b = 0;
  for (int32_t bit = 0; bit < LINES_PER_SIDE; ++bit) {
    if (inline_[bit] != NO_LINE && ((values >> inline_[bit]) & 1) != 0) {
      b = static_cast<uint8_t>(b | (1u << bit));
    }
  }
  return b;
}

// The mask of line-set values that side's bits reach.
inline uint64_t linemask(const uint8_t side[LINES_PER_SIDE]) { return bitstolines(side, 0xFF); }

// Opens map's chip for logical port n and finds its lines (names looked
// up, offsets checked against the chip), requesting nothing. Returns 0,
// or -1 with *error set (one line, no newline).
int32_t gpioprepare(int32_t n, const LineMap &map, std::string *error);

// Requests the lines of every prepared port, exclusively, with consumer
// "quon"; inputs and outputs as the maps say, outputs at 0, each input
// debounced as its map says. With edges the inputs also report their
// edges (gpioedges); a chip that cannot (its lines have no interrupt)
// gives its port's lines without them, and *note then says so. Returns 0,
// or -1 with *error set (a line held elsewhere: by whom; a debounce the
// kernel or driver refused), nothing held then.
int32_t gpiorequest(std::string *error, bool edges = false, std::string *note = nullptr);

// One edge of an input line, as the kernel queued it.
struct GpioEdge {
  uint64_t ns = 0;     // when it happened: CLOCK_MONOTONIC, nanoseconds
  uint32_t seqno = 0;  // its number among all edges of the port's request (from 1)
  uint8_t bit = 0;     // the input bit the line feeds
  bool rising = false; // the bit became 1 (active-low applied by the kernel)
};

// Port n's lines report edges (requested with edges, and granted).
bool gpiogivesedges(int32_t n);

// The edges of port n queued since the last call, oldest first, at most
// max into out, without waiting. Returns how many (0: none), or -1 with
// errno set when the kernel refused.
int32_t gpioedges(int32_t n, GpioEdge *out, int32_t max);

// The descriptor that becomes readable when port n has edges queued, for
// a wait in the kernel (platform/keys.h); -1 when it reports none.
int gpioeventfd(int32_t n);

// The input byte of port n (one ioctl; active-low lines already inverted
// by the kernel; 0 on a port with no input lines), or -1 with errno set
// when the kernel refused (an adapter unplugged).
int32_t gpioread(int32_t n);

// Sets port n's output lines to byte b (one ioctl; nothing on a port with
// no output lines). Returns 0, or -1 with errno set. Async-signal-safe.
int32_t gpiowrite(int32_t n, uint8_t b);

// A GPIO chip as --ports lists it.
struct GpioLineInfo {
  std::string name;      // "" unnamed
  std::string consumer;  // who holds it; "" free
  bool used = false;
  uint32_t debounceus = 0;  // the kernel debounces it this long; 0 not
};
struct GpioChipInfo {
  std::string device;  // gpiochip0
  std::string label;
  std::vector<GpioLineInfo> lines;
  std::string problem;  // why the chip could not be read; "" read
};

// Every GPIO chip of the system, in device order.
std::vector<GpioChipInfo> gpiochips(void);

// Forgets every prepared port, releasing what was requested (tests).
void gpioreset(void);

#endif
