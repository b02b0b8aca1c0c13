// Escaping for the terminal: see printable.h.
#include "text/printable.h"

#include <cstdint>
#include <cstdio>

namespace {

// The bytes of a UTF-8 character at text[i] that is printable (no C1
// control, no surrogate, not overlong); 0 when there is none.
size_t utf8printable(const std::string &text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (length == 0 || c > 0xF4 || i + length > text.size()) return 0;
  uint32_t code = c & (0x7Fu >> length);
  for (size_t k = 1; k < length; ++k) {
    unsigned char more = static_cast<unsigned char>(text[i + k]);
    if ((more & 0xC0) != 0x80) return 0;
    code = code << 6 | (more & 0x3Fu);
  }
  const uint32_t least[5] = {0, 0, 0xA0, 0x800, 0x10000};  // below: overlong or C1
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
  return length;
}

}  // namespace

std::string printable(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0x80 ? utf8printable(text, i) : 1;
    if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
    } else if (length == 0) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
      length = 1;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}
