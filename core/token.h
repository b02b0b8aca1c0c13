// The token: one compiled script statement in a 32-bit word.
//
//   31        24 23        16 15                              0
//  +------------+------------+--------------------------------+
//  |     OP     |    Port    |              Patt              |
//  +------------+------------+--------------------------------+
//
// OP is the opcode; Port a logical port, key character, string index or
// thread index; Patt a Pattern (mask in 15-8, value in 7-0) or a TimeCode.
#ifndef QUON_CORE_TOKEN_H
#define QUON_CORE_TOKEN_H

#include <cstdint>

typedef uint32_t Token;

//                                 Port holds            Patt holds
constexpr uint8_t OP_WAIT      = 0x00; // logical port   Pattern to wait for
constexpr uint8_t OP_OUTPUT    = 0x01; // logical port   Pattern to drive
constexpr uint8_t OP_TOGGLE    = 0x02; // logical port   Pattern whose 1s flip
constexpr uint8_t OP_DELAY     = 0x03; // 0              TimeCode of the wait
constexpr uint8_t OP_REPEAT    = 0x04; // 0 (no offset)  TimeCode of the period
constexpr uint8_t OP_KEY       = 0x05; // key character  0
constexpr uint8_t OP_SPAWN     = 0x06; // string index   0 (command line)
constexpr uint8_t OP_NOTATE    = 0x07; // string index   0 (note)
constexpr uint8_t OP_NAME      = 0x08; // thread index   0
constexpr uint8_t OP_KILL      = 0x09; // string index   0 (thread name)
constexpr uint8_t OP_SEPARATOR = 0x7F; // 0              0 (closes a thread)

constexpr Token NO_TOKEN = 0xFFFFFFFFu;        // the line yields no token
constexpr Token SEPARATOR_TOKEN = 0x7F000000u; // a "$" line
constexpr Token NAME0_TOKEN = 0x08000000u;     // NAME in thread 0: not stored

constexpr int32_t MAX_STRINGS = 256; // string indices must fit in Port
constexpr int32_t MAX_NAMED_THREAD = 255; // thread indices must fit in Port

constexpr uint8_t tokenop(Token t) { return static_cast<uint8_t>(t >> 24); }
constexpr uint8_t tokenport(Token t) { return static_cast<uint8_t>(t >> 16); }
constexpr uint16_t tokenpatt(Token t) { return static_cast<uint16_t>(t); }
constexpr Token maketoken(uint8_t op, uint8_t port, uint16_t patt) {
  return (static_cast<Token>(op) << 24) | (static_cast<Token>(port) << 16) |
         patt;
}

#endif
