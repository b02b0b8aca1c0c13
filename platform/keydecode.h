// What a terminal sends for the keys without a character (cursor, editing
// and function keys): ESC, then a CSI or SS3 sequence, turned into the PC
// scan code the key had on the original keyboard.
#ifndef QUON_PLATFORM_KEYDECODE_H
#define QUON_PLATFORM_KEYDECODE_H

constexpr int KEYDECODE_NOBYTE = -1;  // no byte came in time

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
