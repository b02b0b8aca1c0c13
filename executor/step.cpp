#include "executor/step.h"

#include <cstdio>

#include "compiler/token.h"
#include "core/tables.h"
#include "executor/delay.h"
#include "executor/stamp.h"
#include "core/watch.h"
#include "platform/shell.h"
#include "port/port.h"

namespace {
// Sends every thread that bears the name of KILL text s back to its first
// statement with an idle timer, the killer among them, in index order (the
// loader found them). Returns 1 when the killer itself was one of them.
int killthreads(int32_t killer, uint8_t s) {
  int32_t from = prog.killfirst[s], count = prog.killcount[s];
  if (count == 0) {
    stampline();
    printf("Tried to Kill non-existing thread '%s'\n", prog.strings[s]);
    return 0;
  }
  int self = 0;
  for (int32_t k = from; k < from + count; ++k) {
    int32_t i = prog.killthread[k];
    prog.threadcurrent[i] = prog.threadstart[i];
    prog.threadtimer[i] = 0;
    watchthread(i, prog.threadstart[i]);
    watchloop(i, true);
    if (i == killer) self = 1;
  }
  return self;
}
}  // namespace

void stepthread(int32_t t) {
  int32_t at = prog.threadcurrent[t];
  if (at < 0) return;  // a thread opened by a leading "$" has no statements
  const Token *tokens = prog.tokens;  // the program never changes while it runs
  const int32_t from = at;
  for (;; ++at) {
    Token token = tokens[at];
    uint8_t port = tokenport(token);
    uint16_t patt = tokenpatt(token);
    uint8_t op = tokenop(token);
    switch (op) {
      case OP_WAIT:
        if (!matchpattern(portinput(port), patt)) goto park;
        break;
      case OP_OUTPUT:
      case OP_TOGGLE: {
        uint8_t old = portreadback(port);
        uint8_t n = op == OP_OUTPUT ? applypattern(old, patt) : togglepattern(old, patt);
        portwrite(port, n);
        if (prog.dump) {
          stampline();
          printf("Outputting %02x\n", n);
        }
        break;
      }
      case OP_DELAY:
        if (!delaystep(t, patt)) goto park;
        break;
      case OP_KEY:
        if (prog.lastkey != port) goto park;
        stampline();
        printf("KEY (%ld) triggered on %c\n", static_cast<long>(t), port);
        break;
      case OP_SPAWN:
        runcommand(prog.strings[port]);  // its status means nothing to the script
        break;
      case OP_NOTATE:
        stampline();
        printf("%s\n", prog.strings[port]);
        watchnote(prog.strings[port]);
        break;
      case OP_KILL:
        // A thread that kills itself starts over at its next step; going on
        // now could run its own KILL again within this step, for ever.
        if (killthreads(t, port)) {
          watchran(t, from, at);
          return;
        }
        break;
      case OP_SEPARATOR:
        watchran(t, from, at);
        prog.threadcurrent[t] = prog.threadstart[t];
        watchthread(t, prog.threadstart[t]);
        watchloop(t, false);
        return;
      default:  // REPEAT, NAME and anything unknown pass without effect
        break;
    }
  }
park:
  watchran(t, from, at);
  prog.threadcurrent[t] = at;
  watchthread(t, at);
}
