// The loader: reading script lines, cutting the token stream into threads,
// the end mark, and table growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/loader.h"
#include "core/tables.h"
#include "tests/testutil.h"

namespace {

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { resetall(); }
  void TearDown() override { resettables(); }
};

std::vector<Token> tokens(void) {
  return std::vector<Token>(prog.tokens, prog.tokens + prog.tokencount);
}

std::vector<std::string> pieces(const std::string &text) {
  FILE *in = tmpfile();
  fwrite(text.data(), 1, text.size(), in);
  rewind(in);
  std::vector<std::string> out;
  char buf[LINE_BUFFER];
  uint64_t length = 0;
  while (readscriptline(buf, in, &length)) out.push_back(buf);
  fclose(in);
  return out;
}

const Token A = 0x01000101;  // OUTPUT 0 1
const Token B = 0x01000100;  // OUTPUT 0 0
const Token C = 0x00008080;  // WAIT 0 1.......
const Token SEP = SEPARATOR_TOKEN;

TEST(ReadScriptLine, TextModeRules) {
  struct Case {
    const char *name;
    std::string input;
    std::vector<std::string> lines;
  } cases[] = {
      {"plain newlines", "a\nb\n", {"a\n", "b\n"}},
      {"CR LF becomes LF", "a\r\nb\r\n", {"a\n", "b\n"}},
      {"lone CR stays", "a\rb\n", {"a\rb\n"}},
      {"CR at end of input stays", "a\r", {"a\r"}},
      {"last line without newline", "a\nb", {"a\n", "b"}},
      {"0x1A ends the input", "a\n\x1A" "b\n", {"a\n"}},
      {"0x1A inside a line", "ab\x1A" "cd\n", {"ab"}},
      {"empty input", "", {}},
  };
  for (const Case &c : cases) EXPECT_EQ(pieces(c.input), c.lines) << c.name;
}

// A long line is one line: its first 79 characters are kept and the rest
// is measured, never handed on as a line of its own.
TEST(ReadScriptLine, LongLinesStayOneLineWithTheirLength) {
  struct Case {
    std::string input;
    std::string kept;
    uint64_t length;
  } cases[] = {
      {std::string(78, 'x') + "\n", std::string(78, 'x') + "\n", 78},
      {std::string(79, 'x') + "\n", std::string(79, 'x'), 79},
      {std::string(100, 'y') + "\n", std::string(79, 'y'), 100},
      {std::string(78, 'z') + "\r\n", std::string(78, 'z') + "\n", 78},
      {std::string(200, 'w') + "\r\n", std::string(79, 'w'), 200},
      {std::string(90, 'v'), std::string(79, 'v'), 90},
      // Measured up to the bound, then passed over to its newline.
      {std::string(LINE_MEASURED, 'u') + "\n", std::string(79, 'u'), LINE_MEASURED},
      {std::string(LINE_MEASURED + 1, 't') + "\n", std::string(79, 't'), LINE_MEASURED + 1},
      {std::string(3 * LINE_MEASURED, 's') + "\n", std::string(79, 's'), LINE_MEASURED + 1},
  };
  for (const Case &c : cases) {
    FILE *in = tmpfile();
    fwrite(c.input.data(), 1, c.input.size(), in);
    if (c.input.back() == '\n') fputs("next\n", in);
    rewind(in);
    char buf[LINE_BUFFER];
    uint64_t length = 0;
    ASSERT_EQ(readscriptline(buf, in, &length), 1);
    EXPECT_EQ(buf, c.kept);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(readscriptline(buf, in, &length), c.input.back() == '\n' ? 1 : 0);
    fclose(in);
  }
}

TEST_F(LoaderTest, ThreadsAndEndMark) {
  loadscript("OUTPUT 0 1\nOUTPUT 0 0\n$\nWAIT 0 1.......\n$\n$\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{A, B, SEP, C, SEP}));
  EXPECT_EQ(prog.tokencount, 5);
  EXPECT_EQ(prog.threadcount, 2);
  EXPECT_EQ(prog.threadstart[0], 0);
  EXPECT_EQ(prog.threadstart[1], 3);
  EXPECT_EQ(prog.linenumber, 6);
}

TEST_F(LoaderTest, TwoSeparatorsOnlyGiveOneEmptyThread) {
  loadscript("$\n$\n");
  EXPECT_EQ(prog.tokencount, 1);
  EXPECT_EQ(prog.threadcount, 1);
  EXPECT_EQ(prog.threadstart[0], -1);
  EXPECT_EQ(prog.tokens[0], SEP);
}

TEST_F(LoaderTest, TokenTableGrowsByFiveAsSoonAsFull) {
  struct Case {
    int outputs;
    int tokenmax;
  } cases[] = {{2, 5}, {3, 10}, {7, 10}, {8, 15}, {12, 15}, {13, 20}};
  for (const Case &c : cases) {
    resetall();
    std::string script;
    for (int i = 0; i < c.outputs; ++i) script += "OUTPUT 0 1\n";
    loadscript(script + "$\n$\n");
    // outputs + 2 separators appended; the table is full at 5, 10, 15...
    EXPECT_EQ(prog.tokenmax, c.tokenmax) << c.outputs << " statements";
    EXPECT_EQ(prog.tokencount, c.outputs + 1);
  }
}

TEST_F(LoaderTest, FifthSeparatorGrowsBothThreadTablesTogether) {
  loadscript("O 0 1\n$\nO 0 1\n$\nO 0 1\n$\nO 0 1\n$\nO 0 1\n$\nO 0 1\n$\n$\n");
  EXPECT_EQ(prog.threadcount, 6);
  EXPECT_EQ(prog.threadmax, 10);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(prog.threadstart[i], 2 * i);
    EXPECT_STREQ(prog.threadname[i], "");
  }
}

TEST_F(LoaderTest, NameInThreadZeroAddsNoTokenButLaterThreadsDo) {
  loadscript("NAME first\nOUTPUT 0 1\n$\nNAME second\nOUTPUT 0 1\n$\n$\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{A, SEP, 0x08010000, A, SEP}));
  EXPECT_EQ(prog.threadstart[0], 0);
  EXPECT_EQ(prog.threadstart[1], 2);  // the NAME token starts thread 1
  EXPECT_STREQ(prog.threadname[0], "first");
  EXPECT_STREQ(prog.threadname[1], "second");
}

TEST_F(LoaderTest, LinesWithoutTokensMayStandBetweenTheEndMark) {
  loadscript("OUTPUT 0 1\n$\n; a comment\n\n   \n$\nOUTPUT 0 0\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{A, SEP}));
  EXPECT_EQ(prog.threadcount, 1);
  EXPECT_EQ(prog.linenumber, 6);  // nothing after the end mark is read
}

// A long comment is silent and one line; a long statement is an error that
// yields nothing of itself; a long "$" line still closes its thread.
TEST_F(LoaderTest, LongLinesCountOnceAndNeverRunInPieces) {
  std::string comment = ";" + std::string(199, 'c') + "\n";
  std::string spawn = "SPAWN echo " + std::string(89, 's') + "\n";
  loadscript(comment + spawn + "OUTPUT 0 1\n$" + std::string(90, '-') + "\n$\n");
  EXPECT_EQ(prog.linenumber, 5);
  EXPECT_EQ(tokens(), (std::vector<Token>{A, SEP}));
  EXPECT_EQ(prog.stringcount, 0);
  EXPECT_EQ(prog.scripterrors, 1);
  EXPECT_EQ(prog.firsterrorline, 2);
  EXPECT_EQ(logtext(), "002: SPAWN echo sssssssssssssssssssssssssssss |  "
                       "Error: line too long (100 characters, at most 79)\n");
}

TEST_F(LoaderTest, LastSingleSeparatorCountsTwice) {
  loadscript("OUTPUT 0 1\n$\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{A, SEP}));
  EXPECT_EQ(prog.threadcount, 1);
  EXPECT_EQ(prog.linenumber, 3);
  EXPECT_EQ(logtext(), "");  // no warning: the end mark is complete
}

TEST_F(LoaderTest, LastSingleSeparatorIsListedAgainUnderTheNextNumber) {
  prog.verbose = FLAG_ON;
  loadscript("OUTPUT 0 1\n$ end\n");
  std::string log = logtext();
  EXPECT_NE(log.find("002: $ end"), std::string::npos) << log;
  EXPECT_NE(log.find("003: $ end"), std::string::npos) << log;
}

TEST_F(LoaderTest, ScriptWithoutEndMarkIsCompletedWithAWarning) {
  struct Case {
    const char *script;
    std::vector<Token> tokens;
    int32_t threads;
    int32_t start0;
  } cases[] = {
      {"", {SEP}, 1, -1},
      {"; only a comment\n", {SEP}, 1, -1},
      {"OUTPUT 0 1\n", {A, SEP}, 1, 0},
      {"OUTPUT 0 1\n$\nOUTPUT 0 0", {A, SEP, B, SEP}, 2, 0},
      {"OUTPUT 0 1\n$\n; trailing comment\n", {A, SEP}, 1, 0},
  };
  for (const Case &c : cases) {
    resetall();
    loadscript(c.script);
    EXPECT_EQ(tokens(), c.tokens) << c.script;
    EXPECT_EQ(prog.threadcount, c.threads) << c.script;
    EXPECT_EQ(prog.threadstart[0], c.start0) << c.script;
    EXPECT_NE(logtext().find("Warning: script ended without its end mark"),
              std::string::npos)
        << c.script;
    EXPECT_EQ(tokens().back(), SEP) << "every thread ends with a separator";
  }
}

TEST_F(LoaderTest, ErrorsAndCommentsLeaveNoToken) {
  loadscript("WAIT\n* comment\nOUTPUT 0 1\nDELAY abc\n$\n$\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{A, SEP}));
  EXPECT_EQ(prog.threadstart[0], 0);
}

// An endless input (a pipe of blank lines) must not overflow the line
// count: it stops at its largest value and later lines share that number.
TEST_F(LoaderTest, LineCountStopsAtItsLargestValue) {
  prog.linenumber = INT32_MAX - 1;
  loadscript("WAIT\n; comment\n\nKEY\n$\n$\n");
  EXPECT_EQ(prog.linenumber, INT32_MAX);
  auto listed = [](const std::string &line) {
    return "2147483647: " + line + std::string(40 - line.size(), ' ') + " |  ";
  };
  EXPECT_EQ(logtext(), listed("WAIT") + "Error: too few args to WAIT\n" +
                           listed("KEY") + "Error: too few args to KEY\n");
  EXPECT_EQ(tokens(), (std::vector<Token>{SEP}));
}

// A table whose capacity cannot grow by a whole step within the 32-bit
// counts ends the program like a failed allocation.
TEST(GrowTable, RefusesToGrowPastTheLargestCount) {
  for (int32_t max : {INT32_MAX - 4, INT32_MAX - 1, INT32_MAX}) {
    EXPECT_EXIT(
        {
          int32_t capacity = max;
          (void)growtable(nullptr, &capacity, 1);
        },
        ::testing::ExitedWithCode(255), "^Out of memory!\n$")
        << max;
  }
}

TEST_F(LoaderTest, ManyLinesLoadIntoOneThread) {
  std::string script;
  for (int i = 0; i < 20000; ++i) script += "TOGGLE 1 1\n";
  loadscript(script + "$\n$\n");
  EXPECT_EQ(prog.tokencount, 20001);
  EXPECT_EQ(prog.tokenmax, 20005);  // 20002 appended: grown 4000 times
  EXPECT_EQ(prog.tokens[19999], 0x02010101u);
  EXPECT_EQ(prog.tokens[20000], SEP);
}

}  // namespace
