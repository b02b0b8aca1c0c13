// What a terminal sends for the keys without a character (cursor, editing
// and function keys): ESC, then a CSI or SS3 sequence, turned into the PC
// scan code the key had on the original keyboard.
#ifndef QUON_PLATFORM_KEYDECODE_H
#define QUON_PLATFORM_KEYDECODE_H

#include "platform/keys.h"

constexpr int KEYDECODE_NOBYTE = -1;  // no byte came in time

// The PC scan codes of the keys without a character.
constexpr int SCAN_UP = 0x48, SCAN_DOWN = 0x50, SCAN_LEFT = 0x4B,
              SCAN_RIGHT = 0x4D, SCAN_HOME = 0x47, SCAN_END = 0x4F,
              SCAN_PGUP = 0x49, SCAN_PGDN = 0x51, SCAN_INSERT = 0x52,
              SCAN_DELETE = 0x53, SCAN_F1 = 0x3B, SCAN_F11 = 0x85,
              SCAN_F12 = 0x86;  // F2 to F10 follow F1

// The keys by name, as a testbench types them ("at T key F5"), and what
// each reads as: a character's code, or KEYNAME_SCAN plus the scan code of
// a key without a character (readkey gives 0, then the scan code). Defined
// here, in the header, so that code which reads no terminal (a testbench)
// has the names without the terminal's key layer.
struct KeyName {
  const char *name;
  int code;
};
constexpr int KEYNAME_SCAN = 0x100;
inline constexpr KeyName KEYNAMES[] = {
    {"ESC", KEY_ESC},
    {"ENTER", KEY_ENTER},
    {"TAB", 9},
    {"BACKSPACE", 127},
    {"UP", KEYNAME_SCAN + SCAN_UP},
    {"DOWN", KEYNAME_SCAN + SCAN_DOWN},
    {"LEFT", KEYNAME_SCAN + SCAN_LEFT},
    {"RIGHT", KEYNAME_SCAN + SCAN_RIGHT},
    {"HOME", KEYNAME_SCAN + SCAN_HOME},
    {"END", KEYNAME_SCAN + SCAN_END},
    {"PGUP", KEYNAME_SCAN + SCAN_PGUP},
    {"PGDN", KEYNAME_SCAN + SCAN_PGDN},
    {"INS", KEYNAME_SCAN + SCAN_INSERT},
    {"DEL", KEYNAME_SCAN + SCAN_DELETE},
    {"F1", KEYNAME_SCAN + SCAN_F1},
    {"F2", KEYNAME_SCAN + SCAN_F1 + 1},
    {"F3", KEYNAME_SCAN + SCAN_F1 + 2},
    {"F4", KEYNAME_SCAN + SCAN_F1 + 3},
    {"F5", KEYNAME_SCAN + SCAN_F1 + 4},
    {"F6", KEYNAME_SCAN + SCAN_F1 + 5},
    {"F7", KEYNAME_SCAN + SCAN_F1 + 6},
    {"F8", KEYNAME_SCAN + SCAN_F1 + 7},
    {"F9", KEYNAME_SCAN + SCAN_F1 + 8},
    {"F10", KEYNAME_SCAN + SCAN_F1 + 9},
    {"F11", KEYNAME_SCAN + SCAN_F11},
    {"F12", KEYNAME_SCAN + SCAN_F12},
};

// Where the bytes after the ESC come from.
struct KeyBytes {
  int (*next)(int timeoutms);  // the next byte, or KEYDECODE_NOBYTE
  void (*unget)(void);         // gives back the byte next just returned
};

// Reads what follows an ESC byte. Returns KEY_ESC when it is the ESC key
// (nothing follows in time, or an ordinary key, which is given back), else
// 0 with the key's scan code in *scan. Unknown and cut-short sequences are
// consumed and give 0 with *scan 0; a byte that cannot belong to a sequence
// is given back.
int decodeescape(const KeyBytes &bytes, int *scan);

#endif
