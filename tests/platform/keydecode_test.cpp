// What follows an ESC, decoded from bytes in memory: every key without a
// character the terminal can send, modifiers, unknown, broken and cut-short
// sequences, and the bytes each leaves unread.
#include <gtest/gtest.h>

#include <string>

#include "platform/keydecode.h"
#include "platform/keys.h"

namespace {

std::string pending;  // the bytes after the ESC; a read past them times out
size_t at = 0;

int nextbyte(int timeoutms) {
  EXPECT_GT(timeoutms, 0) << "an ESC never waits for ever";
  if (at >= pending.size()) {
    ++at;  // so that a give-back after a timeout is caught below
    return KEYDECODE_NOBYTE;
  }
  return static_cast<unsigned char>(pending[at++]);
}

void ungetbyte(void) {
  EXPECT_LE(at, pending.size()) << "only a byte that came is given back";
  --at;
}

struct Case {
  const char *name;
  std::string after;  // the bytes after the ESC
  int result;         // KEY_ESC or 0
  int scan;           // the scan code held back; 0 none
  std::string left;   // the bytes the decoder must leave unread
};

const Case CASES[] = {
    {"Up", "[A", 0, 0x48, ""},
    {"Down", "[B", 0, 0x50, ""},
    {"Right", "[C", 0, 0x4D, ""},
    {"Left", "[D", 0, 0x4B, ""},
    {"Home", "[H", 0, 0x47, ""},
    {"End", "[F", 0, 0x4F, ""},
    {"Up, application mode", "OA", 0, 0x48, ""},
    {"Down, application mode", "OB", 0, 0x50, ""},
    {"Right, application mode", "OC", 0, 0x4D, ""},
    {"Left, application mode", "OD", 0, 0x4B, ""},
    {"Home, application mode", "OH", 0, 0x47, ""},
    {"End, application mode", "OF", 0, 0x4F, ""},
    {"Home, console", "[1~", 0, 0x47, ""},
    {"Insert", "[2~", 0, 0x52, ""},
    {"Delete", "[3~", 0, 0x53, ""},
    {"End, console", "[4~", 0, 0x4F, ""},
    {"PgUp", "[5~", 0, 0x49, ""},
    {"PgDn", "[6~", 0, 0x51, ""},
    {"Home, rxvt", "[7~", 0, 0x47, ""},
    {"End, rxvt", "[8~", 0, 0x4F, ""},
    {"F1", "OP", 0, 0x3B, ""},
    {"F2", "OQ", 0, 0x3C, ""},
    {"F3", "OR", 0, 0x3D, ""},
    {"F4", "OS", 0, 0x3E, ""},
    {"F1 numbered", "[11~", 0, 0x3B, ""},
    {"F2 numbered", "[12~", 0, 0x3C, ""},
    {"F3 numbered", "[13~", 0, 0x3D, ""},
    {"F4 numbered", "[14~", 0, 0x3E, ""},
    {"F5", "[15~", 0, 0x3F, ""},
    {"F6", "[17~", 0, 0x40, ""},
    {"F7", "[18~", 0, 0x41, ""},
    {"F8", "[19~", 0, 0x42, ""},
    {"F9", "[20~", 0, 0x43, ""},
    {"F10", "[21~", 0, 0x44, ""},
    {"F11", "[23~", 0, 0x85, ""},
    {"F12", "[24~", 0, 0x86, ""},
    {"F1, Linux console", "[[A", 0, 0x3B, ""},
    {"F2, Linux console", "[[B", 0, 0x3C, ""},
    {"F3, Linux console", "[[C", 0, 0x3D, ""},
    {"F4, Linux console", "[[D", 0, 0x3E, ""},
    {"F5, Linux console", "[[E", 0, 0x3F, ""},
    // Modified keys read as the key itself.
    {"Ctrl-Up", "[1;5A", 0, 0x48, ""},
    {"Shift-End", "[1;2F", 0, 0x4F, ""},
    {"Ctrl-PgUp", "[5;5~", 0, 0x49, ""},
    {"Alt-Delete", "[3;3~", 0, 0x53, ""},
    {"Shift-F1", "[1;2P", 0, 0x3B, ""},
    {"Ctrl-F4", "[1;5S", 0, 0x3E, ""},
    {"Shift-F5", "[15;2~", 0, 0x3F, ""},
    {"Ctrl-Shift-F12", "[24;6~", 0, 0x86, ""},
    // A sequence ends at its final byte: what follows is the next key.
    {"Up, then a", "[Aa", 0, 0x48, "a"},
    // Unknown sequences are consumed whole and hold no scan code.
    {"unused number", "[99~", 0, 0, ""},
    {"keypad 5", "[E", 0, 0, ""},
    {"unused SS3", "OZ", 0, 0, ""},
    {"paste start", "[200~", 0, 0, ""},
    {"more parameters than are kept",
     "[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20~x", 0, 0, "x"},
    {"three parameters", "[1;2;3~", 0, 0, ""},
    {"long number", "[123456789012345678901234567890~", 0, 0, ""},
    {"Linux console, unused letter", "[[Z", 0, 0, ""},
    // Broken and cut short.
    {"broken by Enter", "[1\r", 0, 0, "\r"},
    {"cut short", "[1;5", 0, 0, ""},
    {"cut short after the introducer", "[", 0, 0, ""},
    // The ESC key itself.
    {"ESC alone", "", KEY_ESC, 0, ""},
    {"ESC, then q", "q", KEY_ESC, 0, "q"},
    {"ESC, then ESC", "\x1b", KEY_ESC, 0, "\x1b"},
};

TEST(KeyDecodeTest, EveryByteRunAfterAnEscDecodesAsItsKey) {
  for (const Case &c : CASES) {
    SCOPED_TRACE(c.name);
    pending = c.after;
    at = 0;
    int scan = -1;
    EXPECT_EQ(decodeescape(KeyBytes{nextbyte, ungetbyte}, &scan), c.result);
    EXPECT_EQ(scan, c.scan);
    EXPECT_EQ(pending.substr(at < pending.size() ? at : pending.size()), c.left);
  }
}

}  // namespace
