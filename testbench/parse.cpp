// The testbench file: one statement a line, '#' starts a comment.
//
//   end T                     the run ends at T s (required, once)
//   at T input P PATTERN      from T the bench drives those input bits
//   at T key NAME             a key typed at T (a character or a key name)
//   at T expect P PATTERN     at T the outputs match
//   from T1 to T2 expect P PATTERN   ... during the whole window
//   by T note TEXT            this NOTATE text was printed by T
//   replay FILE               a trace's input bits drive the inputs
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "compiler/literals.h"
#include "platform/keydecode.h"
#include "testbench/testbench.h"
#include "text/casefold.h"
#include "trace/vcdread.h"

namespace {

constexpr double LONGEST = 1e9;  // seconds; about 31 years of simulated time

// A time as DELAY times are written; false when it is none.
bool readtime(const std::string &word, uint64_t *us) {
  if (word.empty()) return false;
  char *end = nullptr;
  errno = 0;
  double seconds = strtod(word.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(seconds >= 0 && seconds <= LONGEST)) return false;
  *us = static_cast<uint64_t>(std::llround(seconds * 1e6));
  return true;
}

// A pattern of up to eight '1', '0' and '.' places, right-aligned on bit 0.
// Stricter than a script, which takes any other character as don't-care:
// a bench file is checked, not forgiven.
bool readpattern(const std::string &word, uint16_t *pattern) {
  if (word.empty() || word.size() > 8 || word.find_first_not_of("10.") != std::string::npos) {
    return false;
  }
  *pattern = texttopattern(word.c_str());
  return true;
}

bool readport(const std::string &word, int *port) {
  if (word != "0" && word != "1") return false;
  *port = word[0] - '0';
  return true;
}

bool readkey(const std::string &word, std::vector<int> *codes) {
  for (const KeyName &k : KEYNAMES) {
    if (!samefolded(word.c_str(), k.name) || word.size() == 1) continue;
    if (k.code >= KEYNAME_SCAN) *codes = {0, k.code - KEYNAME_SCAN};
    else *codes = {k.code};
    return true;
  }
  if (word.size() != 1) return false;
  *codes = {static_cast<unsigned char>(word[0])};
  return true;
}

// A whole file; false with errno set when it cannot be opened.
bool readwhole(const char *file, std::string *text) {
  FILE *f = fopen(file, "re");
  if (f == nullptr) return false;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  fclose(f);
  return true;
}

// The input bits of a trace, every change a drive at its time.
bool readreplay(const std::string &file, Testbench *bench, std::string *what) {
  int result = vcdreadinputs(file.c_str(), [bench](const VcdInputChange &c) {
    uint8_t mask = static_cast<uint8_t>(1u << c.bit);
    bench->drives.push_back({c.time, c.port, mask, c.high ? mask : uint8_t{0}, 0});
  });
  if (result == -1) {
    *what = "cannot read replay file " + file + " (" + strerror(errno) + ")";
    return false;
  }
  if (result == VCD_NOINPUTS) {
    *what = "replay file " + file + " holds no traced input bits";
    return false;
  }
  return true;
}

bool wrong(std::string *what, const std::string &text) {
  *what = text;
  return false;
}

// One statement; false with *what set when it is malformed.
bool readstatement(const std::vector<std::string> &w, const std::string &rest,
                   Testbench *bench, int line, bool *sawend, std::string *what) {
  uint64_t t = 0, t2 = 0;
  const std::string &verb = w[0];
  if (verb == "end") {
    if (*sawend) return wrong(what, "a second end");
    if (w.size() != 2 || !readtime(w[1], &t)) return wrong(what, "end needs one time");
    bench->end = t;
    *sawend = true;
    return true;
  }
  if (verb == "replay") {
    if (w.size() != 2) return wrong(what, "replay needs one file name");
    return readreplay(w[1], bench, what);
  }
  if (verb != "at" && verb != "from" && verb != "by") {
    return wrong(what, "unknown word '" + verb + "'");
  }
  if (w.size() < 2 || !readtime(w[1], &t)) return wrong(what, "bad time after " + verb);
  size_t next = 2;
  if (verb == "from") {
    if (w.size() < 4 || w[2] != "to" || !readtime(w[3], &t2) || t2 < t) {
      return wrong(what, "from needs 'from T1 to T2' with T2 not before T1");
    }
    next = 4;
  }
  if (w.size() <= next) return wrong(what, "nothing to do after the time");
  const std::string &action = w[next];
  BenchExpect e;
  e.line = line;
  e.from = t;
  e.to = verb == "from" ? t2 : t;
  if (verb == "by") {
    if (action != "note" || w.size() <= next + 1) return wrong(what, "by needs 'note TEXT'");
    e.kind = CHECK_NOTE;
    e.text = rest;
    bench->expects.push_back(e);
    return true;
  }
  int port = 0;
  uint16_t pattern = 0;
  if (action == "key" && verb == "at") {
    std::vector<int> codes;
    if (w.size() != next + 2 || !readkey(w[next + 1], &codes)) {
      return wrong(what, "key needs one character or key name");
    }
    bench->keys.push_back({t, codes, line});
    return true;
  }
  if (action != "input" && action != "expect") {
    return wrong(what, "unknown word '" + action + "'");
  }
  if (w.size() != next + 3) return wrong(what, action + " needs a port and a pattern");
  if (!readport(w[next + 1], &port)) return wrong(what, "port out of range: " + w[next + 1]);
  if (!readpattern(w[next + 2], &pattern)) return wrong(what, "bad pattern: " + w[next + 2]);
  if (action == "input") {
    if (verb != "at") return wrong(what, "input takes 'at T'");
    bench->drives.push_back({t, port, static_cast<uint8_t>(pattern >> 8),
                             static_cast<uint8_t>(pattern & 0xFF), line});
    return true;
  }
  e.kind = verb == "at" ? CHECK_AT : CHECK_WINDOW;
  e.port = port;
  e.pattern = pattern;
  e.word = w[next + 2];
  bench->expects.push_back(e);
  return true;
}

}  // namespace

int testbenchparse(const std::string &name, const std::string &text, Testbench *bench,
                   std::string *error) {
  *bench = Testbench{};
  bench->name = name;
  std::istringstream lines(text);
  int number = 0;
  bool sawend = false;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    // The note's text: everything after "note", single spaces kept.
    std::string rest;
    size_t at = line.find(" note ");
    if (at != std::string::npos) {
      rest = line.substr(at + 6);
      rest.erase(0, rest.find_first_not_of(" \t"));
      rest.erase(rest.find_last_not_of(" \t\r") + 1);
    }
    std::string what;
    if (!readstatement(w, rest, bench, number, &sawend, &what)) {
      *error = name + ":" + std::to_string(number) + ": " + what;
      return -1;
    }
  }
  if (!sawend) {
    *error = name + ":" + std::to_string(number) + ": no 'end T' line";
    return -1;
  }
  int late = 0;  // the first line of an event after the end
  for (const BenchExpect &e : bench->expects) {
    if (e.to > bench->end && (late == 0 || e.line < late)) late = e.line;
  }
  for (const BenchDrive &d : bench->drives) {
    if (d.us > bench->end && d.line != 0 && (late == 0 || d.line < late)) late = d.line;
  }
  for (const BenchKeys &k : bench->keys) {
    if (k.us > bench->end && (late == 0 || k.line < late)) late = k.line;
  }
  if (late != 0) {
    *error = name + ":" + std::to_string(late) + ": an event after end";
    return -1;
  }
  auto early = [](const auto &a, const auto &b) { return a.us < b.us; };
  std::stable_sort(bench->drives.begin(), bench->drives.end(), early);
  std::stable_sort(bench->keys.begin(), bench->keys.end(), early);
  return 0;
}

int testbenchread(const char *file, Testbench *bench, std::string *error) {
  std::string text;
  if (!readwhole(file, &text)) {
    *error = std::string(file) + ":0: cannot read the testbench (" + strerror(errno) + ")";
    return -1;
  }
  return testbenchparse(file, text, bench, error);
}
