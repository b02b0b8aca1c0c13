#include "driver/loader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "compiler/compiler.h"
#include "core/fatal.h"
#include "core/log.h"
#include "core/tables.h"

int readscriptline(char *buf, FILE *in, uint64_t *length) {
  int n = 0;
  uint64_t total = 0;
  bool any = false;
  for (;;) {
    int c = getc(in);
    if (c == EOF) break;
    if (c == 0x1A) {  // end of a text file; nothing after it is read
      ungetc(c, in);
      break;
    }
    if (c == '\r') {  // CR LF ends a line as LF alone does
      int next = getc(in);
      if (next == '\n') {
        c = '\n';
      } else if (next != EOF) {
        ungetc(next, in);
      }
    }
    any = true;
    // Only the first 79 characters are kept: a longer line is measured,
    // never split, so no piece of it can compile as a line of its own.
    if (n < LINE_BUFFER - 1) buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
    // Past the measured length the rest of the line is passed over as it
    // comes, unkept and uncounted: an endless line costs nothing to hold.
    if (total <= LINE_MEASURED) ++total;
  }
  buf[n] = '\0';
  *length = total;
  return any ? 1 : 0;
}

namespace {
// Appends a compiled token and the number of the line it came from; grows
// both tables as soon as they are full, so the next append always finds
// room.
void appendtoken(Token token) {
  prog.tokenline[prog.tokencount] = prog.linenumber;
  prog.tokens[prog.tokencount++] = token;
  if (prog.tokencount == prog.tokenmax) {
    int32_t linemax = prog.tokenmax;
    prog.tokens = static_cast<Token *>(
        growtable(prog.tokens, &prog.tokenmax, sizeof(Token)));
    prog.tokenline = static_cast<int32_t *>(
        growtable(prog.tokenline, &linemax, sizeof(int32_t)));
  }
}

void openthread(void) {
  ++prog.threadcount;
  if (prog.threadcount == prog.threadmax) {
    int32_t namemax = prog.threadmax;
    prog.threadstart = static_cast<int32_t *>(
        growtable(prog.threadstart, &prog.threadmax, sizeof(int32_t)));
    prog.threadname = static_cast<char **>(
        growtable(prog.threadname, &namemax, sizeof(char *)));
  }
  prog.threadstart[prog.threadcount] = -1;
  prog.threadname[prog.threadcount] = copytext("");
}

int endmarkreached(void) {
  return prog.tokencount >= 2 &&
         prog.tokens[prog.tokencount - 1] == SEPARATOR_TOKEN &&
         prog.tokens[prog.tokencount - 2] == SEPARATOR_TOKEN;
}

// Every KILL's threads, once the names are final: a KILL then visits its
// own threads, not every thread's name, at each pass.
void resolvekills(void) {
  std::unordered_map<std::string_view, std::vector<int32_t>> named;  // names KILLs use
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    if (tokenop(prog.tokens[i]) == OP_KILL) named[prog.strings[tokenport(prog.tokens[i])]];
  }
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    auto found = named.find(prog.threadname[t]);
    if (found != named.end()) found->second.push_back(t);
  }
  size_t texts = prog.stringcount > 0 ? static_cast<size_t>(prog.stringcount) : 1;
  size_t total = 0;
  for (const auto &entry : named) total += entry.second.size();
  free(prog.killfirst);
  free(prog.killcount);
  free(prog.killthread);
  prog.killfirst = static_cast<int32_t *>(calloc(texts, sizeof(int32_t)));
  prog.killcount = static_cast<int32_t *>(calloc(texts, sizeof(int32_t)));
  prog.killthread = static_cast<int32_t *>(calloc(total > 0 ? total : 1, sizeof(int32_t)));
  if (prog.killfirst == nullptr || prog.killcount == nullptr || prog.killthread == nullptr) {
    outofmemory();
  }
  std::unordered_map<std::string_view, int32_t> first;  // where each name's range begins
  int32_t used = 0;
  for (const auto &entry : named) {
    first[entry.first] = used;
    for (int32_t t : entry.second) prog.killthread[used++] = t;
  }
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    if (tokenop(prog.tokens[i]) != OP_KILL) continue;
    uint8_t s = tokenport(prog.tokens[i]);
    std::string_view name = prog.strings[s];
    prog.killfirst[s] = first[name];
    prog.killcount[s] = static_cast<int32_t>(named[name].size());
  }
}

}  // namespace

void loadprogram(const ScriptSink *sink) {
  // Preparation: every table starts with TABLE_GROWTH entries.
  auto allocate = [](size_t entrysize) {
    void *table = calloc(TABLE_GROWTH, entrysize);
    if (table == nullptr) outofmemory();
    return table;
  };
  prog.tokenmax = prog.stringmax = prog.threadmax = TABLE_GROWTH;
  prog.tokens = static_cast<Token *>(allocate(sizeof(Token)));
  prog.tokenline = static_cast<int32_t *>(allocate(sizeof(int32_t)));
  prog.tokencount = 0;
  prog.threadstart = static_cast<int32_t *>(allocate(sizeof(int32_t)));
  prog.threadcount = 0;
  prog.threadstart[0] = -1;
  prog.strings = static_cast<char **>(allocate(sizeof(char *)));
  prog.stringcount = 0;
  prog.threadname = static_cast<char **>(allocate(sizeof(char *)));
  prog.threadname[0] = copytext("");

  char line[LINE_BUFFER];
  char last[LINE_BUFFER] = "";  // the line read last, for a repeated "$"
  uint64_t length = 0, lastlength = 0;
  int lastwasseparator = 0;
  while (!endmarkreached()) {
    if (readscriptline(line, prog.infile, &length)) {
      memcpy(last, line, sizeof last);
      lastlength = length;
    } else if (lastwasseparator) {
      // The script ends on a single "$" line: it counts once more and its
      // second appearance completes the end mark.
      memcpy(line, last, sizeof line);
      length = lastlength;
    } else {
      // The script ended without its end mark: close the open thread and
      // complete the mark, and tell the user where the script stopped.
      logprintf("%03ld: %-40.40s |  Warning: script ended without its end "
                "mark; end mark completed\n",
                static_cast<long>(prog.linenumber) + 1, "<end of input>");
      if (sink != nullptr) {
        sink->report(prog.linenumber < INT32_MAX ? prog.linenumber + 1 : INT32_MAX, false,
                     "the script ends without its end mark (two '$' lines): end mark completed");
      }
      if (prog.tokencount == 0 ||
          prog.tokens[prog.tokencount - 1] != SEPARATOR_TOKEN) {
        appendtoken(SEPARATOR_TOKEN);
        openthread();
      }
      appendtoken(SEPARATOR_TOKEN);
      openthread();
      break;
    }
    // An endless input (a pipe of blank lines) must not run the count past
    // its largest value: from there on every line shares that number.
    if (prog.linenumber < INT32_MAX) ++prog.linenumber;
    Token token =
        length > LINE_BUFFER - 1 ? compilelongline(line, length, sink) : compileline(line, sink);
    if (sink != nullptr) sink->compiled(line, length, token);
    lastwasseparator = token == SEPARATOR_TOKEN;
    if (token == NO_TOKEN || token == NAME0_TOKEN) continue;
    appendtoken(token);
    if (token != SEPARATOR_TOKEN) {
      if (prog.threadstart[prog.threadcount] == -1) {
        prog.threadstart[prog.threadcount] = prog.tokencount - 1;
      }
    } else {
      openthread();
    }
  }
  // The second separator of the end mark is dropped; the count of threads
  // is one less than the separators appended.
  --prog.tokencount;
  --prog.threadcount;
  resolvekills();
}
