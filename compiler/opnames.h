// The statements' names, kept in one place: the opcode's name as the
// listing, the monitors and the messages spell it, and a token read back as
// the statement it was compiled from.
#ifndef QUON_COMPILER_OPNAMES_H
#define QUON_COMPILER_OPNAMES_H

#include <cstdint>
#include <string>

#include "compiler/token.h"

// The name of an opcode from OP_WAIT to OP_KILL ("WAIT" .. "KILL"); every
// other opcode, the separator among them, reads as the separator's "$".
const char *opname(uint8_t op);

// A token as the statement it stands for, its operands as compiled:
// "WAIT 0 .......1", "DELAY 0.25", "REPEAT 2", "KEY t", "NOTATE the text",
// "NAME", "$". text is the string the token's Port indexes for SPAWN, NOTATE
// and KILL ("" when it is not known) and is not looked at for the others.
std::string statementtext(Token t, const char *text);

#endif
