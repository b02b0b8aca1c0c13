// Text from outside the program as a terminal may be given it: chip labels,
// line names and consumers from the kernel, files under /proc, a monitor's
// region, a script's lines. Any of them can hold an escape sequence that a
// terminal would obey (retitling it, rewriting what was printed before), so
// every message that carries one prints it through here.
#ifndef QUON_TEXT_PRINTABLE_H
#define QUON_TEXT_PRINTABLE_H

#include <string>

// text with every control character as ^X (DEL as ^?) and every byte that
// makes no printable UTF-8 character (C1 controls such as 0x9b, broken or
// overlong sequences, surrogates) as \xNN; printable UTF-8 stays as it is.
std::string printable(const std::string &text);

#endif
