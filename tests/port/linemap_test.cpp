// GPIO line maps: what --port= accepts and refuses, and how a port byte
// becomes the values of the line set and back.
#include <gtest/gtest.h>

#include <string>

#include "port/linemap.h"

namespace {

// A map as text: the chip, then per line "out"/"in" bit:offset-or-name and
// its marks, in the order of the line set.
std::string describe(const LineMap &map) {
  std::string text = map.chip;
  for (int32_t side = 0; side < 2; ++side) {
    const uint8_t *bits = side == 0 ? map.outline : map.inline_;
    for (int32_t bit = 0; bit < LINES_PER_SIDE; ++bit) {
      if (bits[bit] == NO_LINE) continue;
      const LineSpec &l = map.lines[bits[bit]];
      text += std::string(side == 0 ? " out" : " in") + std::to_string(bit) + "=#" +
              std::to_string(bits[bit]) + ":" + (l.name.empty() ? std::to_string(l.offset) : l.name);
      if (l.activelow) text += "/al";
      if (l.bias == LineBias::PULL_UP) text += "/up";
      if (l.bias == LineBias::PULL_DOWN) text += "/down";
      if (l.debounceus != 0) text += "/db" + std::to_string(l.debounceus);
    }
  }
  return text + " outputs=" + std::to_string(map.outputs);
}

TEST(LineMapTest, AcceptedMaps) {
  struct Case {
    const char *text, *expected;
  } cases[] = {
      {"gpiochip0:out=17,18:in=5", "gpiochip0 out0=#0:17 out1=#1:18 in0=#2:5 outputs=2"},
      // Outputs come first in the set whichever side is written first.
      {"/dev/gpiochip1:in=GPIO5/pull-up:out=3/active-low",
       "/dev/gpiochip1 out0=#0:3/al in0=#1:GPIO5/up outputs=1"},
      {"my board:in=-,-,7/active-low/pull-down", "my board in2=#0:7/al/down outputs=0"},
      {"c:out=0,1,2,3,4,5,6,7", "c out0=#0:0 out1=#1:1 out2=#2:2 out3=#3:3 out4=#4:4 "
                                "out5=#5:5 out6=#6:6 out7=#7:7 outputs=8"},
      // The same offset on both sides is for the chip to refuse, not the
      // text: only one word written twice is caught here.
      {"c:out=4:in=GPIO4", "c out0=#0:4 in0=#1:GPIO4 outputs=1"},
      {"c:out=0000000017,2147483646", "c out0=#0:17 out1=#1:2147483646 outputs=2"},
      {"c:in=5/debounce=5ms/pull-up,6/debounce=200us,7/debounce=1000ms",
       "c in0=#0:5/up/db5000 in1=#1:6/db200 in2=#2:7/db1000000 outputs=0"},
  };
  for (const Case &c : cases) {
    LineMap map;
    std::string error;
    ASSERT_EQ(parselinemap(c.text, &map, &error), 0) << c.text << ": " << error;
    EXPECT_EQ(describe(map), c.expected) << c.text;
  }
}

TEST(LineMapTest, RefusedMaps) {
  struct Case {
    const char *text, *error;
  } cases[] = {
      {"gpiochip0", "names no lines"},
      {":out=1", "no chip before the first colon"},
      {"c:out=1,2:out=3", "out= given twice"},
      {"c:up=1", "\"up=1\" is neither out= nor in="},
      {"c:out=", "out= lists no lines"},
      {"c:in=0,1,2,3,4,5,6,7,8", "in= lists 9 lines; a port has 8 bits a side"},
      {"c:out=3,4,3", "line 3 is named twice"},
      {"c:out=GPIO3:in=GPIO3/pull-up", "line GPIO3 is named twice"},
      // A number is an offset, however many digits: never looked up as a name.
      {"c:out=4294967296", "line 4294967296: no chip has an offset that large"},
      {"c:in=1,99999999999999999999", "line 99999999999999999999: no chip has an offset that large"},
      {"c:out=-,-:in=-", "every place is \"-\": the map has no lines"},
      {"c:out=-", "every place is \"-\": the map has no lines"},
      {"c:out=3/pull-up", "3/pull-up: a bias is for input lines"},
      {"c:in=3/pull-up/pull-down", "3: one bias a line"},
      {"c:in=3/low", "3/low: the marks are /active-low, /pull-up, /pull-down and /debounce=TIME"},
      {"c:out=3/debounce=5ms", "3/debounce=5ms: a debounce is for input lines"},
      {"c:in=3/debounce=5ms/debounce=1ms", "3: one debounce a line"},
      {"c:in=3/debounce=5", "3/debounce=5: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=3/debounce=0us", "3/debounce=0us: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=3/debounce=1001ms", "3/debounce=1001ms: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=3/debounce=99999999ms", "3/debounce=99999999ms: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=3/debounce=ms", "3/debounce=ms: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=3/debounce=2s", "3/debounce=2s: a time such as 5ms or 200us, at most 1000ms"},
      {"c:in=1,,2", "a line with no offset or name"},
  };
  for (const Case &c : cases) {
    LineMap map;
    std::string error;
    EXPECT_EQ(parselinemap(c.text, &map, &error), -1) << c.text;
    EXPECT_EQ(error, std::string(c.error) + " (the form is CHIP:out=LINE,...:in=LINE,...)") << c.text;
  }
}

TEST(LineMapTest, GpioValuesAreToldFromParallelPorts) {
  for (const char *v : {"gpiochip0", "/dev/gpiochip3", "board:out=1"}) EXPECT_TRUE(isgpiovalue(v)) << v;
  for (const char *v : {"parport0", "0x378", "888"}) EXPECT_FALSE(isgpiovalue(v)) << v;
}

// Bits reach the lines the map gives them, gaps and all, and come back as
// the same bits; bits without a line write nothing and read 0.
TEST(LineMapTest, BitsToLinesAndBack) {
  LineMap map;
  std::string error;
  ASSERT_EQ(parselinemap("c:in=10,-,11,12:out=-,1,2,-,-,-,-,3", &map, &error), 0) << error;
  // Outputs are set entries 0-2 (bits 1, 2, 7), inputs 3-5 (bits 0, 2, 3).
  EXPECT_EQ(linemask(map.outline), 0x07u);
  EXPECT_EQ(linemask(map.inline_), 0x38u);
  struct Case {
    uint8_t byte;
    uint64_t values;
  } outputs[] = {{0x00, 0x0}, {0xFF, 0x7}, {0x02, 0x1}, {0x04, 0x2}, {0x80, 0x4}, {0x79, 0x0}};
  for (const Case &c : outputs) EXPECT_EQ(bitstolines(map.outline, c.byte), c.values) << int(c.byte);
  Case inputs[] = {{0x00, 0x0}, {0x0D, 0x38}, {0x01, 0x08}, {0x04, 0x10}, {0x08, 0x20},
                   {0x00, 0x07}, {0x0D, ~uint64_t{0}}};
  for (const Case &c : inputs) EXPECT_EQ(linestobits(map.inline_, c.values), c.byte) << c.values;
}

}  // namespace
