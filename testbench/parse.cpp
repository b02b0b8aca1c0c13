// The testbench file: one statement a line, '#' starts a comment.
//
//   end T                     the run ends at T s (required, once)
//   at T input P PATTERN      from T the bench drives those input bits
//   at T key NAME             a key typed at T (a character or a key name)
//   at T expect P PATTERN     at T the outputs match
//   from T1 to T2 expect P PATTERN   ... during the whole window
//   by T note TEXT            this NOTATE text was printed by T
//   by T spawn TEXT           a SPAWN of exactly this command was reached by T
//   replay FILE               a trace's input bits drive the inputs
//   at T flag P PATTERN       at T the pattern is applied to flag bank P
//   spawn run | spawn skip    SPAWNs run their commands (the default), or
//                             are taken as done at once, nothing run
//
// An expectation on a flag bank (a port --flags= made one) checks its bits.
// Words are cut at spaces and TABs alike. The bench and its replay files
// are read only when they are regular files of a bounded size: a FIFO
// without a writer would hold the start-up for ever, and a device such as
// /dev/zero never ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "compiler/literals.h"
#include "platform/keydecode.h"
#include "port/port.h"
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
// a bench file is checked, not forgiven. The port and the pattern are the
// two halves of a command line's PORT:PATTERN, written as two words here.
bool readpattern(const std::string &word, uint16_t *pattern) {
  // A NUL inside the word would end the pattern early: the word is refused.
  return word.find('\0') == std::string::npos && strictpattern(word.c_str(), pattern) != 0;
}

bool readport(const std::string &word, int *port) {
  int32_t n = portliteral(word.c_str(), word.size());
  if (n < 0) return false;
  *port = n;
  return true;
}

// A flag bank of this run, or why the word is none.
bool readbank(const std::string &word, int *bank, std::string *what) {
  int n = word.size() == 1 && word[0] >= '0' && word[0] <= '9' ? word[0] - '0' : -1;
  if (n >= 0 && n < FLAG_FIRST) {
    *what = "port " + word + " is no flag bank (banks are ports " + std::to_string(FLAG_FIRST) +
            " to " + std::to_string(PORT_NUMBERS - 1) + ", named by --flags=)";
    return false;
  }
  if (n < 0) {
    *what = "port out of range: " + word;
    return false;
  }
  if (!portisflag(n)) {
    *what = "port " + word + " is no flag bank of this run (--flags=" + word + " makes it one)";
    return false;
  }
  *bank = n;
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

constexpr uint64_t MIB = uint64_t{1} << 20;
constexpr uint64_t BENCH_MOST = 16 * MIB;    // a bench is written by hand
constexpr uint64_t REPLAY_MOST = 256 * MIB;  // hours of a busy port's trace

std::string toolarge(uint64_t most) {
  return "larger than " + std::to_string(most / MIB) + " MiB";
}

// Why a file of this kind and size is not read; "" when it is.
std::string refusal(const struct stat &st, uint64_t most) {
  if (S_ISDIR(st.st_mode)) return "a folder, not a regular file";
  if (S_ISFIFO(st.st_mode)) return "a FIFO, not a regular file";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device, not a regular file";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (static_cast<uint64_t>(st.st_size) > most) return toolarge(most);
  return "";
}

// Opens a file the bench reads: its descriptor, or -1 with the reason in
// *reason. A name that is no regular file is never opened (the open of a
// device wakes its driver); the open file is looked at again, for the name
// may have been replaced in between, and O_NONBLOCK lets the open of a
// FIFO put there return at once instead of waiting for a writer.
int openinput(const std::string &file, uint64_t most, std::string *reason) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    *reason = strerror(errno);
    return -1;
  }
  *reason = refusal(st, most);
  if (!reason->empty()) return -1;
  int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 || fstat(fd, &st) != 0) {
    *reason = strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  *reason = refusal(st, most);
  if (reason->empty()) return fd;
  close(fd);
  return -1;
}

// The rest of fd's file, up to most bytes; false with the reason when a
// read fails or the file has grown past most since it was opened.
bool readwhole(int fd, uint64_t most, std::string *text, std::string *reason) {
  char piece[65536];
  ssize_t n;
  while ((n = read(fd, piece, sizeof piece)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *reason = strerror(errno);
      return false;
    }
    text->append(piece, static_cast<size_t>(n));
    if (text->size() > most) {
      *reason = toolarge(most);
      return false;
    }
  }
  return true;
}

// What a statement is read against: the bench so far and where replays
// come from.
struct Parsing {
  Testbench *bench;
  const std::string *replaytext;  // every replay's trace; nullptr: the files
  int line = 0;
  bool sawend = false;
  bool sawspawn = false;
};

// Where a replay named file is: a name without a folder beside the bench
// file when it is there, as given (from the current folder) otherwise.
std::string replaypath(const std::string &bench, const std::string &file) {
  size_t slash = bench.rfind('/');
  if (file.find('/') != std::string::npos || slash == std::string::npos) return file;
  std::string beside = bench.substr(0, slash + 1) + file;
  struct stat st {};
  return stat(beside.c_str(), &st) == 0 ? beside : file;
}

// The input bits of a trace, every change a drive at its time.
bool readreplay(const std::string &file, Parsing &p, std::string *what) {
  Testbench *bench = p.bench;
  auto sink = [bench](const VcdInputChange &c) {
    uint8_t mask = static_cast<uint8_t>(1u << c.bit);
    bench->drives.push_back({c.time, c.port, mask, c.high ? mask : uint8_t{0}, 0});
  };
  std::string path = file;
  int result = 0;
  if (p.replaytext != nullptr) {
    result = vcdreadinputstext(*p.replaytext, sink);
  } else {
    path = replaypath(bench->name, file);
    std::string reason;
    int fd = openinput(path, REPLAY_MOST, &reason);
    if (fd < 0) {
      *what = "cannot read replay file " + path + " (" + reason + ")";
      return false;
    }
    result = vcdreadinputs(fd, REPLAY_MOST, sink);
    close(fd);
  }
  if (result == VCD_TOOLARGE) {
    *what = "cannot read replay file " + path + " (" + toolarge(REPLAY_MOST) + ")";
    return false;
  }
  if (result == VCD_NOINPUTS) {
    *what = "replay file " + path + " holds no traced input bits";
    return false;
  }
  bench->replays.push_back(path);
  return true;
}

bool wrong(std::string *what, const std::string &text) {
  *what = text;
  return false;
}

// One statement; false with *what set when it is malformed.
bool readstatement(const std::vector<std::string> &w, const std::string &rest,
                   const std::string &source, Parsing &p, std::string *what) {
  Testbench *bench = p.bench;
  int line = p.line;
  uint64_t t = 0, t2 = 0;
  const std::string &verb = w[0];
  if (verb == "spawn") {
    if (p.sawspawn) return wrong(what, "a second spawn line");
    if (w.size() != 2 || (w[1] != "run" && w[1] != "skip")) {
      return wrong(what, "spawn needs 'run' or 'skip'");
    }
    bench->skipspawns = w[1] == "skip";
    p.sawspawn = true;
    return true;
  }
  if (verb == "end") {
    if (p.sawend) return wrong(what, "a second end");
    if (w.size() != 2 || !readtime(w[1], &t)) return wrong(what, "end needs one time");
    bench->end = t;
    p.sawend = true;
    return true;
  }
  if (verb == "replay") {
    if (w.size() != 2) return wrong(what, "replay needs one file name");
    return readreplay(w[1], p, what);
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
  e.source = source;
  if (verb == "by") {
    if ((action != "note" && action != "spawn") || w.size() <= next + 1) {
      return wrong(what, "by needs 'note TEXT' or 'spawn TEXT'");
    }
    e.kind = action == "note" ? CHECK_NOTE : CHECK_SPAWN;
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
  if (action != "input" && action != "expect" && action != "flag") {
    return wrong(what, "unknown word '" + action + "'");
  }
  if (w.size() != next + 3) return wrong(what, action + " needs a port and a pattern");
  const std::string &portword = w[next + 1];
  if (action == "flag") {
    if (verb != "at") return wrong(what, "flag takes 'at T'");
    if (!readbank(portword, &port, what)) return false;
  } else if (!readport(portword, &port)) {
    // Past ports 0 and 1 only a flag bank is expected; a bank has no input.
    bool bank = action == "expect" || (portword.size() == 1 && portisflag(portword[0] - '0'));
    if (!bank) return wrong(what, "port out of range: " + portword);
    if (!readbank(portword, &port, what)) return false;
    if (action == "input") {
      return wrong(what, "flag bank " + portword + " has no input bits: 'at T flag " + portword +
                             " PATTERN' sets them");
    }
  }
  if (!readpattern(w[next + 2], &pattern)) return wrong(what, "bad pattern: " + w[next + 2]);
  if (action == "input" || action == "flag") {
    if (verb != "at") return wrong(what, action + " takes 'at T'");
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
                   std::string *error, const std::string *replaytext) {
  *bench = Testbench{};
  bench->name = name;
  Parsing p{bench, replaytext};
  std::istringstream lines(text);
  std::vector<std::string> w;
  std::vector<size_t> starts;  // where each word begins in the line
  std::string what;
  auto fail = [&](const std::string &message) {
    *error = name + ":" + std::to_string(p.line) + ": " + message;
    return -1;
  };
  for (std::string line; std::getline(lines, line);) {
    ++p.line;
    // Bytes an editor does not show would change the line unseen.
    if (line.find('\0') != std::string::npos) return fail("a NUL byte (0x00) in the line");
    if (line.find("\xEF\xBB\xBF") != std::string::npos) {
      return fail("a UTF-8 byte-order mark (EF BB BF): save the file without it");
    }
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    w.clear();
    starts.clear();
    for (size_t at = 0; at < line.size();) {
      while (at < line.size() && isspace(static_cast<unsigned char>(line[at]))) ++at;
      size_t start = at;
      while (at < line.size() && !isspace(static_cast<unsigned char>(line[at]))) ++at;
      if (at == start) break;
      w.emplace_back(line, start, at - start);
      starts.push_back(start);
    }
    if (w.empty()) continue;
    // The note's text: the line from the word after "by T note" on, the
    // spaces inside it kept.
    std::string rest;
    if (starts.size() > 3) {
      rest = line.substr(starts[3]);
      rest.erase(rest.find_last_not_of(" \t\r") + 1);
    }
    std::string source = line.substr(starts[0]);
    source.erase(source.find_last_not_of(" \t\r") + 1);
    if (!readstatement(w, rest, source, p, &what)) return fail(what);
  }
  if (!p.sawend) return fail("no 'end T' line");
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
  std::string text, reason;
  int fd = openinput(file, BENCH_MOST, &reason);
  bool whole = fd >= 0 && readwhole(fd, BENCH_MOST, &text, &reason);
  if (fd >= 0) close(fd);
  if (!whole) {
    *error = std::string(file) + ":0: cannot read the testbench (" + reason + ")";
    return -1;
  }
  return testbenchparse(file, text, bench, error);
}
