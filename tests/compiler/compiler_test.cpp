// The statement compiler: one script line to one token, with its listing,
// its echoes and its error messages in the log.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "driver/loader.h"
#include "core/tables.h"
#include "tests/testutil.h"

namespace {

// The tables as the loader prepares them before the first line, with room
// for `threads` thread names.
void preparetables(int32_t threads) {
  resetall();
  prog.stringmax = TABLE_GROWTH;
  prog.stringcount = 0;
  prog.strings = static_cast<char **>(calloc(TABLE_GROWTH, sizeof(char *)));
  prog.threadmax = threads;
  prog.threadcount = 0;
  prog.threadname = static_cast<char **>(calloc(threads, sizeof(char *)));
  prog.threadname[0] = copytext("");
  prog.linenumber = 1;
}

// Compiles a line from a loader-sized buffer.
Token compile(const std::string &text) {
  char line[LINE_BUFFER] = {};
  text.copy(line, LINE_BUFFER - 1);
  return compileline(line);
}

// The listing prefix as a user sees it, built by hand: three-digit line
// number, the line padded or cut to 40 columns, a bar.
std::string listed(long number, std::string line) {
  char digits[32];
  snprintf(digits, sizeof digits, "%03ld: ", number);
  line.resize(40, ' ');
  return digits + line + " |  ";
}

class Compiler : public ::testing::Test {
 protected:
  void SetUp() override { preparetables(TABLE_GROWTH); }
  void TearDown() override { resettables(); }
};

// ------------------------------------------------------------ statements

struct StatementCase {
  const char *line;
  Token token;
  const char *echo;  // what the verbose listing shows after the prefix
};

TEST_F(Compiler, EveryStatementCompilesAndEchoes) {
  const StatementCase cases[] = {
      // Port statements: Port is the port modulo 256, the echo shows its
      // low 16 bits unsigned and the pattern as compiled.
      {"WAIT 0 11", 0x00000303, "WAIT   0 ......11\n"},
      {"OUTPUT 1 10000000", 0x0101FF80, "OUTPUT 1 10000000\n"},
      {"TOGGLE 0 1.0.", 0x02000A08, "TOGGLE 0 ....1.0.\n"},
      {"WAIT 300 11", 0x002C0303, "WAIT   300 ......11\n"},
      {"wait -1 1", 0x00FF0101, "WAIT   65535 .......1\n"},
      {"W 256 0", 0x00000100, "WAIT   256 .......0\n"},
      {"o 70000 1", 0x01700101, "OUTPUT 4464 .......1\n"},
      // Beyond the 32-bit range the port wraps modulo 2^32, so Port stays
      // the written number modulo 256.
      {"Wxyz 4294967596 1", 0x002C0101, "WAIT   300 .......1\n"},
      {"T -2147483649 1", 0x02FF0101, "TOGGLE 65535 .......1\n"},
      {"T 99999999999999999999 1", 0x02FF0101, "TOGGLE 65535 .......1\n"},
      // What follows the number in its word is ignored; scanf's leading
      // white space (a TAB inside the word) is skipped.
      {"OUTPUT +5volts 0", 0x01050100, "OUTPUT 5 .......0\n"},
      {"TOGGLE 0x10 1", 0x02000101, "TOGGLE 0 .......1\n"},  // no hex: "x" ends it
      {"WAIT \t7 1", 0x00070101, "WAIT   7 .......1\n"},
      {"WAIT 0 11\tcomment", 0x00000303, "WAIT   0 ......11\n"},
      {"WAIT 0 11 and a comment", 0x00000303, "WAIT   0 ......11\n"},
      {"   WAIT 0 1", 0x00000101, "WAIT   0 .......1\n"},
      {"OUTPUT 0 123456789", 0x01008080, "OUTPUT 0 1.......\n"},
      // DELAY: single precision seconds to a time code.
      {"DELAY 0.5", 0x0300C1F4, "DELAY    0.5\n"},
      {"d 2.5s", 0x0300C9C4, "DELAY    2.5\n"},
      {"DELAY 0", 0x03000000, "DELAY    0.0\n"},
      {"DELAY -3", 0x03008000, "DELAY   -3.0\n"},
      {"DELAY 20000", 0x0300C000, "DELAY 20000.0\n"},
      {"DELAY 0.0001", 0x03004000, "DELAY    0.0\n"},
      {"DELAY 1e39", 0x0300C000, "DELAY    inf\n"},  // overflows to infinity
      {"DELAY inf", 0x0300C000, "DELAY    inf\n"},
      {"DELAY -infinity", 0x03008000, "DELAY   -inf\n"},
      {"DELAY 2000 ; two thousand", 0x030007D0, "DELAY 2000.0\n"},
      // REPEAT keeps the period; the offset's code is dropped.
      {"REPEAT 1 0.5", 0x0400C1F4, "REPEAT    1.0    0.5\n"},
      {"r 5 20 rest", 0x040087D0, "REPEAT    5.0   20.0\n"},
      {"REPEAT -inf 200", 0x040047D0, "REPEAT   -inf  200.0\n"},
      {"REPEAT 1e39 1", 0x0400C3E8, "REPEAT    inf    1.0\n"},
      // KEY: the first character of the word, as written.
      {"KEY A", 0x05410000, "KEY A\n"},
      {"Ke abc", 0x05610000, "KEY a\n"},
      {"KEYBOARD Z", 0x055A0000, "KEY Z\n"},
      {"KEY q ; quit key", 0x05710000, "KEY q\n"},  // later words ignored
      {"OUTPUT 1 1 ; lamp on", 0x01010101, "OUTPUT 1 .......1\n"},
      {"TOGGLE 1 10 two words", 0x02010302, "TOGGLE 1 ......10\n"},
      {"KEY \xe9t\xe9", 0x05E90000, "KEY \xe9\n"},
      {"KEY \tx", 0x05090000, "KEY \t\n"},  // "%c" does not skip white space
      // Texts; fresh tables, so every text here gets index 0.
      {"SPAWN ls -l", 0x06000000, "SYSTEM  (0) \"ls -l\"\n"},
      {"S ls", 0x06000000, "SYSTEM  (0) \"ls\"\n"},
      {"SYSTEM echo", 0x06000000, "SYSTEM  (0) \"echo\"\n"},
      {"NOTATE pump on", 0x07000000, "NOTATE  (0) \"pump on\"\n"},
      {"KILL pump", 0x09000000, "KILL  (0) \"pump\"\n"},
      {"NAME pump", 0x08000000, "NAME  (0) \"pump\"\n"},
      // The separator; the rest of its line is ignored.
      {"$", 0x7F000000, "\n"},
      {"$$ end of thread", 0x7F000000, "\n"},
      {"  $", 0x7F000000, "\n"},
      // Comments: a first word that is no keyword.
      {"; a comment", NO_TOKEN, "\n"},
      {"* WAIT 0 1", NO_TOKEN, "\n"},
      {"K 1", NO_TOKEN, "\n"},       // a lone K is neither KEY nor KILL
      {"N x", NO_TOKEN, "\n"},       // a lone N is neither NOTATE nor NAME
      {"k", NO_TOKEN, "\n"},
      {"\tWAIT 0 1", NO_TOKEN, "\n"},  // TAB indent: the word begins with TAB
      {"\xffWAIT 0 1", NO_TOKEN, "\n"},
      {"Xylophone", NO_TOKEN, "\n"},
  };
  for (const StatementCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(TABLE_GROWTH);
    prog.verbose = FLAG_ON;
    EXPECT_EQ(compile(c.line), c.token);
    EXPECT_EQ(logtext(), listed(1, c.line) + c.echo);

    // Without the listing a good line writes nothing at all.
    preparetables(TABLE_GROWTH);
    EXPECT_EQ(compile(c.line), c.token);
    EXPECT_EQ(logtext(), "");
  }
}

TEST_F(Compiler, KeywordPrefixesSelectStatements) {
  struct PrefixCase {
    const char *line;
    uint8_t op;
  };
  const PrefixCase cases[] = {
      {"wait 0 1", OP_WAIT},     {"W 0 1", OP_WAIT},
      {"Wxyz 0 1", OP_WAIT},     {"o 0 1", OP_OUTPUT},
      {"Tgl 0 1", OP_TOGGLE},    {"dElAy 1", OP_DELAY},
      {"Rep 1 1", OP_REPEAT},    {"Ke x", OP_KEY},
      {"KEYBOARD x", OP_KEY},    {"kE x", OP_KEY},
      {"S x", OP_SPAWN},         {"SYSTEM x", OP_SPAWN},
      {"sp x", OP_SPAWN},        {"No x", OP_NOTATE},
      {"NOTE x", OP_NOTATE},     {"ki x", OP_KILL},
      {"KILLER x", OP_KILL},     {"Na x", OP_NAME},
      {"NAMED x", OP_NAME},      {"$x", OP_SEPARATOR},
  };
  for (const PrefixCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(TABLE_GROWTH);
    prog.threadcount = 1;  // so that NAME yields a token that is not zero
    prog.threadname[1] = copytext("");
    Token t = compile(c.line);
    ASSERT_NE(t, NO_TOKEN);
    EXPECT_EQ(tokenop(t), c.op);
  }
}

// ---------------------------------------------------------------- errors

struct ErrorCase {
  const char *line;
  const char *message;
};

TEST_F(Compiler, EveryErrorIsLoggedAfterItsLineAndYieldsNoToken) {
  const ErrorCase cases[] = {
      {"WAIT", "Error: too few args to WAIT\n"},
      {"WAIT 1", "Error: too few args to WAIT\n"},
      {"WAIT\t0\t11", "Error: too few args to WAIT\n"},  // one word only
      {"WAIT 0\t11", "Error: too few args to WAIT\n"},   // port word "0\t11"
      {"OUTPUT", "Error: too few args to OUTPUT\n"},
      {"OUTPUT 0  ", "Error: too few args to OUTPUT\n"},
      {"TOGGLE", "Error: too few args to TOGGLE\n"},
      {"TOGGLE 1", "Error: too few args to TOGGLE\n"},
      {"WAIT x 1", "Error: could not scan <port> in WAIT\n"},
      {"WAIT x", "Error: could not scan <port> in WAIT\n"},  // port first
      {"OUTPUT - 1", "Error: could not scan <port> in OUTPUT\n"},
      {"OUTPUT +x 1", "Error: could not scan <port> in OUTPUT\n"},
      {"TOGGLE \t 1", "Error: could not scan <port> in TOGGLE\n"},
      {"TOGGLE .5 1", "Error: could not scan <port> in TOGGLE\n"},
      {"DELAY", "Error: too few args to DELAY\n"},
      {"DELAY ", "Error: too few args to DELAY\n"},
      {"DELAY x", "Error: could not scan <time> in DELAY\n"},
      {"DELAY .", "Error: could not scan <time> in DELAY\n"},
      {"DELAY nan", "Error: could not scan <time> in DELAY\n"},
      {"DELAY -NaN", "Error: could not scan <time> in DELAY\n"},
      {"DELAY nan(1)", "Error: could not scan <time> in DELAY\n"},
      {"REPEAT", "Error: too few args to REPEAT\n"},
      {"REPEAT 1", "Error: too few args to REPEAT\n"},
      {"REPEAT x", "Error: could not scan <offset> or <period> in REPEAT\n"},
      {"REPEAT x 1", "Error: could not scan <offset> or <period> in REPEAT\n"},
      {"REPEAT nan 1", "Error: could not scan <offset> or <period> in REPEAT\n"},
      {"REPEAT 1 x", "Error: could not scan <period> in REPEAT\n"},
      {"REPEAT 1 NAN", "Error: could not scan <period> in REPEAT\n"},
      {"KEY", "Error: too few args to KEY\n"},
      {"KEY   ", "Error: too few args to KEY\n"},
      {"SPAWN", "Error: too few args to SYSTEM\n"},
      {"SPAWN ", "Error: too few args to SYSTEM\n"},
      {"S", "Error: too few args to SYSTEM\n"},
      {"SYSTEM\tls", "Error: too few args to SYSTEM\n"},
      {"NOTATE", "Error: too few args to NOTATE\n"},
      {"NOTATE ", "Error: too few args to NOTATE\n"},
      {"KILL", "Error: too few args to KILL\n"},
      {"KILL ", "Error: too few args to KILL\n"},
      {"NAME", "Error: too few args to NAME\n"},
      {"NAME ", "Error: too few args to NAME\n"},
      // A comment whose first word starts like a keyword is a statement.
      {"Wait for it", "Error: could not scan <port> in WAIT\n"},
      {"Do not", "Error: could not scan <time> in DELAY\n"},
  };
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.line);
    // The same log line with and without the listing: prefix, then message.
    for (uint8_t verbose : {uint8_t{0}, FLAG_ON}) {
      preparetables(TABLE_GROWTH);
      prog.verbose = verbose;
      prog.linenumber = 12;
      EXPECT_EQ(compile(c.line), NO_TOKEN);
      EXPECT_EQ(logtext(), listed(12, c.line) + c.message);
      EXPECT_EQ(prog.stringcount, 0);
      EXPECT_STREQ(prog.threadname[0], "");
    }
  }
}

// ---------------------------------------------------------------- listing

TEST_F(Compiler, ListingPrefixPadsAndCutsToFortyColumns) {
  struct ListingCase {
    int32_t linenumber;
    const char *line;
    const char *log;
  };
  const ListingCase cases[] = {
      {1, "; hi",
       "001: ; hi                                     |  \n"},
      {7, "$",
       "007: $                                        |  \n"},
      {42, "; exactly forty characters in this line.",
       "042: ; exactly forty characters in this line. |  \n"},
      {999, "; this comment runs on well past the forty-column cut",
       "999: ; this comment runs on well past the for |  \n"},
      {1234, "$ four digits",
       "1234: $ four digits                            |  \n"},
      {3, "; newline cut\n",
       "003: ; newline cut                            |  \n"},
      {5, "; a\nnot listed",
       "005: ; a                                      |  \n"},
  };
  for (const ListingCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(TABLE_GROWTH);
    prog.verbose = FLAG_ON;
    prog.linenumber = c.linenumber;
    compile(c.line);
    EXPECT_EQ(logtext(), c.log);
  }
}

TEST_F(Compiler, BlankLinesLeaveNoTokenAndNoLogLine) {
  for (const char *line : {"", "\n", "   ", "     \n", " \n WAIT 0 1"}) {
    preparetables(TABLE_GROWTH);
    prog.verbose = FLAG_ON;
    EXPECT_EQ(compile(line), NO_TOKEN);
    EXPECT_EQ(logtext(), "");
  }
}

TEST_F(Compiler, CutsTheLineAtItsNewlineInPlace) {
  char line[LINE_BUFFER] = "WAIT 0 1\nrest";
  EXPECT_EQ(compileline(line), 0x00000101u);
  EXPECT_STREQ(line, "WAIT 0 1");
  // The words are split in a copy: the cut line itself stays whole.
  char text[LINE_BUFFER] = "NOTATE a b c\n";
  EXPECT_EQ(compileline(text), 0x07000000u);
  EXPECT_STREQ(text, "NOTATE a b c");
}

TEST_F(Compiler, WithoutListingTheLogHoldsOnlyErrorLines) {
  prog.linenumber = 1;
  compile("WAIT 0 1");
  prog.linenumber = 2;
  compile("DELAY soon");
  prog.linenumber = 3;
  compile("; comment");
  prog.linenumber = 4;
  compile("KEY");
  prog.linenumber = 5;
  compile("$");
  EXPECT_EQ(logtext(), listed(2, "DELAY soon") +
                           "Error: could not scan <time> in DELAY\n" +
                           listed(4, "KEY") + "Error: too few args to KEY\n");
}

// ------------------------------------------------------------ texts

TEST_F(Compiler, RestOfLineKeepsItsSpaces) {
  struct RestCase {
    const char *line;
    const char *text;  // nullptr: "too few args"
  };
  const RestCase cases[] = {
      {"SPAWN ls", "ls"},
      {"SPAWN  ls", " ls"},          // the second space belongs to the text
      {"SPAWN ", nullptr},           // only the keyword's own space
      {"SPAWN  ", " "},
      {"SPAWN   ", "  "},
      {"SPAWN ls ", "ls "},
      {"SPAWN ls -l ; list it", "ls -l ; list it"},
      {"SPAWN ls\n", "ls"},
      {"   SPAWN echo", "echo"},
      {"SPAWN\tls x", "x"},          // the TAB joins the keyword word
      {"S \tx", "\tx"},
      {"NOTATE hello  world ", "hello  world "},
      {"KILL pump two", "pump two"},
      {"NOTATE caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
  };
  for (const RestCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(TABLE_GROWTH);
    Token t = compile(c.line);
    if (c.text == nullptr) {
      EXPECT_EQ(t, NO_TOKEN);
      EXPECT_EQ(prog.stringcount, 0);
      EXPECT_NE(logtext().find("Error: too few args to"), std::string::npos);
    } else {
      EXPECT_NE(t, NO_TOKEN);
      ASSERT_EQ(prog.stringcount, 1);
      EXPECT_STREQ(prog.strings[0], c.text);
    }
  }
}

TEST_F(Compiler, StringIndicesRunOnAcrossSpawnNotateAndKill) {
  prog.verbose = FLAG_ON;
  const StatementCase lines[] = {
      {"SPAWN one", 0x06000000, "SYSTEM  (0) \"one\"\n"},
      {"NOTATE two", 0x07010000, "NOTATE  (1) \"two\"\n"},
      {"KILL", NO_TOKEN, "Error: too few args to KILL\n"},  // takes no index
      {"KILL three", 0x09020000, "KILL  (2) \"three\"\n"},
      {"NAME not a text", 0x08000000, "NAME  (0) \"not a text\"\n"},
      {"SYSTEM four", 0x06030000, "SYSTEM  (3) \"four\"\n"},
      {"NOTATE five", 0x07040000, "NOTATE  (4) \"five\"\n"},
      {"KILL six", 0x09050000, "KILL  (5) \"six\"\n"},
  };
  std::string expected;
  int32_t number = 0;
  for (const StatementCase &c : lines) {
    prog.linenumber = ++number;
    EXPECT_EQ(compile(c.line), c.token) << c.line;
    expected += listed(number, c.line) + c.echo;
  }
  EXPECT_EQ(logtext(), expected);
  const char *texts[] = {"one", "two", "three", "four", "five", "six"};
  ASSERT_EQ(prog.stringcount, 6);
  for (int i = 0; i < 6; ++i) EXPECT_STREQ(prog.strings[i], texts[i]);
}

TEST_F(Compiler, FifthTextGrowsTheStringTableByFive) {
  const int32_t capacity[] = {5, 5, 5, 5, 10, 10, 10, 10, 10, 15};
  for (int i = 0; i < 10; ++i) {
    compile("NOTATE n" + std::to_string(i));
    EXPECT_EQ(prog.stringcount, i + 1);
    EXPECT_EQ(prog.stringmax, capacity[i]) << "after text " << i + 1;
  }
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(prog.strings[i], "n" + std::to_string(i));
  }
}

// Text 256 still has an index that fits in Port; text 257 is refused.
TEST_F(Compiler, TwoHundredFiftySixTextsAtMost) {
  const ErrorCase cases[] = {
      {"SPAWN late", "Error: too many texts (more than 256) for SYSTEM\n"},
      {"NOTATE late", "Error: too many texts (more than 256) for NOTATE\n"},
      {"KILL late", "Error: too many texts (more than 256) for KILL\n"},
  };
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(TABLE_GROWTH);
    for (int i = 0; i < 255; ++i) {
      ASSERT_EQ(compile("KILL t"), maketoken(OP_KILL, static_cast<uint8_t>(i), 0));
    }
    EXPECT_EQ(compile("NOTATE last"), 0x07FF0000u);
    EXPECT_EQ(prog.stringcount, 256);
    EXPECT_EQ(logtext(), "");
    prog.linenumber = 257;
    EXPECT_EQ(compile(c.line), NO_TOKEN);
    EXPECT_EQ(prog.stringcount, 256);
    EXPECT_STREQ(prog.strings[255], "last");
    EXPECT_EQ(logtext(), listed(257, c.line) + c.message);
  }
}

// ------------------------------------------------------------ names

TEST_F(Compiler, NameSetsTheNameOfTheThreadBeingCompiled) {
  struct NameCase {
    int32_t thread;
    const char *line;
    Token token;
    const char *name;
  };
  const NameCase cases[] = {
      {0, "NAME pump", 0x08000000, "pump"},     // thread 0: the loader drops it
      {1, "NAME pump", 0x08010000, "pump"},
      {3, "na  two spaces ", 0x08030000, " two spaces "},
      {255, "NAME last", 0x08FF0000, "last"},
  };
  for (const NameCase &c : cases) {
    SCOPED_TRACE(c.line);
    preparetables(300);
    for (int32_t i = 1; i <= c.thread; ++i) prog.threadname[i] = copytext("");
    prog.threadcount = c.thread;
    prog.verbose = FLAG_ON;
    EXPECT_EQ(compile(c.line), c.token);
    EXPECT_STREQ(prog.threadname[c.thread], c.name);
    EXPECT_EQ(logtext(), listed(1, c.line) + "NAME  (" +
                             std::to_string(c.thread) + ") \"" + c.name +
                             "\"\n");
    EXPECT_STREQ(prog.threadname[0], c.thread == 0 ? c.name : "");
    EXPECT_EQ(prog.stringcount, 0);  // names do not go to the string table
  }
}

TEST_F(Compiler, ThreadNamedTwiceKeepsTheLaterName) {
  compile("NAME first");
  compile("NAME second");
  EXPECT_STREQ(prog.threadname[0], "second");
}

TEST_F(Compiler, NameBeyondThread255IsRefused) {
  for (int32_t thread : {256, 300, 100000}) {
    SCOPED_TRACE(thread);
    preparetables(TABLE_GROWTH);
    prog.threadcount = thread;  // the error path never touches the names
    prog.linenumber = 9;
    EXPECT_EQ(compile("NAME late"), NO_TOKEN);
    EXPECT_EQ(logtext(), listed(9, "NAME late") + "Error: NAME in thread " +
                             std::to_string(thread) + ", beyond thread 255\n");
    prog.threadcount = 0;  // leave the record consistent for the reset
  }
}

// ------------------------------------------------------------ safety

TEST_F(Compiler, NulByteEndsTheLineEarly) {
  char text[LINE_BUFFER] = "NOTATE ab\0cd\n";
  EXPECT_EQ(compileline(text), 0x07000000u);
  EXPECT_STREQ(prog.strings[0], "ab");
  char blank[LINE_BUFFER] = "\0WAIT 0 1\n";
  prog.verbose = FLAG_ON;
  EXPECT_EQ(compileline(blank), NO_TOKEN);
  EXPECT_EQ(logtext(), "");
}

// A buffer without any NUL: the compiler stops at the loader's 79
// characters and never reads beyond them (the sanitizer build checks).
TEST_F(Compiler, NeverReadsPastTheLineBuffer) {
  char *line = static_cast<char *>(malloc(LINE_BUFFER));
  ASSERT_NE(line, nullptr);
  memset(line, 'y', LINE_BUFFER);
  memcpy(line, "NOTATE ", 7);
  prog.verbose = FLAG_ON;
  EXPECT_EQ(compileline(line), 0x07000000u);
  EXPECT_EQ(std::string(prog.strings[0]), std::string(72, 'y'));
  free(line);

  // A full 79-character line read without its newline compiles whole.
  std::string longest = "SPAWN " + std::string(73, 'z');
  preparetables(TABLE_GROWTH);
  EXPECT_EQ(compile(longest), 0x06000000u);
  EXPECT_EQ(std::string(prog.strings[0]), std::string(73, 'z'));
}

// Every byte value as the first and later characters: no crash, no
// out-of-bounds access, and control bytes other than space, NUL and LF do
// not split words.
TEST_F(Compiler, AnyByteIsAnOrdinaryCharacter) {
  for (int b = 1; b < 256; ++b) {
    if (b == ' ' || b == '\n') continue;
    char line[LINE_BUFFER] = "NOTATE x";
    line[7] = static_cast<char>(b);
    preparetables(TABLE_GROWTH);
    ASSERT_EQ(compileline(line), 0x07000000u) << "byte " << b;
    ASSERT_EQ(prog.strings[0][0], static_cast<char>(b));
    char key[LINE_BUFFER] = "KEY x";
    key[4] = static_cast<char>(b);
    ASSERT_EQ(compileline(key), maketoken(OP_KEY, static_cast<uint8_t>(b), 0));
  }
}

// ------------------------------------------------------------ with the loader

TEST(CompilerListing, BlankLinesAreCountedButNotListed) {
  resetall();
  prog.verbose = FLAG_ON;
  loadscript("; first\n\nWAIT 0 1\n   \n$\n$\n");
  EXPECT_EQ(logtext(), listed(1, "; first") + "\n" + listed(3, "WAIT 0 1") +
                           "WAIT   0 .......1\n" + listed(5, "$") + "\n" +
                           listed(6, "$") + "\n");
  resettables();
}

TEST(CompilerListing, LoadedScriptKeepsTextIndicesAndThreadNames) {
  resetall();
  loadscript(
      "NAME main\n"
      "SPAWN echo hi\n"
      "$\n"
      "NAME second\n"
      "NOTATE note\n"
      "KILL main\n"
      "$\n"
      "$\n");
  ASSERT_EQ(prog.tokencount, 6);
  const Token expected[] = {0x06000000, 0x7F000000, 0x08010000,
                            0x07010000, 0x09020000, 0x7F000000};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(prog.tokens[i], expected[i]) << i;
  EXPECT_STREQ(prog.threadname[0], "main");
  EXPECT_STREQ(prog.threadname[1], "second");
  EXPECT_EQ(logtext(), "");
  resettables();
}

}  // namespace
