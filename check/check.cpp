#include "check/check.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/literals.h"
#include "core/tables.h"
#include "executor/delay.h"
#include "port/port.h"
#include "text/printable.h"

namespace {

// The check under way: what its reports name, and their counts.
struct CheckRun {
  std::string name = "-";  // printable: a name is whatever the file is called
  int errors = 0;
  int warnings = 0;
};
CheckRun checkrun;

// One report, out as it is found: the reports keep the order of the lines.
// A report quotes the script's own words, which never reach the terminal
// as a control sequence.
void report(int32_t line, bool error, const char *text) {
  fprintf(stderr, "%s:%ld: %s: %s\n", checkrun.name.c_str(), static_cast<long>(line),
          error ? "error" : "warning", printable(text).c_str());
  ++(error ? checkrun.errors : checkrun.warnings);
}

void warn(int32_t line, const char *format, ...) __attribute__((format(printf, 2, 3)));
void warn(int32_t line, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  report(line, false, text);
}

std::string upper(const std::string &word) {
  std::string u = word;
  for (char &c : u) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return u;
}

// A name without its surrounding spaces, in capitals.
std::string loose(const char *name) {
  std::string s = upper(name);
  size_t first = s.find_first_not_of(' '), last = s.find_last_not_of(' ');
  return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// word is keyword with one letter missing, one extra, or two neighbours
// swapped.
bool nearmiss(const std::string &word, const std::string &keyword) {
  size_t a = word.size(), b = keyword.size();
  if (a == b) {
    for (size_t i = 0; i + 1 < a; ++i) {
      std::string swapped = word;
      std::swap(swapped[i], swapped[i + 1]);
      if (swapped != word && swapped == keyword) return true;
    }
    return false;
  }
  const std::string &longer = a > b ? word : keyword;
  const std::string &shorter = a > b ? keyword : word;
  if (longer.size() != shorter.size() + 1) return false;
  for (size_t i = 0; i < longer.size(); ++i) {
    if (longer.substr(0, i) + longer.substr(i + 1) == shorter) return true;
  }
  return false;
}

// The words of a line, cut as the compiler cuts them (its first 79
// characters, up to its newline).
std::vector<std::string> words(const char *line) {
  char copy[LINE_BUFFER];
  size_t length = strnlen(line, LINE_BUFFER - 1);
  memcpy(copy, line, length);
  copy[length] = '\0';
  copy[strcspn(copy, "\n")] = '\0';
  std::vector<std::string> out;
  char *at = copy;
  for (const char *word = nextword(&at); word != nullptr; word = nextword(&at)) {
    out.push_back(word);
  }
  return out;
}

// What a number's scan passed over: the rest of its word.
void leftover(int32_t line, const char *what, const std::string &word, size_t used,
              const char *hint) {
  if (used == 0 || used >= word.size()) return;
  warn(line, "%s '%s': the characters after '%s' are passed over%s", what, word.c_str(),
       word.substr(0, used).c_str(), hint);
}

// How many characters of word a "%d" scan takes (0: none).
size_t integerlength(const std::string &word) {
  size_t i = 0;
  while (i < word.size() && (word[i] == '\t' || word[i] == '\v' || word[i] == '\f' || word[i] == '\r')) ++i;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
  size_t digits = i;
  while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
  return i > digits ? i : 0;
}

// How many characters of word a "%f" scan takes (0: none).
size_t floatlength(const std::string &word, double *value) {
  char *end = nullptr;
  *value = strtod(word.c_str(), &end);
  return static_cast<size_t>(end - word.c_str());
}

void portwords(int32_t line, const char *title, const std::vector<std::string> &w, Token token) {
  if (w.size() < 3) return;  // the compiler reported it
  leftover(line, "port", w[1], integerlength(w[1]), "");
  int32_t port = tokenport(token);
  if (port > 1 && !portisflag(port)) {
    // A port the run has no lines and no bank for ends it; the banks the
    // command line declared are named, so the warning stays true beside them.
    unsigned banks = portflagged();
    std::string declared;
    for (int32_t n = FLAG_FIRST; n < PORT_NUMBERS; ++n) {
      if (((banks >> n) & 1) != 0) declared += (declared.empty() ? "" : ",") + std::to_string(n);
    }
    if (declared.empty()) {
      warn(line, "%s on logical port %ld: only ports 0 and 1 exist; the run ends when this "
                 "line is reached", title, static_cast<long>(port));
    } else {
      warn(line, "%s on logical port %ld: only ports 0 and 1 and the flag banks of --flags=%s "
                 "exist; the run ends when this line is reached",
           title, static_cast<long>(port), declared.c_str());
    }
  }
  const std::string &p = w[2];
  size_t end = p.find_first_of("\t\r");
  std::string pattern = p.substr(0, end);
  if (pattern.find_first_not_of("10.") != std::string::npos || pattern.size() > 8) {
    warn(line, "pattern '%s' %s: it compiles as %s (patterns are up to eight of 1, 0 and '.')",
         pattern.c_str(),
         pattern.size() > 8 ? "is longer than eight places" : "holds characters other than 1, 0 and '.'",
         patterntotext(tokenpatt(token)));
  }
}

void delayword(int32_t line, const std::vector<std::string> &w) {
  if (w.size() < 2) return;
  double written = 0;
  size_t used = floatlength(w[1], &written);
  leftover(line, "time", w[1], used, " (times are in seconds)");
  if (used == 0 || !std::isfinite(written) || written <= 0) return;
  DelayAdvice advice = delayadvice(written);
  if (advice.waits == advice.meant) return;
  std::string written1 = w[1].substr(0, used);
  if (advice.waits == DELAY_NEVER) {
    warn(line, "DELAY %s never ends: the longest time is 16383 s", written1.c_str());
  } else if (advice.better[0] != '\0') {
    warn(line, "DELAY %s waits %lld ms, not %lld ms: DELAY %s waits %lld ms", written1.c_str(),
         static_cast<long long>(advice.waits), static_cast<long long>(advice.meant),
         advice.better, static_cast<long long>(advice.meant));
  } else {
    warn(line, "DELAY %s waits %lld ms, not %lld ms", written1.c_str(),
         static_cast<long long>(advice.waits), static_cast<long long>(advice.meant));
  }
}

// The first word as the statement it selects: a spelling the language
// does not document, or a comment that is one letter away from a keyword.
void firstword(int32_t line, const std::string &first, uint8_t op, bool statement) {
  std::string u = upper(first);
  if (statement) {
    const char *keyword = nullptr;
    int letters = 0;
    keywordof(first.c_str(), &keyword, &letters);
    std::string k = keyword;
    bool spelled = (u.size() >= static_cast<size_t>(letters) && k.compare(0, u.size(), u) == 0 &&
                    u.size() <= k.size()) ||
                   (op == OP_SPAWN && u == "SYSTEM");
    if (!spelled) {
      warn(line, "'%s' is read as %s: write %s, or start a comment with ';'", first.c_str(),
           keyword, keyword);
    }
    return;
  }
  if (u.size() < 3) return;
  for (int i = 0; documentedword(i) != nullptr; ++i) {
    const char *k = documentedword(i);
    if (nearmiss(u, k)) {
      warn(line, "'%s' is not a keyword, so this line is a comment: did you mean %s? (start "
                 "comments with ';')", first.c_str(), k);
      return;
    }
  }
}

}  // namespace


DelayAdvice delayadvice(double written) {
  DelayAdvice a{};
  a.waits = delayticks(secondstotimecode(static_cast<float>(written)));
  a.meant = std::llround(written * 1000.0);
  if (a.waits == a.meant || a.meant <= 0) return a;
  // The shortest decimal at or just above the meant time whose literal
  // decodes to the meant milliseconds.
  for (int digits = 3; digits <= 7; ++digits) {
    double step = std::pow(10.0, -digits);
    for (int k = 0; k < 10; ++k) {
      char text[24];
      snprintf(text, sizeof text, "%.*f", digits, static_cast<double>(a.meant) / 1000.0 + k * step);
      if (delayticks(secondstotimecode(strtof(text, nullptr))) == a.meant) {
        // Trailing zeros say nothing.
        char *end = text + strlen(text) - 1;
        while (*end == '0') *end-- = '\0';
        if (*end == '.') *end = '\0';
        snprintf(a.better, sizeof a.better, "%s", text);
        return a;
      }
    }
  }
  return a;
}

namespace {

// The warnings of one loaded line: its first 79 characters (as compiled),
// its whole length and the token it gave.
void checkline(const char *line, uint64_t length, Token token) {
  int32_t at = prog.linenumber;
  if (length > LINE_BUFFER - 1 && token == NO_TOKEN) return;  // the compiler said it
  const char *text = line;
  if (at == 1 && strncmp(text, "\xEF\xBB\xBF", 3) == 0) {
    warn(at, "the file starts with a byte-order mark, which makes this line a comment: save "
             "the file without it");
    return;
  }
  std::vector<std::string> w = words(text);
  if (w.empty()) return;
  const std::string &first = w[0];
  if (first[0] == '\t') {
    size_t start = first.find_first_not_of('\t');
    const char *keyword = nullptr;
    int letters = 0;
    if (start != std::string::npos && keywordof(first.c_str() + start, &keyword, &letters) >= 0 &&
        strcmp(keyword, "$") != 0) {
      warn(at, "the TAB before '%s' makes this line a comment: indent with spaces",
           first.c_str() + start);
    }
    return;
  }
  const char *keyword = nullptr;
  int letters = 0;
  int op = keywordof(first.c_str(), &keyword, &letters);
  if (op == OP_SEPARATOR) return;
  firstword(at, first, static_cast<uint8_t>(op < 0 ? 0 : op), op >= 0);
  if (token == NO_TOKEN || op < 0) return;
  switch (op) {
    case OP_WAIT:
    case OP_OUTPUT:
    case OP_TOGGLE: portwords(at, keyword, w, token); break;
    case OP_DELAY: delayword(at, w); break;
    case OP_REPEAT:
      if (w.size() >= 3) {
        double value = 0;
        leftover(at, "time", w[1], floatlength(w[1], &value), " (times are in seconds)");
        leftover(at, "time", w[2], floatlength(w[2], &value), " (times are in seconds)");
      }
      break;
    default: break;
  }
}

// A KILL whose name no thread has exactly: the loader found each KILL's
// threads, so names are compared loosely only for a KILL that found none,
// each thread's loose name made once (alikes: loose name, its first thread).
void killname(int32_t at, std::unordered_map<std::string, int32_t> *alikes) {
  uint8_t text = tokenport(prog.tokens[at]);
  if (prog.killcount[text] > 0) return;
  const char *name = prog.strings[text];
  if (alikes->empty()) {
    for (int32_t n = 0; n < prog.threadcount; ++n) alikes->emplace(loose(prog.threadname[n]), n);
  }
  auto similar = alikes->find(loose(name));
  int32_t alike = similar != alikes->end() ? similar->second : -1;  // differs only in case or spaces
  if (alike >= 0) {
    warn(prog.tokenline[at], "KILL '%s', but thread %ld is named '%s': names must match "
                             "exactly, spaces and case included", name,
         static_cast<long>(alike), prog.threadname[alike]);
  } else {
    warn(prog.tokenline[at], "KILL '%s': no thread is named '%s'", name, name);
  }
}

// A NOTATE reached from a WAIT with nothing that waits on the way round
// the thread (tokens start to start + n) back to that WAIT prints at every
// pass while the input holds.
void notateloop(int32_t start, int32_t n, int32_t i) {
  auto waits = [](uint8_t op) { return op == OP_WAIT || op == OP_DELAY || op == OP_KEY; };
  int32_t back = 1;
  while (back < n && !waits(tokenop(prog.tokens[start + (i - back + n) % n]))) ++back;
  int32_t wait = start + (i - back + n) % n;
  if (back >= n || tokenop(prog.tokens[wait]) != OP_WAIT) return;
  int32_t ahead = 1;
  while (start + (i + ahead) % n != wait && !waits(tokenop(prog.tokens[start + (i + ahead) % n]))) ++ahead;
  if (start + (i + ahead) % n != wait) return;
  warn(prog.tokenline[start + i], "this NOTATE follows the WAIT at line %ld with no DELAY, "
                                  "KEY or WAIT before that WAIT comes round again: it prints at "
                                  "every pass while the input holds",
       static_cast<long>(prog.tokenline[wait]));
}

void sinkreport(int32_t line, bool error, const char *text) { report(line, error, text); }

const ScriptSink CHECKSINK = {sinkreport, checkline};

}  // namespace

const ScriptSink *checkbegin(const char *name) {
  checkreset();
  checkrun.name = printable(name);
  return &CHECKSINK;
}

void checkprogram(void) {
  // Threads lie in token order, which is line order: each token is
  // looked at in its turn.
  std::unordered_map<std::string, int32_t> alikes;
  for (int32_t th = 0; th < prog.threadcount; ++th) {
    int32_t start = prog.threadstart[th];
    if (start < 0) continue;
    int32_t end = start;
    while (end < prog.tokencount && tokenop(prog.tokens[end]) != OP_SEPARATOR) ++end;
    for (int32_t i = start; i < end; ++i) {
      uint8_t op = tokenop(prog.tokens[i]);
      if (op == OP_KILL) killname(i, &alikes);
      if (op == OP_NOTATE) notateloop(start, end - start, i - start);
    }
  }
}

int checkfinish(void) {
  int errors = checkrun.errors, warnings = checkrun.warnings;
  fprintf(stderr, "%s: %d error%s, %d warning%s\n", checkrun.name.c_str(), errors,
          errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  return errors + warnings == 0 ? 0 : 1;
}

void checkreset(void) { checkrun = CheckRun{}; }
