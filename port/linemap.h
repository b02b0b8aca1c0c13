// A logical port on GPIO lines: which chip, which line drives each data
// bit and which line feeds each input bit, as --port= and --port1= give
// them:
//
//   CHIP:out=LINE,LINE,...:in=LINE,LINE,...
//
// CHIP is a device name (gpiochip0), a path (/dev/gpiochip0) or a chip's
// label. The lines of a side are bits 0, 1, 2 ... in the order written, at
// most 8; "-" leaves a bit without a line. A LINE is an offset on the chip
// (17) or a line's name (GPIO17), followed by any of /active-low, and on
// input lines /pull-up or /pull-down and /debounce=TIME (5ms, 200us: the
// kernel ignores changes shorter than that). Either side may be left out,
// not both.
//
// The map itself (LineMap) is the GPIO interface's type (platform/gpio.h):
// this is the text that gives it.
#ifndef QUON_PORT_LINEMAP_H
#define QUON_PORT_LINEMAP_H

#include <string>

#include "platform/gpio.h"

// 1 when an option's value names GPIO lines rather than a parallel port
// (it has a colon, or names a gpiochip without one, which parselinemap
// then refuses with the form to write).
bool isgpiovalue(const char *value);

// Reads text into *map. Returns 0, or -1 with *error saying what is wrong
// (one line, no newline). Names are not looked up here: the provider
// finds them on the chip, and refuses a line given twice by different
// words (a name and its offset).
int parselinemap(const char *text, LineMap *map, std::string *error);

#endif
