// The example scripts shipped with the program: each one loads without a
// line in the log, is written so that its comments can never turn into
// statements, and does on the simulated port what its comments promise.
// They are the first scripts a user copies, so none of them may rot.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/token.h"
#include "driver/mainloop.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/files.h"
#include "sim/simport.h"
#include "port/calibrate.h"
#include "port/port.h"
#include "tests/testutil.h"

#ifndef QUON_EXAMPLES_DIR
#error "QUON_EXAMPLES_DIR must name the folder of the example scripts"
#endif

namespace {

const std::string EXAMPLES = QUON_EXAMPLES_DIR;

// The scripts the manual page and the README point users at.
const char *const SHIPPED[] = {"demo",     "blinker",  "handshake",
                               "keys",     "watchdog", "spawnlog", "relay-tester"};

// Statements as the examples spell them: in full and in capitals, so that a
// reader sees at once which lines run. "$" closes a thread.
const char *const SPELLED[] = {"WAIT", "OUTPUT", "TOGGLE", "DELAY",
                               "REPEAT", "KEY", "SPAWN", "NOTATE",
                               "KILL", "NAME", "$"};

std::vector<std::string> listexamples(void) {
  std::vector<std::string> names;
  DIR *dir = opendir(EXAMPLES.c_str());
  if (dir == nullptr) return names;
  while (dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".qun") == 0) {
      names.push_back(name.substr(0, name.size() - 4));
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string scripttext(const std::string &name) {
  return readfile(EXAMPLES + "/" + name + ".qun");
}

// The first space-separated word of a line ("" for a blank line).
std::string firstword(const std::string &line) {
  size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  size_t end = line.find(' ', start);
  return line.substr(start, end == std::string::npos ? end : end - start);
}

int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

// The calibration the examples folder carries, as start-up reads it.
void useexamplecalibration(void) {
  unsigned ctl = 0, inv = 0;
  std::string ini = readfile(EXAMPLES + "/QUON.INI");
  ASSERT_EQ(sscanf(ini.c_str(), "%2x %4x", &ctl, &inv), 2) << ini;
  prog.calctl = static_cast<uint16_t>(ctl);
  prog.calinv = static_cast<uint16_t>(inv);
}

TEST(ExamplesFolder, HoldsEveryScriptTheDocumentationNames) {
  std::vector<std::string> found = listexamples();
  for (const char *name : SHIPPED) {
    EXPECT_NE(std::find(found.begin(), found.end(), name), found.end())
        << name << ".qun is missing from the examples folder";
  }
}

// The demo runs from the examples folder without calibrating first, so its
// QUON.INI must hold what calibration finds on the simulated port.
TEST(ExamplesFolder, CalibrationFileMatchesWhatCalibrationWrites) {
  std::string shipped = readfile(EXAMPLES + "/QUON.INI");
  ASSERT_FALSE(shipped.empty());
  resetall();
  entertempdir();
  int ok = calibrate();  // both prompts answered by Enter
  char name[64] = "";
  EXPECT_EQ(findcasename("QUON.INI", name, sizeof name), 0);
  std::string written = readfile(name);
  leavetempdir();
  resettables();
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(shipped, written);
}

class ExampleScript : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    text = scripttext(GetParam());
    ASSERT_FALSE(text.empty()) << GetParam() << ".qun is empty or unreadable";
    lines = ::lines(text);
  }
  void TearDown() override { resettables(); }

  std::string text;
  std::vector<std::string> lines;
};

// A line longer than the line buffer is read in pieces, and a piece that
// happens to start with a statement letter would be compiled.
TEST_P(ExampleScript, EveryLineFitsOneRead) {
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 78u) << "line " << i + 1 << ": " << lines[i];
  }
  EXPECT_EQ(text.back(), '\n') << "the last line has no line end";
}

// Comments start with ";", which matches no statement; statements are
// spelled out. Prose such as "Delay the start" would compile as a DELAY.
TEST_P(ExampleScript, EveryLineIsBlankCommentOrSpelledStatement) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string &line = lines[i];
    std::string word = firstword(line);
    if (word.empty() || line[0] == ';') continue;
    bool spelled = false;
    for (const char *keyword : SPELLED) spelled = spelled || word == keyword;
    EXPECT_TRUE(spelled) << "line " << i + 1 << ": " << line;
    EXPECT_EQ(line.find('\t'), std::string::npos)
        << "line " << i + 1 << ": a TAB joins words into one";
  }
}

// No error line, and no warning about a missing end mark.
TEST_P(ExampleScript, LoadsWithNothingInTheLog) {
  resetall();
  loadscript(text);
  EXPECT_EQ(logtext(), "");
}

// Every statement line became a token and every thread has statements: a
// line that silently compiled to nothing would show here.
TEST_P(ExampleScript, EveryStatementLineBecomesAToken) {
  int statements = 0, separators = 0, namesinfirstthread = 0;
  for (const std::string &line : lines) {
    std::string word = firstword(line);
    if (word.empty() || line[0] == ';') continue;
    ++statements;
    if (word == "$") ++separators;
    if (word == "NAME" && separators == 0) ++namesinfirstthread;
  }
  resetall();
  loadscript(text);
  // The NAME of the first thread and the second "$" of the end mark leave
  // no token.
  EXPECT_EQ(prog.tokencount, statements - namesinfirstthread - 1);
  EXPECT_EQ(prog.threadcount, separators - 1);
  for (int32_t t = 0; t < prog.threadcount; ++t) {
    EXPECT_GE(prog.threadstart[t], 0) << "thread " << t << " is empty";
  }
}

// A KILL whose name no thread bears only prints a complaint at run time.
TEST_P(ExampleScript, EveryKillNamesAThread) {
  resetall();
  loadscript(text);
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    Token token = prog.tokens[i];
    if (tokenop(token) != OP_KILL) continue;
    const char *target = prog.strings[tokenport(token)];
    bool named = false;
    for (int32_t t = 0; t < prog.threadcount; ++t) {
      named = named || strcmp(prog.threadname[t], target) == 0;
    }
    EXPECT_TRUE(named) << "KILL " << target;
  }
}

// With the test connector every input bit follows the data bit of the same
// position, so a WAIT can only ever hold when the script drives that bit.
TEST_P(ExampleScript, EveryWaitedBitIsDrivenByTheScript) {
  resetall();
  loadscript(text);
  unsigned driven[256] = {};
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    Token token = prog.tokens[i];
    if (tokenop(token) == OP_OUTPUT) driven[tokenport(token)] |= tokenpatt(token) >> 8;
    if (tokenop(token) == OP_TOGGLE) driven[tokenport(token)] |= tokenpatt(token) & 0xFF;
  }
  for (int32_t i = 0; i < prog.tokencount; ++i) {
    Token token = prog.tokens[i];
    if (tokenop(token) != OP_WAIT) continue;
    unsigned mask = tokenpatt(token) >> 8;
    EXPECT_EQ(mask & ~driven[tokenport(token)], 0u)
        << "WAIT at token " << i << " tests bits nothing drives";
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, ExampleScript,
                         ::testing::ValuesIn(listexamples()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           std::string name = info.param;
                           for (char &c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// ---- Running the examples on the simulated port ----

struct TimedKey {
  uint32_t atms;  // simulated time at which the key is typed
  char key;
};

struct Expect {
  const char *text;  // printed on standard output (or given to the shell)
  int atleast;       // times it must appear
  int atmost;        // times it may appear at most
};

struct ExampleRunCase {
  const char *name;
  uint8_t dump;               // -d: trace every output byte
  uint32_t lastms;            // how long to run, simulated
  std::vector<TimedKey> keys;
  std::vector<Expect> printed;
  std::vector<Expect> spawned;
  int finaldata;              // data byte of port 0 at the end; -1 any
};

const int MANY = 1 << 30;

// What each example's comments promise, over a simulated clock that moves
// 5 ms per pass.
const ExampleRunCase RUNS[] = {
    {"demo", 0, 10000, {{3000, 't'}},
     {{"QUON demo: bit 0 blinks, t flips bit 7, ESC quits.", 1, 1},
      {"follower: input bit 0 went high", 9, 11},
      {"follower: input bit 0 went low", 9, 11},
      {"KEY (3) triggered on t", 1, 1},
      {"watcher: input bit 7 is on", 1, 1},
      {"watcher: input bit 7 is off", 0, 0}},
     {},
     -1},
    {"blinker", FLAG_ON, 4000, {},
     {{"Outputting 00", 1, MANY},
      {"Outputting 01", 1, MANY},
      {"Outputting 02", 1, MANY},
      {"Outputting 03", 1, MANY}},
     {},
     -1},
    {"handshake", 0, 5500, {},
     {{"responder: request seen, acknowledging", 4, 5},
      {"requester: request acknowledged", 4, 5}},
     {},
     -1},
    {"keys", 0, 5000, {{500, 'S'}, {800, 's'}, {3000, 'c'}, {3500, '1'}},
     {{"sequence: running", 1, 1},
      {"sequence: done, c clears", 1, 1},
      {"clear: all bits off", 1, 1},
      {"KEY (0) triggered on s", 1, 1},
      {"KEY (2) triggered on 1", 1, 1}},
     {},
     0x80},
    {"watchdog", 0, 10500, {},
     {{"device: stalling for 3 s", 2, 2},
      {"watchdog: no pulse for 2 s, restarting the worker", 2, 2}},
     {},
     -1},
    {"spawnlog", 0, 9000, {},
     {},
     {{"run started\" >> events.log", 1, 1},
      {"input bit 0 high\" >> events.log", 3, 3},
      {"input bit 0 low\" >> events.log", 2, 2}},
     -1},
    // A cycle a second; p pauses at the end of the cycle under way.
    {"relay-tester", 0, 8000, {{2500, 'p'}, {5500, 'r'}},
     {{"cycle: contact made", 4, 6},
      {"paused: r resumes", 1, 1},
      {"resumed", 1, 1},
      {"timeout", 0, 0}},
     {},
     -1},
};

// Runs the loaded program pass by pass; returns what it printed.
std::string runfor(const ExampleRunCase &run) {
  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = dup(fileno(stdout));
  dup2(fileno(capture), fileno(stdout));
  mainloopinit();
  size_t nextkey = 0;
  int ended = 0;
  for (fakeclock = 1; fakeclock <= run.lastms && !ended; fakeclock += 5) {
    if (nextkey < run.keys.size() && fakeclock >= run.keys[nextkey].atms) {
      fakekeyspush(run.keys[nextkey++].key);
    }
    ended = mainlooppass() != 0;
  }
  fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  std::string out;
  rewind(capture);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, capture)) > 0) out.append(buf, n);
  fclose(capture);
  EXPECT_EQ(ended, 0) << "the run ended early";
  return out;
}

void expectcounts(const std::vector<Expect> &expects, const std::string &seen) {
  for (const Expect &e : expects) {
    int n = count(seen, e.text);
    EXPECT_GE(n, e.atleast) << e.text << "\n--- seen:\n" << seen;
    EXPECT_LE(n, e.atmost) << e.text << "\n--- seen:\n" << seen;
  }
}

TEST(ExampleRun, EachExampleDoesWhatItsCommentsSay) {
  for (const ExampleRunCase &run : RUNS) {
    SCOPED_TRACE(run.name);
    std::string text = scripttext(run.name);
    ASSERT_FALSE(text.empty());
    resetall();
    ASSERT_NO_FATAL_FAILURE(useexamplecalibration());
    portflagbanks(1u << 2);  // relay-tester's --flags=2; no other example addresses port 2
    prog.dump = run.dump;
    loadscript(text);
    std::string out = runfor(run);
    expectcounts(run.printed, out);
    std::string commands;
    for (int i = 0; i < fakeshellcount && i < 16; ++i) {
      commands += fakeshellcommands[i];
      commands += '\n';
    }
    expectcounts(run.spawned, commands);
    if (run.finaldata >= 0) {
      EXPECT_EQ(simadapter[0].data, run.finaldata);
    }
    resettables();
  }
}

}  // namespace
