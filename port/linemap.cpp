#include "port/linemap.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// text split at sep, empty pieces kept.
std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return pieces;
    start = at + 1;
  }
}

bool alldigits(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The largest offset a line can have: the kernel numbers a chip's lines
// in 32 bits, and a map keeps them signed.
constexpr int64_t MOST_OFFSET = INT32_MAX - 1;

// The longest debounce a line may ask for: a second is far beyond any
// contact's bounce, and keeps the period well inside the kernel's 32 bits.
constexpr uint32_t MOST_DEBOUNCEUS = 1000000;

// "5ms" or "200us" into *us (1 to MOST_DEBOUNCEUS). Returns "" or what is
// wrong.
std::string parsedebounce(const std::string &id, const std::string &time, uint32_t *us) {
  std::string refused = id + "/debounce=" + time + ": a time such as 5ms or 200us, at most 1000ms";
  size_t digits = 0;
  while (digits < time.size() && time[digits] >= '0' && time[digits] <= '9') ++digits;
  std::string unit = time.substr(digits);
  if (digits == 0 || digits > 7 || (unit != "ms" && unit != "us")) return refused;
  uint64_t value = std::stoull(time.substr(0, digits)) * (unit == "ms" ? 1000u : 1u);
  if (value == 0 || value > MOST_DEBOUNCEUS) return refused;
  *us = static_cast<uint32_t>(value);
  return "";
}

// One LINE[/flag...] of a side into *line. Returns "" or what is wrong.
std::string parseline(const std::string &word, bool input, LineSpec *line) {
  std::vector<std::string> parts = split(word, '/');
  const std::string &id = parts[0];
  if (id.empty()) return "a line with no offset or name";
  if (alldigits(id)) {
    // A number is an offset however many digits it has: never a name.
    int64_t offset = 0;
    for (char d : id) {
      offset = offset * 10 + (d - '0');
      if (offset > MOST_OFFSET) return "line " + id + ": no chip has an offset that large";
    }
    line->offset = static_cast<int32_t>(offset);
  } else {
    line->name = id;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string &flag = parts[i];
    if (flag == "active-low") {
      line->activelow = true;
    } else if (flag == "pull-up" || flag == "pull-down") {
      if (!input) return id + "/" + flag + ": a bias is for input lines";
      if (line->bias != LineBias::AS_IS) return id + ": one bias a line";
      line->bias = flag == "pull-up" ? LineBias::PULL_UP : LineBias::PULL_DOWN;
    } else if (flag.compare(0, 9, "debounce=") == 0) {
      if (!input) return id + "/" + flag + ": a debounce is for input lines";
      if (line->debounceus != 0) return id + ": one debounce a line";
      std::string error = parsedebounce(id, flag.substr(9), &line->debounceus);
      if (!error.empty()) return error;
    } else {
      return id + "/" + flag + ": the marks are /active-low, /pull-up, /pull-down and /debounce=TIME";
    }
  }
  return "";
}

// "LINE,LINE,..." of one side into map. Returns "" or what is wrong.
std::string parseside(const std::string &list, bool input, LineMap *map) {
  const char *side = input ? "in" : "out";
  if (list.empty()) return std::string(side) + "= lists no lines";
  std::vector<std::string> words = split(list, ',');
  if (words.size() > static_cast<size_t>(LINES_PER_SIDE)) {
    return std::string(side) + "= lists " + std::to_string(words.size()) +
           " lines; a port has 8 bits a side";
  }
  uint8_t *bits = input ? map->inline_ : map->outline;
  for (size_t bit = 0; bit < words.size(); ++bit) {
    if (words[bit] == "-") continue;
    LineSpec line;
    std::string error = parseline(words[bit], input, &line);
    if (!error.empty()) return error;
    for (int32_t k = 0; k < map->count; ++k) {
      const LineSpec &other = map->lines[k];
      bool same = line.name.empty() ? other.name.empty() && other.offset == line.offset
                                    : other.name == line.name;
      if (same) return "line " + split(words[bit], '/')[0] + " is named twice";
    }
    bits[bit] = static_cast<uint8_t>(map->count);
    map->lines[map->count++] = line;
  }
  return "";
}

}  // namespace

bool isgpiovalue(const char *value) {
  return strchr(value, ':') != nullptr || strncmp(value, "gpiochip", 8) == 0 ||
         strncmp(value, "/dev/gpiochip", 13) == 0;
}

int parselinemap(const char *text, LineMap *map, std::string *error) {
  *map = LineMap{};
  std::vector<std::string> fields = split(text, ':');
  map->chip = fields[0];
  std::string problem;
  if (map->chip.empty()) problem = "no chip before the first colon";
  if (fields.size() == 1) problem = "names no lines";
  bool seen[2] = {false, false};
  // Outputs first in lines[], whatever the order written.
  for (int pass = 0; pass < 2 && problem.empty(); ++pass) {
    for (size_t i = 1; i < fields.size() && problem.empty(); ++i) {
      const std::string &f = fields[i];
      bool out = f.compare(0, 4, "out=") == 0, in = f.compare(0, 3, "in=") == 0;
      if (!out && !in) {
        problem = "\"" + f + "\" is neither out= nor in=";
      } else if ((pass == 0) == out) {
        if (seen[pass]) problem = std::string(out ? "out=" : "in=") + " given twice";
        seen[pass] = true;
        problem = problem.empty() ? parseside(f.substr(out ? 4 : 3), in, map) : problem;
      }
    }
    if (pass == 0) map->outputs = map->count;
  }
  // Every place "-": the script would run on nothing.
  if (problem.empty() && map->count == 0) problem = "every place is \"-\": the map has no lines";
  if (!problem.empty()) {
    *error = problem + " (the form is CHIP:out=LINE,...:in=LINE,...)";
    return -1;
  }
  return 0;
}
