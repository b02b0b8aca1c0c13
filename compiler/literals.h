// Pattern and time literals: the two 16-bit formats that travel in Patt.
//
// Pattern: mask in bits 15-8 (bit 8+i set: port bit i is governed), value
// in bits 7-0 (the level a governed bit must have or is given). Written in
// a script as up to eight characters of '1', '0' and don't-care places,
// right-aligned on bit 0.
//
// TimeCode: seconds as a 14-bit mantissa (13-0) divided by 10 to the power
// of a 2-bit exponent (15-14). Mantissa 0 marks the special codes below.
#ifndef QUON_COMPILER_LITERALS_H
#define QUON_COMPILER_LITERALS_H

#include <cstddef>
#include <cstdint>

constexpr uint16_t TIME_ZERO = 0x0000;      // zero, of either sign
constexpr uint16_t TIME_TOOSMALL = 0x4000;  // positive, below 0.001 s
constexpr uint16_t TIME_NEGATIVE = 0x8000;  // negative
constexpr uint16_t TIME_TOOLARGE = 0xC000;  // above 16383 s: in effect never

// Pattern word (NUL-terminated; NUL, TAB, LF and CR end it) to a Pattern.
uint16_t texttopattern(const char *text);

// A pattern given outside a script (a command line, a testbench): one to
// eight places of '1', '0' and '.', nothing else. Returns 1 and the Pattern,
// or 0 when text is no such pattern: what is checked is not forgiven.
int strictpattern(const char *text, uint16_t *pattern);

// A logical port as a command line or a testbench writes it: the first
// length characters of text are "0" or "1". Returns the port, or -1.
int32_t portliteral(const char *text, size_t length);

// PORT or PORT:PATTERN as a command line gives it (--safe=, a monitor's
// forcing): the port as portliteral takes it, then after one colon a
// pattern as strictpattern takes it. With highest above 1 the port is one
// digit from 0 to highest (a flag bank's number, up to PORT_NUMBERS - 1).
enum PortPatternRead {
  PORTPATTERN_READ,        // *port and *pattern set
  PORTPATTERN_PORTONLY,    // a port and no colon: *port set, *pattern untouched
  PORTPATTERN_BADPORT,     // no port 0 or 1 before the end or the colon
  PORTPATTERN_BADPATTERN,  // after the colon no pattern (or nothing)
};
PortPatternRead readportpattern(const char *text, int32_t *port, uint16_t *pattern, int32_t highest = 1);

// Pattern to its 8-character text ('1', '0', '.'), in one buffer shared by
// all calls and overwritten by each.
const char *patterntotext(uint16_t pattern);

// Single-precision seconds to a TimeCode; truncates, so the decoded time
// never exceeds the written one. NaN is the caller's to reject; it encodes
// as TIME_ZERO.
uint16_t secondstotimecode(float seconds);

// TimeCode to single-precision seconds; every 16-bit code has a value.
float timecodetoseconds(uint16_t code);

#endif
