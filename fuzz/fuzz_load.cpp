// Fuzz target: arbitrary bytes as a script, through the loader and the
// statement compiler, once without and once with the verbose listing.
//
// A script is user input, so no byte sequence may crash the loader, make it
// read or write outside its tables, or leave tables that the executor and
// the dump would trip over. After every load the tables are checked against
// the shape the rest of the program relies on, and the two loads (listing
// off and on) must give the same tables: the listing only writes to the log.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/token.h"
#include "driver/loader.h"
#include "core/tables.h"
#include "fuzz/fuzzcheck.h"

const char *const FUZZSUBJECT = "broken tables";

namespace {

// What one load left in the record, copied out so that two loads can be
// compared after the record has been reset.
struct Loaded {
  std::vector<Token> tokens;
  std::vector<int32_t> threadstart;
  std::vector<std::string> strings;
  std::vector<std::string> threadname;
  int32_t linenumber;
};

// A TimeCode the encoder can produce: a special code (mantissa 0), or a
// mantissa that keeps every digit its exponent allows.
bool canonicaltime(uint16_t code) {
  uint16_t mantissa = code & 0x3FFF;
  if (mantissa == 0) return true;
  return (code >> 14) == 3 ? mantissa >= 1 : mantissa >= 1638;
}

void checktables(void) {
  expect(prog.threadcount >= 1, "no thread", prog.threadcount);
  expect(prog.tokencount >= 1, "no token", prog.tokencount);
  // Each table is grown as soon as it fills, so a free entry always remains.
  expect(prog.tokencount < prog.tokenmax, "token table overfull",
         prog.tokencount);
  expect(prog.threadcount < prog.threadmax, "thread tables overfull",
         prog.threadcount);
  expect(prog.stringcount < prog.stringmax, "string table overfull",
         prog.stringcount);
  expect(prog.stringcount <= MAX_STRINGS, "more texts than Port can index",
         prog.stringcount);
  expect(prog.tokens[prog.tokencount - 1] == SEPARATOR_TOKEN,
         "table does not end with a separator", prog.tokencount - 1);

  // Walk the table thread by thread: thread i begins right after the
  // (i-1)th separator, and texts are numbered in script order.
  int32_t thread = 0;
  int32_t nexttext = 0;
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    Token t = prog.tokens[i];
    uint8_t op = tokenop(t);
    uint8_t port = tokenport(t);
    uint16_t patt = tokenpatt(t);
    bool firstofthread = i == 0 || prog.tokens[i - 1] == SEPARATOR_TOKEN;
    if (t == SEPARATOR_TOKEN) {
      // Two separators in a row are the end mark, which is never kept;
      // only thread 0 may be empty.
      expect(!firstofthread || i == 0, "empty thread after thread 0", i);
      ++thread;
      continue;
    }
    expect(thread < prog.threadcount, "token after the last thread", i);
    if (firstofthread) {
      expect(prog.threadstart[thread] == i, "thread start misplaced", i);
    }
    switch (op) {
      case OP_WAIT:
      case OP_OUTPUT:
      case OP_TOGGLE:
        // A pattern made from text never sets a value bit it does not govern.
        expect((patt & 0xFF & ~(patt >> 8)) == 0, "stray value bit", i);
        break;
      case OP_DELAY:
        expect(port == 0, "DELAY with a Port", i);
        expect(canonicaltime(patt), "DELAY time not canonical", i);
        break;
      case OP_REPEAT:
        expect(canonicaltime(patt), "REPEAT period not canonical", i);
        break;
      case OP_KEY:
        expect(patt == 0, "KEY with a Patt", i);
        break;
      case OP_SPAWN:
      case OP_NOTATE:
      case OP_KILL:
        expect(patt == 0, "text statement with a Patt", i);
        expect(port < prog.stringcount, "text index outside strings", i);
        expect(port == nexttext, "texts out of script order", i);
        expect(prog.strings[port] != nullptr, "text missing", i);
        expect(prog.strings[port][0] != '\0', "empty text stored", i);
        ++nexttext;
        break;
      case OP_NAME:
        expect(patt == 0, "NAME with a Patt", i);
        expect(port == thread, "NAME token names another thread", i);
        expect(port != 0, "thread 0's NAME token kept", i);
        expect(prog.threadname[port] != nullptr &&
                   prog.threadname[port][0] != '\0',
               "named thread without its name", i);
        break;
      default:
        broken("opcode the compiler never makes", i);
    }
  }
  expect(thread == prog.threadcount, "separators and threads disagree",
         thread);
  expect(nexttext == prog.stringcount, "texts no token refers to",
         nexttext);

  // Thread 0 has no start only when the script begins with a separator;
  // every later thread has a token of its own.
  if (prog.threadstart[0] == -1) {
    expect(prog.tokens[0] == SEPARATOR_TOKEN, "thread 0 without start", 0);
  }
  for (int32_t i = 0; i < prog.threadcount; ++i) {
    int32_t start = prog.threadstart[i];
    expect(prog.threadname[i] != nullptr, "thread without a name text", i);
    if (start == -1 && i == 0) continue;
    expect(start >= 0 && start < prog.tokencount, "start outside tokens", i);
    expect(prog.tokens[start] != SEPARATOR_TOKEN, "start on a separator", i);
    int32_t end = start;
    while (end < prog.tokencount && prog.tokens[end] != SEPARATOR_TOKEN) ++end;
    expect(end < prog.tokencount, "run without separator", i);
  }
}

Loaded snapshot(void) {
  Loaded l;
  l.tokens.assign(prog.tokens, prog.tokens + prog.tokencount);
  l.threadstart.assign(prog.threadstart, prog.threadstart + prog.threadcount);
  for (int32_t i = 0; i < prog.stringcount; ++i) {
    l.strings.emplace_back(prog.strings[i]);
  }
  for (int32_t i = 0; i < prog.threadcount; ++i) {
    l.threadname.emplace_back(prog.threadname[i]);
  }
  l.linenumber = prog.linenumber;
  return l;
}

// Loads the first size bytes of script (a read-only stream over them).
Loaded load(std::vector<char> &script, size_t size, uint8_t verbose) {
  resettables();
  prog.verbose = verbose;
  prog.infile = fmemopen(script.data(), size, "r");
  prog.logfile = fopen("/dev/null", "w");
  if (prog.infile == nullptr || prog.logfile == nullptr) {
    perror("fuzz_load: stream");
    abort();
  }
  loadprogram();
  checktables();
  Loaded l = snapshot();
  resettables();  // frees everything, so the leak check sees a clean slate
  return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One spare byte so that an empty input still has a buffer to point at.
  std::vector<char> script(size + 1, '\0');
  if (size > 0) memcpy(script.data(), data, size);

  Loaded quiet = load(script, size, 0);
  Loaded listed = load(script, size, FLAG_ON);
  expect(quiet.tokens == listed.tokens, "listing changed the tokens", 0);
  expect(quiet.threadstart == listed.threadstart,
         "listing changed the thread starts", 0);
  expect(quiet.strings == listed.strings, "listing changed the texts", 0);
  expect(quiet.threadname == listed.threadname,
         "listing changed the thread names", 0);
  expect(quiet.linenumber == listed.linenumber,
         "listing changed the line count", quiet.linenumber);
  return 0;
}
