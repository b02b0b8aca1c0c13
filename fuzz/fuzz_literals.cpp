// Fuzz target: the pattern and time literals.
//
// Input layout: bytes 0-3 are the bits of a single-precision time (so NaN,
// infinities, subnormals and huge values all turn up), bytes 4-5 a 16-bit
// word used both as a Pattern and as a TimeCode, the rest a pattern word.
// Missing bytes count as 0.
//
// Checked: a pattern word governs exactly its '0' and '1' places, right-
// aligned on bit 0, and survives the trip through its listing text; every
// time encodes to a code that never decodes to more than the time (within
// one single-precision step, the price of rounding the scaled product so
// that 0.7 s keeps its 700 thousandths); every code decodes to a number.
// The float-to-integer casts are watched by the sanitizer.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/literals.h"
#include "fuzz/fuzzcheck.h"

const char *const FUZZSUBJECT = "literal fault";

namespace {

constexpr size_t MAX_WORD = 16;  // longer words add nothing past the 8th place

int endsword(char c) {
  return c == '\0' || c == '\t' || c == '\n' || c == '\r';
}

void checkpatternword(const char *word) {
  uint16_t pattern = texttopattern(word);
  int places = 0;
  while (places < 8 && !endsword(word[places])) ++places;

  // The first of n places stands for bit n-1, the last for bit 0; places
  // beyond the word are left alone.
  uint16_t governed = static_cast<uint16_t>(pattern >> 8);
  expect((governed >> places) == 0, "bit beyond the word governed", pattern);
  for (int i = 0; i < places; ++i) {
    int bit = places - 1 - i;
    bool mask = (pattern >> (8 + bit)) & 1;
    bool value = (pattern >> bit) & 1;
    char c = word[i];
    expect(mask == (c == '0' || c == '1'), "mask bit disagrees with its place",
           pattern);
    expect(value == (c == '1'), "value bit disagrees with its place", pattern);
  }

  // The listing text reads back as the same pattern.
  char text[9];
  memcpy(text, patterntotext(pattern), sizeof text);
  expect(text[8] == '\0' && strlen(text) == 8, "listing text not 8 places",
         pattern);
  for (int i = 0; i < 8; ++i) {
    expect(text[i] == '0' || text[i] == '1' || text[i] == '.',
           "listing text holds a stray character", pattern);
  }
  expect(texttopattern(text) == pattern, "pattern lost in its listing text",
         pattern);
}

void checkanypattern(uint16_t pattern) {
  // A value bit whose mask bit is clear cannot be written as text: the text
  // shows a don't-care place there, and that is all that comes back.
  uint16_t writable =
      static_cast<uint16_t>((pattern & 0xFF00) | (pattern & (pattern >> 8)));
  expect(texttopattern(patterntotext(pattern)) == writable,
         "pattern text does not read back", pattern);
}

void checktime(float seconds) {
  uint16_t code = secondstotimecode(seconds);
  float back = timecodetoseconds(code);
  uint16_t mantissa = code & 0x3FFF;
  unsigned exponent = code >> 14;

  if (std::isnan(seconds)) {
    expect(code == TIME_ZERO, "NaN not encoded as zero", code);
    return;
  }
  if (seconds == 0.0f) {
    expect(code == TIME_ZERO && back == 0.0f, "zero not encoded as zero",
           code);
    return;
  }
  if (seconds < 0.0f) {
    expect(code == TIME_NEGATIVE && back == -1.0f, "negative time code",
           code);
    return;
  }
  if (static_cast<double>(seconds) > 16383.0) {
    expect(code == TIME_TOOLARGE && back == 1e38f, "too large time code",
           code);
    return;
  }
  if (code == TIME_TOOSMALL) {
    expect(static_cast<double>(seconds) * 1000.0 < 1.0,
           "time of a millisecond or more lost", code);
    return;
  }
  expect(mantissa != 0, "positive time given a special code", code);
  // The mantissa keeps every digit its exponent allows.
  expect(exponent == 3 ? mantissa >= 1 : mantissa >= 1638,
         "mantissa short of digits", code);
  // Never longer than written, and short of it by less than one step of
  // the chosen exponent (plus the single-precision rounding of the result).
  expect(back <= nextafterf(seconds, INFINITY), "decoded time exceeds the time",
         code);
  double step = 1.0 / std::pow(10.0, exponent);
  expect(static_cast<double>(seconds) - static_cast<double>(back) <
             step + static_cast<double>(seconds) * 1e-6,
         "decoded time short by a step or more", code);
}

void checkanycode(uint16_t code) {
  float seconds = timecodetoseconds(code);
  uint16_t mantissa = code & 0x3FFF;
  expect(!std::isnan(seconds), "code decodes to NaN", code);
  if (mantissa != 0) {
    expect(seconds > 0.0f && seconds <= 16383.0f, "mantissa out of range",
           code);
  }
  // Whatever a code decodes to encodes again without fault.
  checktime(seconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t head[6] = {0, 0, 0, 0, 0, 0};
  if (size > 0) memcpy(head, data, size < sizeof head ? size : sizeof head);
  float seconds;
  memcpy(&seconds, head, sizeof seconds);
  uint16_t word = static_cast<uint16_t>(head[4] | (head[5] << 8));

  char text[MAX_WORD + 1] = {};
  if (size > sizeof head) {
    size_t n = size - sizeof head;
    memcpy(text, data + sizeof head, n < MAX_WORD ? n : MAX_WORD);
  }

  checkpatternword(text);
  checkanypattern(word);
  checktime(seconds);
  checkanycode(word);
  return 0;
}
