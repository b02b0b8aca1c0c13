// Reading a trace's input bits back, from text and from a file: line ends,
// two ports, ids that name no input bit, traces that hold none, and the
// bound on what a file may hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "tests/support/files.h"
#include "trace/vcdread.h"

namespace {

// The header trace/vcd.cpp writes for ports 0 and 1 (out ids before in
// ids), a thread and the key, in short.
const std::string HEADER =
    "$version quon-sim 1.0.0 $end\n"
    "$timescale 1us $end\n"
    "$scope module port0 $end\n"
    "$var wire 1 ! out0 $end\n"
    "$var wire 1 \" in0 $end\n"
    "$var wire 1 # in7 $end\n"
    "$upscope $end\n"
    "$scope module port1 $end\n"
    "$var wire 1 $ out0 $end\n"
    "$var wire 1 % in3 $end\n"
    "$upscope $end\n"
    "$scope module threads $end\n"
    "$var real 64 & blinker $end\n"
    "$upscope $end\n"
    "$enddefinitions $end\n";

const std::string BODY =
    "#0\n$dumpvars\n0!\n0\"\n1#\n0$\n0%\nr3 &\n$end\n"
    "#1500\n1!\n1\"\nr4 &\n"
    "#2000\n1$\n1%\n0#\n1?\n";

// The changes as "time:port.bit=level" words.
std::string changes(int (*read)(const std::string &, const VcdInputSink &),
                    const std::string &trace, int *result) {
  std::string seen;
  *result = read(trace, [&seen](const VcdInputChange &c) {
    seen += std::to_string(c.time) + ":" + std::to_string(c.port) + "." +
            std::to_string(c.bit) + "=" + (c.high ? "1 " : "0 ");
  });
  return seen;
}

std::string crlf(const std::string &text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// The trace read from a file, at most most bytes of it.
int fromfile(const std::string &trace, const VcdInputSink &sink, uint64_t most) {
  std::string dir = maketempdir("quonvcd");
  writeall(dir + "/t.vcd", trace);
  int fd = open((dir + "/t.vcd").c_str(), O_RDONLY | O_CLOEXEC);
  int result = fd < 0 ? -1 : vcdreadinputs(fd, most, sink);
  if (fd >= 0) close(fd);
  std::error_code error;
  std::filesystem::remove_all(dir, error);
  return result;
}

int fromfile(const std::string &trace, const VcdInputSink &sink) {
  return fromfile(trace, sink, UINT64_MAX);
}

TEST(VcdRead, InputBitsOfBothPortsComeBackAtTheirTimes) {
  const std::string expected =
      "0:0.0=0 0:0.7=1 0:1.3=0 1500:0.0=1 2000:1.3=1 2000:0.7=0 ";
  const struct {
    const char *name;
    std::string trace;
    std::string changes;
  } cases[] = {
      {"LF", HEADER + BODY, expected},
      {"CR LF", crlf(HEADER + BODY), expected},
      {"no newline at the end", HEADER + "#5\n1\"", "5:0.0=1 "},
      {"a flag bank's bits beside them",
       HEADER.substr(0, HEADER.find("$scope module threads")) +
           "$scope module port2 $end\n$var wire 1 ' flag0 $end\n$var wire 1 ( flag7 $end\n"
           "$upscope $end\n" + HEADER.substr(HEADER.find("$scope module threads")) + BODY +
           "#2500\n1'\n0(\n",
       expected},
      {"an id shared by two bits", HEADER.substr(0, HEADER.find("$upscope")) +
           "$var wire 1 \" in5 $end\n" + HEADER.substr(HEADER.find("$upscope")) + "#9\n1\"\n",
       "9:0.0=1 9:0.5=1 "},
      {"an in wire outside a port's scope",
       "$scope module port2 $end\n$var wire 1 ! in0 $end\n$upscope $end\n"
       "$scope module port0 $end\n$var wire 1 \" in1 $end\n$upscope $end\n"
       "$var wire 1 # in2 $end\n$enddefinitions $end\n#1\n1!\n1\"\n1#\n",
       "1:0.1=1 "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int result = -9;
    EXPECT_EQ(changes(vcdreadinputstext, c.trace, &result), c.changes);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(changes(fromfile, c.trace, &result), c.changes);
    EXPECT_EQ(result, 0);
  }
}

TEST(VcdRead, ATraceWithoutInputBitsSaysSo) {
  const struct {
    const char *name;
    std::string trace;
  } cases[] = {
      {"empty", ""},
      {"outputs only",
       "$scope module port0 $end\n$var wire 1 ! out0 $end\n$upscope $end\n"
       "$enddefinitions $end\n#1\n1!\n"},
      {"no end of the definitions", HEADER.substr(0, HEADER.find("$enddefinitions")) + BODY},
      {"input bits of more than one place", "$scope module port0 $end\n"
                                            "$var wire 8 ! in0 $end\n"
                                            "$var wire 1 \" in8 $end\n"
                                            "$upscope $end\n$enddefinitions $end\n#1\n1\"\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    int result = -9;
    EXPECT_EQ(changes(vcdreadinputstext, c.trace, &result), "");
    EXPECT_EQ(result, VCD_NOINPUTS);
  }
}

// The file is read in pieces of 64 KiB: the bound holds inside a piece,
// at its end and past it.
TEST(VcdRead, AFileLargerThanItsBoundIsRefused) {
  std::string trace = HEADER + BODY;
  trace += std::string(70000 - trace.size(), '\n') + "#9\n1\"\n";
  for (uint64_t most : {uint64_t{10}, uint64_t{65536}, uint64_t{trace.size() - 1}}) {
    SCOPED_TRACE(most);
    EXPECT_EQ(fromfile(trace, [](const VcdInputChange &) {}, most), VCD_TOOLARGE);
  }
  int result = -9;
  auto whole = [](const std::string &text, const VcdInputSink &sink) {
    return fromfile(text, sink, text.size());
  };
  EXPECT_EQ(changes(whole, trace, &result),
            "0:0.0=0 0:0.7=1 0:1.3=0 1500:0.0=1 2000:1.3=1 2000:0.7=0 9:0.0=1 ");
  EXPECT_EQ(result, 0);
}

}  // namespace
