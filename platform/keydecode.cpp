#include "platform/keydecode.h"

#include <cstring>

#include "platform/keys.h"

namespace {

constexpr int ESCWAITMS = 30;  // how long an ESC waits for the rest of a sequence
constexpr int SEQMAX = 16;     // longest sequence text kept for the lookup

// A key without a character: the bytes its sequence sends after ESC, with
// modifiers removed ("[1;5A" is looked up as "[A"), and its PC scan code.
struct KeySequence {
  const char *text;
  int scan;
};

const KeySequence KEYSEQUENCES[] = {
    // Cursor keys, normal and application mode (CSI and SS3).
    {"[A", SCAN_UP},      {"[B", SCAN_DOWN},    {"[C", SCAN_RIGHT},
    {"[D", SCAN_LEFT},    {"[H", SCAN_HOME},    {"[F", SCAN_END},
    {"OA", SCAN_UP},      {"OB", SCAN_DOWN},    {"OC", SCAN_RIGHT},
    {"OD", SCAN_LEFT},    {"OH", SCAN_HOME},    {"OF", SCAN_END},
    // Editing keys; 1~/4~ from the Linux console, 7~/8~ from rxvt.
    {"[1~", SCAN_HOME},   {"[2~", SCAN_INSERT}, {"[3~", SCAN_DELETE},
    {"[4~", SCAN_END},    {"[5~", SCAN_PGUP},   {"[6~", SCAN_PGDN},
    {"[7~", SCAN_HOME},   {"[8~", SCAN_END},
    // F1 to F4: SS3 unmodified, CSI once a modifier is added (CSI 1;2P).
    {"OP", SCAN_F1},      {"OQ", SCAN_F1 + 1},  {"OR", SCAN_F1 + 2},
    {"OS", SCAN_F1 + 3},  {"[P", SCAN_F1},      {"[Q", SCAN_F1 + 1},
    {"[R", SCAN_F1 + 2},  {"[S", SCAN_F1 + 3},
    // F1 to F12 as numbered sequences (the numbers skip 16 and 22).
    {"[11~", SCAN_F1},    {"[12~", SCAN_F1 + 1}, {"[13~", SCAN_F1 + 2},
    {"[14~", SCAN_F1 + 3}, {"[15~", SCAN_F1 + 4}, {"[17~", SCAN_F1 + 5},
    {"[18~", SCAN_F1 + 6}, {"[19~", SCAN_F1 + 7}, {"[20~", SCAN_F1 + 8},
    {"[21~", SCAN_F1 + 9}, {"[23~", SCAN_F11},   {"[24~", SCAN_F12},
    // The Linux console's F1 to F5.
    {"[[A", SCAN_F1},     {"[[B", SCAN_F1 + 1}, {"[[C", SCAN_F1 + 2},
    {"[[D", SCAN_F1 + 3}, {"[[E", SCAN_F1 + 4},
};

int lookupsequence(const char *text) {
  for (const KeySequence &k : KEYSEQUENCES) {
    if (strcmp(k.text, text) == 0) return k.scan;
  }
  return 0;
}

}  // namespace

int decodeescape(const KeyBytes &bytes, int *scan) {
  *scan = 0;
  int intro = bytes.next(ESCWAITMS);
  if (intro == KEYDECODE_NOBYTE) return KEY_ESC;
  if (intro != '[' && intro != 'O') {
    bytes.unget();  // ESC then an ordinary key: two keys
    return KEY_ESC;
  }

  char text[SEQMAX + 2];
  int length = 0;
  text[length++] = static_cast<char>(intro);
  bool toolong = false;
  int separators = 0;  // ';' seen: key;modifier has one
  int keyend = 0;      // length of the text before the first ';'
  int c = bytes.next(ESCWAITMS);
  // Each call of next reads another byte; the analyser takes the two calls
  // for one value.
  // cppcheck-suppress knownConditionTrueFalse
  if (intro == '[' && c == '[') {  // the Linux console's ESC [ [ A..E
    text[length++] = '[';
    c = bytes.next(ESCWAITMS);
  } else {
    // Parameter and intermediate bytes, then one final byte.
    while (c >= 0x20 && c <= 0x3F) {
      if (c == ';') {
        if (separators == 0) keyend = length;
        if (separators < 2) ++separators;
      }
      if (length < SEQMAX) text[length++] = static_cast<char>(c);
      else toolong = true;
      c = bytes.next(ESCWAITMS);
    }
  }
  if (c == KEYDECODE_NOBYTE) return 0;  // cut short
  if (c < 0x40 || c > 0x7E) {
    bytes.unget();  // not part of a sequence: an ordinary key after a broken one
    return 0;
  }
  if (toolong) return 0;  // no key sends that much
  // CSI 1;5A, CSI 5;5~ and SS3 5P name the same keys as CSI A, CSI 5~ and
  // SS3 P: the modifier goes, and so does a key number 1 before a letter.
  // More parameters than key;modifier match no key.
  if (separators == 1) length = keyend;
  if (intro == 'O' || (c != '~' && length == 2 && text[1] == '1')) length = 1;
  text[length++] = static_cast<char>(c);
  text[length] = '\0';
  *scan = lookupsequence(text);
  return 0;
}
