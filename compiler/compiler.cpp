#include "compiler/compiler.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/literals.h"
#include "compiler/opnames.h"
#include "core/log.h"
#include "core/tables.h"
#include "text/casefold.h"

namespace {

enum Statement {
  ST_WAIT, ST_OUTPUT, ST_TOGGLE, ST_DELAY, ST_REPEAT, ST_KEY,
  ST_SPAWN, ST_NOTATE, ST_KILL, ST_NAME, ST_SEPARATOR, STATEMENT_KINDS
};

struct Keyword {
  uint8_t op;   // the opcode it compiles to; the keyword is the opcode's name
  int letters;  // how many leading letters select the statement
};

// Tried in this order; no two share their compared letters.
const Keyword KEYWORDS[] = {
    {OP_WAIT, 1},
    {OP_OUTPUT, 1},
    {OP_TOGGLE, 1},
    {OP_DELAY, 1},
    {OP_REPEAT, 1},
    {OP_KEY, 2},
    {OP_SPAWN, 1},  // a first word SYSTEM lands here too
    {OP_NOTATE, 2},
    {OP_KILL, 2},
    {OP_NAME, 2},
    {OP_SEPARATOR, 1},
};
static_assert(sizeof KEYWORDS / sizeof KEYWORDS[0] == STATEMENT_KINDS,
              "one keyword per statement kind, in enum order");

const char *keyword(const Keyword &kw) { return opname(kw.op); }

// The statement's name in echoes and messages: its keyword, but SPAWN
// goes by its other keyword there.
const char *title(const Keyword &kw) {
  return kw.op == OP_SPAWN ? "SYSTEM" : keyword(kw);
}

// ------------------------------------------------------------------ log

// "%03ld: %-40.40s |  ": the line's number and its text, as the listing
// and every error message begin.
void writelistingprefix(const char *line) {
  logprintf("%03ld: %-40.40s |  ", static_cast<long>(prog.linenumber), line);
}

// The line being compiled, and where its errors go.
struct Compiling {
  const char *line;        // the line as read, for the listing prefix
  const ScriptSink *sink;  // nullptr: errors go to the log
};

// A script error: the offending line's listing prefix (already written in
// the verbose listing), then the message, in the log or to the sink. The
// line yields no token.
Token scripterror(const Compiling &c, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

Token scripterror(const Compiling &c, const char *format, ...) {
  if (!prog.verbose) writelistingprefix(c.line);
  if (prog.scripterrors == 0) prog.firsterrorline = prog.linenumber;
  if (prog.scripterrors < INT32_MAX) ++prog.scripterrors;
  va_list args;
  va_start(args, format);
  if (c.sink != nullptr) {
    // "Error: what\n" is reported as what, at its line.
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    const char *what = strncmp(text, "Error: ", 7) == 0 ? text + 7 : text;
    text[strcspn(text, "\n")] = '\0';
    c.sink->report(prog.linenumber, true, what);
  } else {
    vlogprintf(format, args);
  }
  va_end(args);
  return NO_TOKEN;
}

// ------------------------------------------------------------ scanning

int isscanspace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// A signed decimal integer at the start of a word, as a "%d" conversion
// takes it: leading white space, an optional sign, at least one digit;
// whatever follows the digits is ignored. Every digit is taken and the
// value wraps modulo 2^32 (two's complement) instead of overflowing, so a
// port written beyond the 32-bit range still lands on the written number
// modulo 256. Returns 0 when the word holds no number.
int scaninteger(const char *word, uint32_t *value) {
  const char *p = word;
  while (isscanspace(*p)) ++p;
  int negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return 0;
  uint32_t total = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    total = total * 10u + static_cast<uint32_t>(*p - '0');  // wraps, defined
  }
  *value = negative ? 0u - total : total;
  return 1;
}

// A single-precision number at the start of a word, as a "%f" conversion
// takes it; whatever follows the number is ignored. NaN has no time and is
// refused; infinities pass and the time encoder gives them their codes.
int scanfloat(const char *word, float *value) {
  char *end = nullptr;
  float scanned = strtof(word, &end);
  if (end == word || std::isnan(scanned)) return 0;
  *value = scanned;
  return 1;
}

// The statement a first word selects (STATEMENT_KINDS: none, a comment).
int statementkind(const char *first) {
  int kind = 0;
  while (kind < STATEMENT_KINDS &&
         !prefixmatch(first, keyword(KEYWORDS[kind]), KEYWORDS[kind].letters)) {
    ++kind;
  }
  return kind;
}

// ---------------------------------------------------------- statements

// WAIT <port> <pattern>, OUTPUT <port> <pattern>, TOGGLE <port> <pattern>
Token portstatement(const Keyword &kw, const Compiling &line, char **at) {
  const char *word = nextword(at);
  if (word == nullptr) {
    return scripterror(line, "Error: too few args to %s\n", title(kw));
  }
  uint32_t port = 0;
  if (!scaninteger(word, &port)) {
    return scripterror(line, "Error: could not scan <port> in %s\n", title(kw));
  }
  word = nextword(at);
  if (word == nullptr) {
    return scripterror(line, "Error: too few args to %s\n", title(kw));
  }
  uint16_t pattern = texttopattern(word);
  if (prog.verbose) {
    // The echo shows the port's low 16 bits unsigned (-1 reads 65535) and
    // the pattern as compiled, not as written.
    logprintf("%-6s %d %s\n", title(kw), static_cast<int>(port & 0xFFFFu),
              patterntotext(pattern));
  }
  return maketoken(kw.op, static_cast<uint8_t>(port & 0xFFu), pattern);
}

// DELAY <time>
Token delaystatement(const Keyword &kw, const Compiling &line, char **at) {
  const char *word = nextword(at);
  if (word == nullptr) return scripterror(line, "Error: too few args to %s\n", title(kw));
  float seconds = 0.0f;
  if (!scanfloat(word, &seconds)) {
    return scripterror(line, "Error: could not scan <time> in %s\n", title(kw));
  }
  if (prog.verbose) logprintf("%s %6.1f\n", title(kw), static_cast<double>(seconds));
  return maketoken(kw.op, 0, secondstotimecode(seconds));
}

// REPEAT <offset> <period>
Token repeatstatement(const Keyword &kw, const Compiling &line, char **at) {
  const char *word = nextword(at);
  if (word == nullptr) {
    return scripterror(line, "Error: too few args to %s\n", title(kw));
  }
  float offset = 0.0f;
  if (!scanfloat(word, &offset)) {
    return scripterror(line, "Error: could not scan <offset> or <period> in %s\n",
                       title(kw));
  }
  word = nextword(at);
  if (word == nullptr) {
    return scripterror(line, "Error: too few args to %s\n", title(kw));
  }
  float period = 0.0f;
  if (!scanfloat(word, &period)) {
    return scripterror(line, "Error: could not scan <period> in %s\n", title(kw));
  }
  // The token has room for one time only: it keeps the period. The offset
  // is scanned so that a bad one is reported, and shown in the listing.
  uint16_t periodcode = secondstotimecode(period);
  if (prog.verbose) {
    logprintf("%s %6.1f %6.1f\n", title(kw), static_cast<double>(offset),
              static_cast<double>(period));
  }
  return maketoken(kw.op, 0, periodcode);
}

// KEY <character>
Token keystatement(const Keyword &kw, const Compiling &line, char **at) {
  const char *word = nextword(at);
  if (word == nullptr) return scripterror(line, "Error: too few args to %s\n", title(kw));
  char key = word[0];  // as written: the key's case matters
  if (prog.verbose) logprintf("%s %c\n", title(kw), key);
  return maketoken(kw.op, static_cast<uint8_t>(key), 0);
}

// SPAWN <command line>, NOTATE <note>, KILL <thread name>
Token textstatement(const Keyword &kw, const Compiling &line, const char *rest) {
  if (rest[0] == '\0') {
    return scripterror(line, "Error: too few args to %s\n", title(kw));
  }
  // A token carries the text's index in 8 bits: texts 0 to 255 only.
  if (prog.stringcount >= MAX_STRINGS) {
    return scripterror(line, "Error: too many texts (more than %d) for %s\n",
                       static_cast<int>(MAX_STRINGS), title(kw));
  }
  int32_t index = prog.stringcount;
  prog.strings[index] = copytext(rest);
  if (prog.verbose) {
    logprintf("%s  (%ld) \"%s\"\n", title(kw), static_cast<long>(index),
              prog.strings[index]);
  }
  ++prog.stringcount;
  // Grown as soon as it is full, so the next text always finds a free entry.
  if (prog.stringcount == prog.stringmax) {
    prog.strings = static_cast<char **>(
        growtable(prog.strings, &prog.stringmax, sizeof(char *)));
  }
  return maketoken(kw.op, static_cast<uint8_t>(index), 0);
}

// NAME <thread name>
Token namestatement(const Keyword &kw, const Compiling &line, const char *rest) {
  if (rest[0] == '\0') return scripterror(line, "Error: too few args to %s\n", title(kw));
  // A token carries the thread's index in 8 bits: threads 0 to 255 only.
  if (prog.threadcount > MAX_NAMED_THREAD) {
    return scripterror(line, "Error: %s in thread %ld, beyond thread %d\n", title(kw),
                       static_cast<long>(prog.threadcount),
                       static_cast<int>(MAX_NAMED_THREAD));
  }
  int32_t thread = prog.threadcount;
  free(prog.threadname[thread]);  // a thread named twice keeps the later name
  prog.threadname[thread] = copytext(rest);
  if (prog.verbose) {
    logprintf("%s  (%ld) \"%s\"\n", title(kw), static_cast<long>(thread),
              prog.threadname[thread]);
  }
  // Thread 0's token is exactly NAME0_TOKEN, which the loader does not keep.
  return maketoken(kw.op, static_cast<uint8_t>(thread), 0);
}

}  // namespace

// ------------------------------------------------------------ the line

char *nextword(char **at) {
  char *p = *at;
  while (*p == ' ') ++p;
  if (*p == '\0') {
    *at = p;
    return nullptr;
  }
  char *word = p;
  while (*p != ' ' && *p != '\0') ++p;
  if (*p == ' ') *p++ = '\0';
  *at = p;
  return word;
}

Token compileline(char *line, const ScriptSink *sink) {
  // Never look past the loader's buffer, whatever the line holds: a NUL
  // inside the line simply ends it early.
  size_t length = strnlen(line, LINE_BUFFER - 1);
  const char *newline = static_cast<const char *>(memchr(line, '\n', length));
  if (newline != nullptr) {
    length = static_cast<size_t>(newline - line);
    line[length] = '\0';
  }
  // Words are cut in a private copy, so the line stays whole for the listing.
  char words[LINE_BUFFER];
  memcpy(words, line, length);
  words[length] = '\0';

  char *at = words;
  const char *first = nextword(&at);
  if (first == nullptr) return NO_TOKEN;  // blank lines are not even listed
  if (prog.verbose) writelistingprefix(line);

  int kind = statementkind(first);
  const Compiling c{line, sink};
  switch (kind) {
    case ST_WAIT:
    case ST_OUTPUT:
    case ST_TOGGLE: return portstatement(KEYWORDS[kind], c, &at);
    case ST_DELAY: return delaystatement(KEYWORDS[kind], c, &at);
    case ST_REPEAT: return repeatstatement(KEYWORDS[kind], c, &at);
    case ST_KEY: return keystatement(KEYWORDS[kind], c, &at);
    case ST_SPAWN:
    case ST_NOTATE:
    case ST_KILL: return textstatement(KEYWORDS[kind], c, at);
    case ST_NAME: return namestatement(KEYWORDS[kind], c, at);
    case ST_SEPARATOR:
      if (prog.verbose) logprintf("\n");
      return SEPARATOR_TOKEN;
    default:
      // No keyword: a comment. It closes its listing line and nothing more.
      if (prog.verbose) logprintf("\n");
      return NO_TOKEN;
  }
}

Token compilelongline(char *line, uint64_t length, const ScriptSink *sink) {
  char words[LINE_BUFFER];
  snprintf(words, sizeof words, "%s", line);
  char *at = words;
  const char *first = nextword(&at);
  int kind = first != nullptr ? statementkind(first) : STATEMENT_KINDS;
  if (kind == ST_SEPARATOR || kind == STATEMENT_KINDS) return compileline(line, sink);
  char *newline = strchr(line, '\n');
  if (newline != nullptr) *newline = '\0';
  if (prog.verbose) writelistingprefix(line);
  const Compiling c{line, sink};
  if (length > LINE_MEASURED) {
    return scripterror(c, "Error: line too long (over %llu characters)\n",
                       static_cast<unsigned long long>(LINE_MEASURED));
  }
  return scripterror(c, "Error: line too long (%llu characters, at most %d)\n",
                     static_cast<unsigned long long>(length), LINE_BUFFER - 1);
}

int keywordof(const char *first, const char **word, int *letters) {
  int kind = statementkind(first);
  if (kind == STATEMENT_KINDS) return -1;
  *word = keyword(KEYWORDS[kind]);
  *letters = KEYWORDS[kind].letters;
  return KEYWORDS[kind].op;
}

const char *documentedword(int i) {
  for (const Keyword &kw : KEYWORDS) {
    if (kw.op == OP_SEPARATOR) continue;
    if (i-- == 0) return keyword(kw);
    if (kw.op == OP_SPAWN && i-- == 0) return title(kw);
  }
  return nullptr;
}
