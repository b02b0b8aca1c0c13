// GPIO lines as logical ports: the provider behind a port given as
// CHIP:out=...:in=... (port/linemap.h reads that text into a LineMap).
// quon's is gpio_linux.cpp, over the kernel's GPIO character device
// (version 2 ioctls, no library); quon-sim's (sim/gpio_none.cpp) has no
// lines and refuses every map.
//
// A port's lines are requested as one set, outputs and inputs together,
// so one input is one ioctl and one output is one ioctl.
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
// "quon"; inputs and outputs as the maps say, outputs at 0. Returns 0, or
// -1 with *error set (a line held elsewhere: by whom), nothing held then.
int32_t gpiorequest(std::string *error);

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
