#include "text/casefold.h"

#include <climits>

namespace {
unsigned char folded(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}
}  // namespace

int prefixmatch(const char *text, const char *with, int n) {
  for (int i = 0; i < n; ++i) {
    unsigned char a = folded(text[i]);
    if (a != folded(with[i])) return 0;
    if (a == '\0') return 1;
  }
  return 1;
}

int samefolded(const char *a, const char *b) { return prefixmatch(a, b, INT_MAX); }
