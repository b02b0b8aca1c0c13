#include "compiler/literals.h"

#include <cmath>
#include <cstring>
#include <cstdint>

namespace {
constexpr int PATTERN_PLACES = 8;        // one character per port bit
constexpr uint16_t MASK_BIT0 = 0x0100;   // mask bit of port bit 0
constexpr uint16_t VALUE_BIT0 = 0x0001;  // value bit of port bit 0

constexpr double LARGEST_TIME = 16383.0;  // largest encodable time, seconds
constexpr double SCALE_LIMIT = 1638.35;   // a mantissa of at least this keeps
                                          // all digits its exponent allows
constexpr uint16_t MANTISSA_MASK = 0x3FFF;
constexpr uint16_t EXPONENT_1 = 0x4000;
constexpr uint16_t EXPONENT_2 = 0x8000;
constexpr uint16_t EXPONENT_3 = 0xC000;

// A scaled time to its mantissa. The caller has checked 1.0 <= scaled <
// 16383.5, so the cast is defined and the mantissa fits in 14 bits. The
// product is rounded to single precision first, so a time like 0.7 s,
// whose float lies just below 0.7, still gives 700 thousandths.
uint16_t mantissa(double scaled) {
  float rounded = static_cast<float>(scaled);
  return static_cast<uint16_t>(static_cast<uint32_t>(rounded) & MANTISSA_MASK);
}

int endsword(char c) {
  return c == '\0' || c == '\t' || c == '\n' || c == '\r';
}
}  // namespace

uint16_t texttopattern(const char *text) {
  uint16_t pattern = 0;
  // The text is right-aligned on bit 0: each new place pushes the earlier
  // ones one bit up. A terminator takes no place of its own.
  for (int i = 0; i < PATTERN_PLACES && !endsword(text[i]); ++i) {
    pattern = static_cast<uint16_t>(pattern << 1);
    if (text[i] == '0') pattern |= MASK_BIT0;
    if (text[i] == '1') pattern |= MASK_BIT0 | VALUE_BIT0;
  }
  return pattern;
}

int strictpattern(const char *text, uint16_t *pattern) {
  size_t n = strlen(text);
  if (n == 0 || n > PATTERN_PLACES || strspn(text, "10.") != n) return 0;
  *pattern = texttopattern(text);
  return 1;
}

int32_t portliteral(const char *text, size_t length) {
  if (length != 1 || (text[0] != '0' && text[0] != '1')) return -1;
  return text[0] - '0';
}

PortPatternRead readportpattern(const char *text, int32_t *port, uint16_t *pattern, int32_t highest) {
  const char *colon = strchr(text, ':');
  size_t length = colon != nullptr ? static_cast<size_t>(colon - text) : strlen(text);
  int32_t n = portliteral(text, length);
  if (n < 0 && length == 1 && text[0] >= '2' && text[0] <= '9' && text[0] - '0' <= highest) n = text[0] - '0';
  if (n < 0) return PORTPATTERN_BADPORT;
  *port = n;
  if (colon == nullptr) return PORTPATTERN_PORTONLY;
  return strictpattern(colon + 1, pattern) ? PORTPATTERN_READ : PORTPATTERN_BADPATTERN;
}

const char *patterntotext(uint16_t pattern) {
  static char text[PATTERN_PLACES + 1];
  for (int i = 0; i < PATTERN_PLACES; ++i) {
    int bit = PATTERN_PLACES - 1 - i;  // the first character is bit 7
    if ((pattern & (MASK_BIT0 << bit)) == 0) {
      text[i] = '.';
    } else {
      text[i] = (pattern & (VALUE_BIT0 << bit)) != 0 ? '1' : '0';
    }
  }
  text[PATTERN_PLACES] = '\0';
  return text;
}

uint16_t secondstotimecode(float seconds) {
  // Comparisons and products run in double precision; the exponent is the
  // largest whose range holds the time, so the mantissa keeps its digits.
  double time = seconds;
  if (std::isnan(time) || time == 0.0) return TIME_ZERO;
  if (time < 0.0) return TIME_NEGATIVE;
  if (time > LARGEST_TIME) return TIME_TOOLARGE;
  if (time >= SCALE_LIMIT) {
    return static_cast<uint16_t>(static_cast<uint32_t>(time));  // whole seconds
  }
  double scaled = time * 10.0;
  if (scaled >= SCALE_LIMIT) return EXPONENT_1 | mantissa(scaled);
  scaled *= 10.0;
  if (scaled >= SCALE_LIMIT) return EXPONENT_2 | mantissa(scaled);
  scaled *= 10.0;
  if (scaled < 1.0) return TIME_TOOSMALL;
  return EXPONENT_3 | mantissa(scaled);
}

float timecodetoseconds(uint16_t code) {
  static const double POWERS[4] = {1.0, 10.0, 100.0, 1000.0};
  uint16_t mant = code & MANTISSA_MASK;
  int exponent = code >> 14;
  if (mant != 0) return static_cast<float>(mant / POWERS[exponent]);
  switch (exponent) {
    case 2: return -1.0f;      // a negative time
    case 3: return 1e38f;      // too large: in effect never
    default: return 0.0f;      // zero, or too small to wait for
  }
}
