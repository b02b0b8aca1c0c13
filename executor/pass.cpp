#include "executor/pass.h"

#include <cstdlib>

#include "core/fatal.h"
#include "compiler/token.h"
#include "core/tables.h"
#include "executor/delay.h"
#include "executor/step.h"
#include "core/watch.h"
#include "platform/keys.h"
#include "port/port.h"

void parkthreads(void) {
  // Loading leaves at least one thread; one entry at the least keeps calloc
  // from answering an empty request with a null that is no failure.
  size_t entries = prog.threadcount > 0 ? static_cast<size_t>(prog.threadcount) : 1;
  free(prog.threadcurrent);
  free(prog.threadtimer);
  prog.threadcurrent = static_cast<int32_t *>(calloc(entries, sizeof(int32_t)));
  prog.threadtimer = static_cast<uint32_t *>(calloc(entries, sizeof(uint32_t)));
  if (prog.threadcurrent == nullptr || prog.threadtimer == nullptr) outofmemory();
  for (int32_t i = 0; i < prog.threadcount; ++i) {
    prog.threadcurrent[i] = prog.threadstart[i];  // timers start idle (0)
  }
  watchthreads(prog.threadcount);
  prog.lastkey = 0;
}

int runpass(int key) {
  watchpass();
  if (key >= 0) {
    prog.lastkey = static_cast<uint8_t>(key);
    watchkey(prog.lastkey);
    if (prog.lastkey == KEY_ESC) return EXIT_ESC;  // before any thread sees it
  }
  int32_t threads = prog.threadcount;  // fixed once loaded
  for (int32_t t = 0; t < threads; ++t) stepthread(t);
  prog.lastkey = 0;
  watchpassend();
  return 0;
}

int passidle(uint32_t now, uint32_t *earliest, int *timed, bool waits) {
  *timed = 0;
  if (watched(WATCH_KEYIN)) return 0;  // a key typed from outside waits for its pass
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    int32_t at = prog.threadcurrent[t];
    if (at < 0) continue;  // no statements: never moves
    uint8_t op = tokenop(prog.tokens[at]);
    if (op == OP_KEY) continue;
    if (op == OP_WAIT && waits && portstill(tokenport(prog.tokens[at]), tokenpatt(prog.tokens[at]))) continue;
    if (op != OP_DELAY) return 0;
    uint32_t deadline = prog.threadtimer[t];
    if (deadline == 0) {
      // A DELAY not yet started runs at the next pass; one too long to end
      // never moves again.
      if (delayticks(tokenpatt(prog.tokens[at])) != DELAY_NEVER) return 0;
      continue;
    }
    if (!*timed || static_cast<int32_t>(deadline - now) < static_cast<int32_t>(*earliest - now)) {
      *earliest = deadline;
      *timed = 1;
    }
  }
  return 1;
}
