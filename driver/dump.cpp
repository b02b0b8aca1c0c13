#include "driver/dump.h"

#include <cstdio>

#include "compiler/token.h"
#include "core/tables.h"
#include "platform/keys.h"

namespace {
// The three fields of a token in the dump's shared tail.
void printfields(Token t) {
  printf("OP = %02x, Port = %02x, Patt = %04x\n",
         static_cast<unsigned>(tokenop(t)), static_cast<unsigned>(tokenport(t)),
         static_cast<unsigned>(tokenpatt(t)));
}

// The pause after a section: the key only releases the dump and never
// reaches a thread, so ESC here does not end the program.
void waitkey(void) {
  fflush(stdout);
  (void)readkey();
  keyboardrelease();  // the terminal is the user's again until the loop runs
}
}  // namespace

void showdump(void) {
  printf("\n%ld Tokens:\n", static_cast<long>(prog.tokencount));
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    Token t = prog.tokens[i];
    printf("%02ld: ", static_cast<long>(i));
    printfields(t);
    if (tokenop(t) == OP_SPAWN) {
      // NOTATE and KILL refer to strings too, but only a command is shown.
      int32_t s = tokenport(t);
      printf("File: %s\n", s < prog.stringcount ? prog.strings[s] : "");
    }
  }
  waitkey();

  printf("\n%ld Threads:\n", static_cast<long>(prog.threadcount));
  for (int32_t i = 0; i < prog.threadcount; ++i) {
    int32_t start = prog.threadstart[i];
    if (start < 0 || start >= prog.tokencount) {
      // A script that opens with "$" leaves thread 0 without a token.
      printf(" Thread %2ld starts at %02ld, with no statements\n",
             static_cast<long>(i), static_cast<long>(start));
      continue;
    }
    printf(" Thread %2ld starts at %02ld, with ", static_cast<long>(i),
           static_cast<long>(start));
    printfields(prog.tokens[start]);
  }
  waitkey();
}
