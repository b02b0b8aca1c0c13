// The dump: the token section, the thread section, and the key pause after
// each of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/dump.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/keys.h"
#include "tests/testutil.h"

namespace {

const Token SEP = SEPARATOR_TOKEN;

template <typename T>
T *ownedarray(const std::vector<T> &items) {
  // At least one entry, as the loader allocates them; freed by resettables.
  T *table = static_cast<T *>(calloc(items.size() + 1, sizeof(T)));
  for (size_t i = 0; i < items.size(); ++i) table[i] = items[i];
  return table;
}

// Puts finished tables in place, as the loader leaves them.
void settables(const std::vector<Token> &tokens,
               const std::vector<int32_t> &starts,
               const std::vector<std::string> &strings = {}) {
  prog.tokens = ownedarray(tokens);
  prog.tokencount = static_cast<int32_t>(tokens.size());
  prog.tokenmax = prog.tokencount + 1;
  prog.threadstart = ownedarray(starts);
  prog.threadcount = static_cast<int32_t>(starts.size());
  prog.threadmax = prog.threadcount + 1;
  std::vector<char *> names(starts.size() + 1, nullptr);
  for (char *&n : names) n = copytext("");
  prog.threadname = ownedarray(names);
  std::vector<char *> texts;
  for (const std::string &s : strings) texts.push_back(copytext(s.c_str()));
  prog.strings = ownedarray(texts);
  prog.stringcount = static_cast<int32_t>(strings.size());
  prog.stringmax = prog.stringcount + 1;
}

std::string dumped(void) {
  testing::internal::CaptureStdout();
  showdump();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

bool hasline(const std::string &text, const std::string &line) {
  for (const std::string &l : lines(text)) {
    if (l == line) return true;
  }
  return false;
}

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override { resetall(); }
  void TearDown() override { resettables(); }
};

TEST_F(DumpTest, OneThreadOfTwoStatementsExactly) {
  settables({0x01000101, 0x03000005, SEP}, {0});
  EXPECT_EQ(dumped(),
            "\n3 Tokens:\n"
            "00: OP = 01, Port = 00, Patt = 0101\n"
            "01: OP = 03, Port = 00, Patt = 0005\n"
            "02: OP = 7f, Port = 00, Patt = 0000\n"
            "\n1 Threads:\n"
            " Thread  0 starts at 00, with OP = 01, Port = 00, Patt = 0101\n");
}

TEST_F(DumpTest, TokenLinesSplitTheWordIntoItsFields) {
  struct Case {
    Token token;
    const char *line;  // as printed at index 00
  } cases[] = {
      {0x00008080, "00: OP = 00, Port = 00, Patt = 8080"},
      {0x01010f05, "00: OP = 01, Port = 01, Patt = 0f05"},
      {0x02ffabcd, "00: OP = 02, Port = ff, Patt = abcd"},  // lower case
      {0x05610000, "00: OP = 05, Port = 61, Patt = 0000"},
      {0x0400c3e8, "00: OP = 04, Port = 00, Patt = c3e8"},
      {0x7f000000, "00: OP = 7f, Port = 00, Patt = 0000"},
  };
  for (const Case &c : cases) {
    resettables();
    settables({c.token, SEP}, {0});
    std::vector<std::string> out = lines(dumped());
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[2], c.line) << std::hex << c.token;
  }
}

TEST_F(DumpTest, TokenNumbersHaveAtLeastTwoDigits) {
  std::vector<Token> tokens;
  for (int i = 0; i < 104; ++i) tokens.push_back(0x01000000u | static_cast<Token>(i));
  tokens.push_back(SEP);
  settables(tokens, {0});
  std::string out = dumped();
  EXPECT_TRUE(hasline(out, "105 Tokens:"));
  EXPECT_TRUE(hasline(out, "00: OP = 01, Port = 00, Patt = 0000"));
  EXPECT_TRUE(hasline(out, "09: OP = 01, Port = 00, Patt = 0009"));
  EXPECT_TRUE(hasline(out, "10: OP = 01, Port = 00, Patt = 000a"));
  EXPECT_TRUE(hasline(out, "99: OP = 01, Port = 00, Patt = 0063"));
  EXPECT_TRUE(hasline(out, "100: OP = 01, Port = 00, Patt = 0064"));
  EXPECT_TRUE(hasline(out, "104: OP = 7f, Port = 00, Patt = 0000"));
}

TEST_F(DumpTest, OnlySpawnTokensGetAFileLine) {
  // NOTATE at 0 (string 0), KILL at 1 (string 1), WAIT at 2, SPAWN at 3
  // (string 0), SPAWN at 4 (string 2).
  settables({0x07000000, 0x09010000, 0x00000101, 0x06000000, 0x06020000, SEP},
            {0}, {"note text", "worker", "ls -l"});
  std::vector<std::string> out = lines(dumped());
  std::vector<std::string> expected = {
      "",
      "6 Tokens:",
      "00: OP = 07, Port = 00, Patt = 0000",
      "01: OP = 09, Port = 01, Patt = 0000",
      "02: OP = 00, Port = 00, Patt = 0101",
      "03: OP = 06, Port = 00, Patt = 0000",
      "File: note text",
      "04: OP = 06, Port = 02, Patt = 0000",
      "File: ls -l",
      "05: OP = 7f, Port = 00, Patt = 0000",
  };
  ASSERT_GE(out.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + expected.size()),
            expected);
}

TEST_F(DumpTest, ThreadNumbersAreRightAlignedInTwoColumns) {
  // Eleven threads of one statement each: thread i's OUTPUT sets pattern i.
  std::vector<Token> tokens;
  std::vector<int32_t> starts;
  for (int i = 0; i < 11; ++i) {
    starts.push_back(static_cast<int32_t>(tokens.size()));
    tokens.push_back(0x01000000u | static_cast<Token>(i));
    tokens.push_back(SEP);
  }
  settables(tokens, starts);
  std::string out = dumped();
  size_t at = out.find("\n11 Threads:\n");
  ASSERT_NE(at, std::string::npos) << out;
  std::vector<std::string> threads = lines(out.substr(at + 13));
  ASSERT_EQ(threads.size(), 11u);
  EXPECT_EQ(threads[0], " Thread  0 starts at 00, with OP = 01, Port = 00, Patt = 0000");
  EXPECT_EQ(threads[4], " Thread  4 starts at 08, with OP = 01, Port = 00, Patt = 0004");
  EXPECT_EQ(threads[9], " Thread  9 starts at 18, with OP = 01, Port = 00, Patt = 0009");
  EXPECT_EQ(threads[10], " Thread 10 starts at 20, with OP = 01, Port = 00, Patt = 000a");
}

// A script that opens with "$" leaves thread 0 without a first token; its
// line must not show whatever lies before the token table.
TEST_F(DumpTest, ThreadWithoutStatementsSaysSo) {
  settables({SEP, 0x01000101, SEP}, {-1, 1});
  std::string out = dumped();
  EXPECT_TRUE(hasline(out, " Thread  0 starts at -1, with no statements")) << out;
  EXPECT_TRUE(hasline(out, " Thread  1 starts at 01, with OP = 01, Port = 00, Patt = 0101"))
      << out;
}

TEST_F(DumpTest, ScriptOfSeparatorsOnly) {
  settables({SEP}, {-1});
  EXPECT_EQ(dumped(),
            "\n1 Tokens:\n"
            "00: OP = 7f, Port = 00, Patt = 0000\n"
            "\n1 Threads:\n"
            " Thread  0 starts at -1, with no statements\n");
}

// Each section ends with one key read; the keys are used up by the dump
// (ESC as well, which does not end the program here) and the next key in
// the queue stays for the main loop.
TEST_F(DumpTest, ReadsExactlyTwoKeysAndDiscardsThem) {
  settables({0x01000101, SEP}, {0});
  fakekeyspush(KEY_ESC);
  fakekeyspush(KEY_ESC);
  fakekeyspush('x');
  std::string out = dumped();
  EXPECT_EQ(fakekeyspending(), 1);
  EXPECT_EQ(fakekeyemptyreads, 0);
  EXPECT_EQ(prog.lastkey, 0);
  EXPECT_TRUE(hasline(out, "1 Threads:"));  // ESC did not cut the dump short
}

TEST_F(DumpTest, WaitsForAKeyAfterEachSectionWhenNoneIsQueued) {
  settables({0x01000101, SEP}, {0});
  dumped();
  EXPECT_EQ(fakekeyemptyreads, 2);
  EXPECT_EQ(fakekeymode, 0) << "the terminal is given back after the pauses";
}

// The tables as the loader builds them from a script: one thread of two
// statements ends with its separator, which never starts a thread.
TEST_F(DumpTest, LoadedScriptEndsWithTheClosingSeparator) {
  loadscript("OUTPUT 0 1\nDELAY 0.5\n$\n$\n");
  std::vector<std::string> out = lines(dumped());
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[1], "3 Tokens:");
  EXPECT_EQ(out[2].substr(0, 8), "00: OP =");
  EXPECT_EQ(out[4], "02: OP = 7f, Port = 00, Patt = 0000");
  EXPECT_EQ(out[7].substr(0, 33), " Thread  0 starts at 00, with OP ");
}

}  // namespace
