// The reports of a run of benches for the tools of a CI: a JUnit file (one
// suite a bench, one case an expectation) and a TAP stream (one test an
// expectation). Everything in them comes from the benches and the script,
// which anyone may have written: each text is cut to well-formed UTF-8
// and escaped for its format, so a byte in a note cannot break the file
// the CI reads.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "testbench/testbench.h"

namespace {

// The characters of text that XML 1.0 allows, in well-formed UTF-8:
// control characters but TAB, LF and CR go, as do surrogates, U+FFFE,
// U+FFFF and every byte that is no part of a whole sequence.
std::string clean(const std::string &text) {
  std::string out;
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    uint32_t code = len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
    bool whole = len != 0 && i + len <= n;
    for (size_t k = 1; whole && k < len; ++k) {
      auto d = static_cast<unsigned char>(text[i + k]);
      whole = (d & 0xC0) == 0x80;
      code = code << 6 | (d & 0x3Fu);
    }
    // Overlong forms, surrogates, the two non-characters and what lies past
    // U+10FFFF are no characters.
    bool fits = (len == 2 && code >= 0x80) || (len == 3 && code >= 0x800) ||
                (len == 4 && code >= 0x10000 && code <= 0x10FFFF);
    bool allowed = !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE && code != 0xFFFF;
    if (whole && fits && allowed) {
      out.append(text, i, len);
      i += len;
    } else {
      ++i;
    }
  }
  return out;
}

// For an attribute's value, or an element's text (intext), whose line
// breaks stay as they are.
std::string xml(const std::string &text, bool intext = false) {
  std::string out;
  for (char c : clean(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      // In an attribute a line break would be read as a space.
      case '\n': out += intext ? "\n" : "&#10;"; break;
      case '\r': out += "&#13;"; break;
      case '\t': out += intext ? "\t" : "&#9;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string seconds(double s) {
  char text[40];
  snprintf(text, sizeof text, "%.6f", s);
  return text;
}

// An expectation's name in every report: where it is and what it says.
std::string casename(const Testbench &b, const BenchExpect &e) {
  return b.name + ":" + std::to_string(e.line) + ": " + e.source;
}

// What an expectation expected, as written.
std::string expected(const BenchExpect &e) {
  return e.kind == CHECK_NOTE || e.kind == CHECK_SPAWN ? e.text : e.word;
}

// A YAML string in double quotes.
std::string yaml(const std::string &text) {
  std::string out = "\"";
  for (char c : clean(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A TAP description: one line, and no '#', which would start a directive.
std::string description(const std::string &text) {
  std::string out;
  for (char c : clean(text)) {
    if (c == '#') out += "\\#";
    else if (c == '\n' || c == '\r' || c == '\t') out += ' ';
    else out += c;
  }
  return out;
}

}  // namespace

std::string junitreport(const std::vector<Testbench> &benches, const std::string &script) {
  std::string suites;
  int tests = 0, failures = 0, errors = 0;
  double all = 0;
  for (const Testbench &b : benches) {
    std::string cases;
    int failed = 0;
    if (!b.error.empty()) {
      cases += "    <testcase name=\"" + xml(b.name) + "\" classname=\"" + xml(script) +
               "\" time=\"0\">\n      <error message=\"" + xml(b.error) +
               "\" type=\"unreadable\">" + xml(b.error, true) + "</error>\n    </testcase>\n";
    }
    for (const BenchExpect &e : b.expects) {
      cases += "    <testcase name=\"" + xml(casename(b, e)) + "\" classname=\"" + xml(script) +
               "\" time=\"0\"";
      if (e.held) {
        cases += "/>\n";
        continue;
      }
      ++failed;
      cases += ">\n      <failure message=\"" + xml(e.message) + "\" type=\"expectation\">" +
               xml(e.message + "\nexpected: " + expected(e) + "\nseen: " + e.seen, true) +
               "</failure>\n    </testcase>\n";
    }
    int count = static_cast<int>(b.expects.size()) + (b.error.empty() ? 0 : 1);
    int error = b.error.empty() ? 0 : 1;
    std::string out;
    for (const std::string &note : b.notes) out += note + "\n";
    if (b.notesleft != 0) out += "(" + std::to_string(b.notesleft) + " more notes)\n";
    suites += "  <testsuite name=\"" + xml(b.name) + "\" tests=\"" + std::to_string(count) +
              "\" failures=\"" + std::to_string(failed) + "\" errors=\"" + std::to_string(error) +
              "\" skipped=\"0\" time=\"" + seconds(b.seconds) + "\">\n" + cases +
              "    <system-out>" + xml(out, true) + "</system-out>\n  </testsuite>\n";
    tests += count;
    failures += failed;
    errors += error;
    all += b.seconds;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"" + xml(script) +
         "\" tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
         "\" errors=\"" + std::to_string(errors) + "\" time=\"" + seconds(all) + "\">\n" +
         suites + "</testsuites>\n";
}

std::string tapreport(const std::vector<Testbench> &benches) {
  std::string body;
  int n = 0;
  for (const Testbench &b : benches) {
    body += "# " + description(b.name) + "\n";
    if (!b.error.empty()) {
      body += "not ok " + std::to_string(++n) + " - " + description(b.name) +
              ": the testbench could not be read\n  ---\n  message: " + yaml(b.error) +
              "\n  severity: error\n  ...\n";
    }
    for (const BenchExpect &e : b.expects) {
      std::string name = description(casename(b, e));
      if (e.held) {
        body += "ok " + std::to_string(++n) + " - " + name + "\n";
        continue;
      }
      body += "not ok " + std::to_string(++n) + " - " + name + "\n  ---\n  message: " +
              yaml(e.message) + "\n  severity: fail\n  line: " + std::to_string(e.line) +
              "\n  time: " + seconds(static_cast<double>(e.failedat) / 1e6) +
              "\n  expected: " + yaml(expected(e)) + "\n  seen: " + yaml(e.seen) + "\n  ...\n";
    }
  }
  return "TAP version 13\n1.." + std::to_string(n) + "\n" + body;
}

int writereport(const char *file, const std::string &text, std::string *why) {
  std::string temp;
  FILE *f = createtempfile((std::string(file) + ".").c_str(), &temp);
  if (f == nullptr) {
    *why = strerror(errno);
    return -1;
  }
  errno = 0;
  bool wrote = fwrite(text.data(), 1, text.size(), f) == text.size() && ferror(f) == 0;
  int error = wrote ? 0 : errno;
  if (finishfile(f) != 0) {  // a full disk may only show at the flush or the close
    if (wrote) error = errno;
    wrote = false;
  }
  if (wrote && replacefile(temp.c_str(), file) != 0) {
    error = errno;
    wrote = false;
  }
  if (!wrote) {
    removefile(temp.c_str());
    *why = strerror(error != 0 ? error : EIO);
    return -1;
  }
  return 0;
}
