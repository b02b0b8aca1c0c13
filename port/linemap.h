// A logical port on GPIO lines: which chip, which line drives each data
// bit and which line feeds each input bit, as --port= and --port1= give
// them:
//
//   CHIP:out=LINE,LINE,...:in=LINE,LINE,...
//
// CHIP is a device name (gpiochip0), a path (/dev/gpiochip0) or a chip's
// label. The lines of a side are bits 0, 1, 2 ... in the order written, at
// most 8; "-" leaves a bit without a line. A LINE is an offset on the chip
// (17) or a line's name (GPIO17), followed by any of /active-low, and on
// input lines /pull-up or /pull-down. Either side may be left out, not both.
//
// The bit <-> line conversions are here too: the provider requests the
// lines of a port as one set, and these turn a port byte into the set's
// values and back.
#ifndef QUON_PORT_LINEMAP_H
#define QUON_PORT_LINEMAP_H

#include <array>
#include <cstdint>
#include <string>

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

// 1 when an option's value names GPIO lines rather than a parallel port
// (it has a colon, or names a gpiochip without one, which parselinemap
// then refuses with the form to write).
bool isgpiovalue(const char *value);

// Reads text into *map. Returns 0, or -1 with *error saying what is wrong
// (one line, no newline). Names are not looked up here: the provider
// finds them on the chip, and refuses a line given twice by different
// words (a name and its offset).
int parselinemap(const char *text, LineMap *map, std::string *error);

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
uint64_t linemask(const uint8_t side[LINES_PER_SIDE]);

#endif
