#include "trace/vcdread.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct InputBit {
  int port, bit;
};

struct Reader {
  explicit Reader(const VcdInputSink &to) : sink(to) {}
  const VcdInputSink &sink;
  std::unordered_map<std::string, std::vector<InputBit>> ids;
  int scopeport = -1;  // the port whose scope the header is in; -1 none
  bool body = false;   // past $enddefinitions
  uint64_t now = 0;
  std::vector<std::string> words;  // of the header line at hand
  std::string id;                  // of the change line at hand
};

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// "$scope module portN $end", "$var wire 1 ID inB $end", "$upscope $end",
// "$enddefinitions $end"; words are cut at any white space.
void headerline(Reader &r, const std::string &line) {
  std::vector<std::string> &w = r.words;
  w.clear();
  for (size_t at = 0; at < line.size();) {
    while (at < line.size() && blank(line[at])) ++at;
    size_t start = at;
    while (at < line.size() && !blank(line[at])) ++at;
    if (at > start) w.emplace_back(line, start, at - start);
  }
  if (w.empty()) return;
  if (w.size() == 4 && w[0] == "$scope" && w[2].size() == 5 && w[2].compare(0, 4, "port") == 0 &&
      (w[2][4] == '0' || w[2][4] == '1')) {
    r.scopeport = w[2][4] - '0';
  }
  if (w[0] == "$upscope") r.scopeport = -1;
  if (r.scopeport >= 0 && w.size() == 6 && w[0] == "$var" && w[1] == "wire" && w[2] == "1" &&
      w[4].size() == 3 && w[4].compare(0, 2, "in") == 0 && w[4][2] >= '0' && w[4][2] <= '7') {
    r.ids[w[3]].push_back({r.scopeport, w[4][2] - '0'});
  }
  if (w[0] == "$enddefinitions") r.body = true;
}

void bodyline(Reader &r, const std::string &line) {
  if (line.empty()) return;
  if (line[0] == '#') {
    r.now = strtoull(line.c_str() + 1, nullptr, 10);
    return;
  }
  if (line[0] != '0' && line[0] != '1') return;
  r.id.assign(line, 1, std::string::npos);
  auto found = r.ids.find(r.id);
  if (found == r.ids.end()) return;
  for (const InputBit &b : found->second) r.sink({r.now, b.port, b.bit, line[0] == '1'});
}

// One line without its LF; a CR before it goes too.
void readline(Reader &r, std::string &line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (r.body) bodyline(r, line);
  else headerline(r, line);
}

int verdict(const Reader &r) { return r.body && !r.ids.empty() ? 0 : VCD_NOINPUTS; }

}  // namespace

int vcdreadinputs(int fd, uint64_t most, const VcdInputSink &sink) {
  Reader r(sink);
  std::string line;  // the line read so far; a piece may end inside it
  char piece[65536];
  uint64_t total = 0;
  ssize_t n;
  while ((n = read(fd, piece, sizeof piece)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    total += static_cast<uint64_t>(n);
    if (total > most) return VCD_TOOLARGE;
    const char *at = piece, *end = piece + n;
    while (const void *lf = memchr(at, '\n', static_cast<size_t>(end - at))) {
      const char *stop = static_cast<const char *>(lf);
      line.append(at, stop);
      readline(r, line);
      line.clear();
      at = stop + 1;
    }
    line.append(at, end);
  }
  if (!line.empty()) readline(r, line);
  return verdict(r);
}

int vcdreadinputstext(const std::string &text, const VcdInputSink &sink) {
  Reader r(sink);
  std::string line;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    line.assign(text, at, end - at);
    readline(r, line);
    at = end + 1;
  }
  return verdict(r);
}
