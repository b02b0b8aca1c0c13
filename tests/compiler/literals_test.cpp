// Pattern words and time codes: the two 16-bit literals that travel in a
// token's Patt field.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "compiler/literals.h"

namespace {

struct PatternCase {
  const char *text;
  uint16_t pattern;
};

TEST(TextToPattern, RightAlignsPlacesOnBitZero) {
  const PatternCase cases[] = {
      {"1", 0x0101},
      {"0", 0x0100},
      {"11", 0x0303},
      {"10", 0x0302},
      {"10000000", 0xFF80},
      {"00000000", 0xFF00},
      {"11111111", 0xFFFF},
      {"1.0.", 0x0A08},
      {"........", 0x0000},
      {"xx1", 0x0101},          // leading don't-cares change nothing
      {"1xx", 0x0404},
      {"", 0x0000},
      // Only the first eight characters count.
      {"123456789", 0x8080},
      {"111111110", 0xFFFF},
      {"000000001", 0xFF00},
      // NUL, TAB, LF and CR end the word; what follows is never read.
      {"\t11", 0x0000},          // no bit governed: WAIT holds at once
      {"11\tcomment", 0x0303},
      {"11\n", 0x0303},
      {"1\r0", 0x0101},
      {"10\n1111", 0x0302},
      // Non-ASCII bytes are don't-care places like any other character.
      {"\xff\xfe" "1", 0x0101},
      {"1\xe9", 0x0202},
  };
  for (const PatternCase &c : cases) {
    EXPECT_EQ(texttopattern(c.text), c.pattern) << "text \"" << c.text << "\"";
  }
}

TEST(PatternToText, ShowsEveryBitAsOneZeroOrDot) {
  const PatternCase cases[] = {
      {"......11", 0x0303},
      {".......1", 0x0101},
      {".......0", 0x0100},
      {"10000000", 0xFF80},
      {"....1.0.", 0x0A08},
      {"........", 0x0000},
      {"11111111", 0xFFFF},
      {"00000000", 0xFF00},
      {"........", 0x00FF},  // value bits without mask bits are not shown
      {"1.......", 0x8080},
  };
  for (const PatternCase &c : cases) {
    EXPECT_STREQ(patterntotext(c.pattern), c.text)
        << "pattern 0x" << std::hex << c.pattern;
  }
}

TEST(PatternToText, SharesOneBufferOverwrittenByEachCall) {
  const char *first = patterntotext(0x0303);
  const char *second = patterntotext(0xFF00);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(second, "00000000");
}

// Every pattern a text can make (no value bit without its mask bit) comes
// back unchanged from its eight-character text.
TEST(PatternToText, RoundTripsEveryPatternMadeFromText) {
  int checked = 0;
  for (uint32_t p = 0; p <= 0xFFFF; ++p) {
    uint16_t mask = static_cast<uint16_t>(p >> 8);
    uint16_t value = static_cast<uint16_t>(p & 0xFF);
    if ((value & ~mask) != 0) continue;
    std::string text = patterntotext(static_cast<uint16_t>(p));
    ASSERT_EQ(text.size(), 8u);
    ASSERT_EQ(texttopattern(text.c_str()), p) << "text " << text;
    ++checked;
  }
  EXPECT_EQ(checked, 6561);  // three states for each of eight places
}

struct TimeCase {
  float seconds;
  uint16_t code;
};

// PORT[:PATTERN] as the command line, the monitor and (in two words) the
// testbench give it: a port 0 or 1, then one colon and a strict pattern.
TEST(PortPattern, ReadsThePortThenTheStrictPattern) {
  struct Case {
    const char *text;
    PortPatternRead read;
    int32_t port;
    uint16_t pattern;
  } cases[] = {
      {"0:1", PORTPATTERN_READ, 0, 0x0101},
      {"1:10......", PORTPATTERN_READ, 1, 0xC080},
      {"1:10.......", PORTPATTERN_BADPATTERN, 1, 0xBEEF},
      {"1:1.0", PORTPATTERN_READ, 1, 0x0504},
      {"1", PORTPATTERN_PORTONLY, 1, 0xBEEF},
      {"0:", PORTPATTERN_BADPATTERN, 0, 0xBEEF},
      {"0:1:1", PORTPATTERN_BADPATTERN, 0, 0xBEEF},
      {"0:x1", PORTPATTERN_BADPATTERN, 0, 0xBEEF},
      {"2:1", PORTPATTERN_BADPORT, -1, 0xBEEF},
      {"01:1", PORTPATTERN_BADPORT, -1, 0xBEEF},
      {":1", PORTPATTERN_BADPORT, -1, 0xBEEF},
      {"", PORTPATTERN_BADPORT, -1, 0xBEEF},
  };
  for (const Case &c : cases) {
    int32_t port = -1;
    uint16_t pattern = 0xBEEF;
    EXPECT_EQ(readportpattern(c.text, &port, &pattern), c.read) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
    EXPECT_EQ(pattern, c.pattern) << c.text << ": a pattern is set only when read";
  }
  // A flag bank's number where the reader allows it, and no further.
  int32_t port = -1;
  uint16_t pattern = 0;
  EXPECT_EQ(readportpattern("9:1.......", &port, &pattern, 9), PORTPATTERN_READ);
  EXPECT_EQ(port, 9);
  EXPECT_EQ(readportpattern("5:1", &port, &pattern, 4), PORTPATTERN_BADPORT);
  EXPECT_EQ(readportpattern("10:1", &port, &pattern, 9), PORTPATTERN_BADPORT);
  EXPECT_EQ(portliteral("1 ", 1), 1) << "only the given length counts";
  EXPECT_EQ(portliteral("1 ", 2), -1);
}

TEST(SecondsToTimeCode, EncodesWorkedValuesAndEdges) {
  const float inf = std::numeric_limits<float>::infinity();
  const TimeCase cases[] = {
      // Worked values.
      {0.5f, 0xC1F4},
      {1.0f, 0xC3E8},
      {2.5f, 0xC9C4},
      {20.0f, 0x87D0},
      {200.0f, 0x47D0},
      {2000.0f, 0x07D0},
      {16383.0f, 0x3FFF},
      {0.0005f, 0x4000},
      // Truncation: the decoded time never exceeds the written one.
      {0.0015f, 0xC001},
      {123.456f, 0xB039},
      // The float of 0.7 lies just below 0.7 and still gives 700.
      {0.7f, 0xC2BC},
      // Boundaries of the exponent ranges.
      {16.3835f, 0xFFFF},
      {1638.35f, 0x7FFF},
      {163.835f, 0x4666},
      {16.384f, 0x8666},
      {1638.4f, 0x0666},
      {0.001f, 0xC001},
      {0.0009f, 0x4000},
      {1e-45f, 0x4000},      // the smallest denormal is still a positive time
      // Special codes.
      {0.0f, 0x0000},
      {-0.0f, 0x0000},
      {-0.5f, 0x8000},
      {-1e-45f, 0x8000},
      {16383.4f, 0xC000},
      {16384.0f, 0xC000},
      {1e30f, 0xC000},
      {inf, 0xC000},
      {-inf, 0x8000},
  };
  for (const TimeCase &c : cases) {
    EXPECT_EQ(secondstotimecode(c.seconds), c.code)
        << "seconds " << c.seconds << " expected 0x" << std::hex << c.code;
  }
}

TEST(SecondsToTimeCode, NanEncodesAsZero) {
  EXPECT_EQ(secondstotimecode(std::numeric_limits<float>::quiet_NaN()),
            TIME_ZERO);
  EXPECT_EQ(secondstotimecode(-std::numeric_limits<float>::quiet_NaN()),
            TIME_ZERO);
}

TEST(TimeCodeToSeconds, DecodesMantissaOverPowerOfTen) {
  const TimeCase cases[] = {
      {0.0f, 0x0000},
      {0.0f, 0x4000},       // too small to wait for
      {-1.0f, 0x8000},      // negative
      {1e38f, 0xC000},      // too large: in effect never
      {0.5f, 0xC1F4},
      {0.7f, 0xC2BC},
      {123.45f, 0xB039},
      {16383.0f, 0x3FFF},
      {16.383f, 0xFFFF},
      {1638.3f, 0x7FFF},
      {163.83f, 0xBFFF},
      {1.0f, 0x0001},       // never produced by the encoder, still a time
      {0.001f, 0xC001},
  };
  for (const TimeCase &c : cases) {
    EXPECT_EQ(timecodetoseconds(c.code), c.seconds)
        << "code 0x" << std::hex << c.code;
  }
}

// Over the whole encodable range the decoded time sits at most one step
// below the written time and never above it (beyond float rounding).
TEST(TimeCodeToSeconds, DecodedTimeIsWithinOneStepBelowWritten) {
  int checked = 0;
  for (double t = 0.001; t <= 16383.0; t *= 1.0007) {
    float written = static_cast<float>(t);
    uint16_t code = secondstotimecode(written);
    ASSERT_NE(code & 0x3FFF, 0) << "seconds " << written;
    double step = std::pow(10.0, -(code >> 14));
    double decoded = timecodetoseconds(code);
    ASSERT_LE(decoded, written * (1.0 + 1e-6)) << "seconds " << written;
    ASSERT_GT(decoded, written - step * (1.0 + 1e-6)) << "seconds " << written;
    // The largest exponent that holds the time is taken, so any exponent
    // below 3 comes with a mantissa of at least 1638.
    if ((code >> 14) != 3) {
      ASSERT_GE(code & 0x3FFF, 1638) << "seconds " << written;
    }
    ++checked;
  }
  EXPECT_GT(checked, 10000);
}

}  // namespace
