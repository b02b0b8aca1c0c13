#include "compiler/opnames.h"

#include <cstdio>

#include "compiler/literals.h"

namespace {
const char *const OPNAMES[] = {
    "WAIT", "OUTPUT", "TOGGLE", "DELAY", "REPEAT",
    "KEY", "SPAWN", "NOTATE", "NAME", "KILL",
};
static_assert(sizeof OPNAMES / sizeof OPNAMES[0] == OP_KILL + 1,
              "one name per opcode, in opcode order");
}  // namespace

const char *opname(uint8_t op) { return op <= OP_KILL ? OPNAMES[op] : "$"; }

std::string statementtext(Token t, const char *text) {
  uint8_t op = tokenop(t), port = tokenport(t);
  uint16_t patt = tokenpatt(t);
  const char *name = opname(op);
  char operands[32];
  switch (op) {
    case OP_WAIT:
    case OP_OUTPUT:
    case OP_TOGGLE:
      snprintf(operands, sizeof operands, " %d %s", port, patterntotext(patt));
      break;
    case OP_DELAY:
    case OP_REPEAT:
      snprintf(operands, sizeof operands, " %g", static_cast<double>(timecodetoseconds(patt)));
      break;
    case OP_KEY: snprintf(operands, sizeof operands, " %c", port); break;
    case OP_SPAWN:
    case OP_NOTATE:
    case OP_KILL: return std::string(name) + " " + text;
    default: return name;  // NAME and the separator show no operand
  }
  return std::string(name) + operands;
}
