// The guided calibration over the simulated port with its test connector:
// the control-byte search, the diagnostic lines, the calibration file and
// the two prompts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/startup.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/keys.h"
#include "sim/simport.h"
#include "port/calibrate.h"
#include "port/safe.h"
#include "compiler/literals.h"
#include "port/port.h"
#include "tests/testutil.h"

namespace {

const char *const FIRST_PROMPT =
    "\nInstall test connector on parallel port.\n"
    "<enter> to continue\n";
const char *const LAST_PROMPT =
    "\nRemove test plug from parallel port, and reconnect IO card.\n"
    "<enter> to continue, <ESC> to quit\n";
const char *const SUCCESS = "\nCalibration successful.\n";
const char *const FAILURE = "\nUnable to determine proper masking!\n";

// What the test connector on the simulated adapter shows under each control
// byte: INIT must be driven high (latch bit 2 set) and STROBE and AUTOFEED
// left free (latch bits 0 and 1 clear) for the lines to follow; BUSY,
// AUTOFEED and STROBE read inverted, hence the inversion word 83.
const char *const DIAGNOSTICS =
    "Ctl = 00, Pat = 00, Inp = 00, Inv = 83\n"
    "            Pat = 01, Inp = 01, Inv = 00\n"
    "            Pat = 03, Inp = 03, Inv = 00\n"
    "            Pat = 07, Inp = 03, Inv = 04\n"  // INIT held low
    "Ctl = 01, Pat = 00, Inp = 00, Inv = 83\n"
    "            Pat = 01, Inp = 00, Inv = 01\n"  // STROBE pulled low
    "Ctl = 02, Pat = 00, Inp = 00, Inv = 83\n"
    "            Pat = 01, Inp = 01, Inv = 00\n"
    "            Pat = 03, Inp = 01, Inv = 02\n"  // AUTOFEED pulled low
    "Ctl = 03, Pat = 00, Inp = 00, Inv = 83\n"
    "            Pat = 01, Inp = 00, Inv = 01\n"
    "Ctl = 04, Pat = 00, Inp = 00, Inv = 83\n"
    "            Pat = 01, Inp = 01, Inv = 00\n"
    "            Pat = 03, Inp = 03, Inv = 00\n"
    "            Pat = 07, Inp = 07, Inv = 00\n"
    "            Pat = 0f, Inp = 0f, Inv = 00\n"
    "            Pat = 1f, Inp = 1f, Inv = 00\n"
    "            Pat = 3f, Inp = 3f, Inv = 00\n"
    "            Pat = 7f, Inp = 7f, Inv = 00\n"
    "            Pat = ff, Inp = ff, Inv = 00\n";

using Names = std::vector<std::string>;

// The names in the test's folder, sorted: a temporary file left behind,
// whatever its name, shows here.
Names folder(void) {
  Names names;
  for (const auto &entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CalibrateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetall();
    entertempdir();
  }
  void TearDown() override {
    resettables();
    leavetempdir();
  }

  // Runs the procedure with its standard output captured.
  int run(std::string *out) {
    testing::internal::CaptureStdout();
    int result = calibrate();
    fflush(stdout);
    *out = testing::internal::GetCapturedStdout();
    return result;
  }
};

TEST_F(CalibrateTest, FindsControlByteFourOnTheTestConnector) {
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(out, std::string(FIRST_PROMPT) + SUCCESS + LAST_PROMPT);
  EXPECT_EQ(readfile("QUON.INI"), "04\n0083\n");
  EXPECT_EQ(folder(), Names{"QUON.INI"});
  EXPECT_EQ(prog.inifile, nullptr);
  EXPECT_EQ(prog.calctl, 4);
  EXPECT_EQ(prog.calinv, 0x83);
  EXPECT_EQ(fakekeyemptyreads, 2);  // one key at each prompt
  EXPECT_EQ(fakekeymode, 0) << "the terminal is given back after the prompts";
}

// On an adapter whose control lines all follow their pins under control
// byte 0, the first attempt succeeds: the file names control byte 0 and
// the input read with every data line at 0 (BUSY, INIT, AUTOFEED and STROBE
// read inverted here).
TEST_F(CalibrateTest, PortThatFollowsUnderControlByteZeroStopsAtTheFirstAttempt) {
  simadapter[0].inverted = 0x0F;
  prog.portdebug = FLAG_ON;
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(out, std::string(FIRST_PROMPT) +
                     "Ctl = 00, Pat = 00, Inp = 00, Inv = 87\n"
                     "            Pat = 01, Inp = 01, Inv = 00\n"
                     "            Pat = 03, Inp = 03, Inv = 00\n"
                     "            Pat = 07, Inp = 07, Inv = 00\n"
                     "            Pat = 0f, Inp = 0f, Inv = 00\n"
                     "            Pat = 1f, Inp = 1f, Inv = 00\n"
                     "            Pat = 3f, Inp = 3f, Inv = 00\n"
                     "            Pat = 7f, Inp = 7f, Inv = 00\n"
                     "            Pat = ff, Inp = ff, Inv = 00\n" +
                     SUCCESS + LAST_PROMPT);
  EXPECT_EQ(readfile("QUON.INI"), "00\n0087\n");
  EXPECT_EQ(prog.calctl, 0);
  EXPECT_EQ(prog.calinv, 0x87);
}

TEST_F(CalibrateTest, LeavesAllDataLinesHighAfterSuccess) {
  std::string out;
  ASSERT_EQ(run(&out), 1);
  EXPECT_EQ(simadapter[0].data, 0xFF);
  EXPECT_EQ(portreadback(0), 0xFF);
}

// With a declared safe pattern the card goes back on lines at it, after a
// success and after a failure alike; don't-care places keep the last byte.
TEST_F(CalibrateTest, DeclaredSafePatternIsAppliedBeforeTheCardGoesBack) {
  std::string out;
  ASSERT_EQ(safedeclare(0, texttopattern("0000....")), 0);
  ASSERT_EQ(run(&out), 1);
  EXPECT_EQ(simadapter[0].data, 0x0F);
  simadapter[0].wire[3] = 4;  // a faulty connector: no control byte works
  ASSERT_EQ(run(&out), 0);
  EXPECT_EQ(simadapter[0].data & 0xF0, 0x00);
}

// The values in the file, read back as start-up reads them, make every
// input bit equal the data bit of the same position.
TEST_F(CalibrateTest, FileValuesMakeInputsFollowTheDataLines) {
  std::string out;
  ASSERT_EQ(run(&out), 1);
  prog.calctl = prog.calinv = 0;
  FILE *f = fopen("QUON.INI", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(scancalibration(f), 1);
  fclose(f);
  EXPECT_EQ(prog.calctl, 4);
  EXPECT_EQ(prog.calinv, 0x83);
  for (unsigned b = 0; b < 256; ++b) {
    portwrite(0, static_cast<uint8_t>(b));
    EXPECT_EQ(portinput(0), b) << "data byte " << b;
  }
}

TEST_F(CalibrateTest, PortDebugPrintsEveryMeasurement) {
  prog.portdebug = FLAG_ON;
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(out, std::string(FIRST_PROMPT) + DIAGNOSTICS + SUCCESS + LAST_PROMPT);
}

// Under control byte 0 the INIT line is held low: pattern 07 is the first
// that cannot read back, and the attempt stops right there.
TEST_F(CalibrateTest, MismatchAtPattern07EndsTheAttemptAfterThreePatterns) {
  prog.portdebug = FLAG_ON;
  std::string out;
  run(&out);
  std::vector<std::string> all = lines(out);
  std::vector<std::string> attempt;
  bool inside = false;
  for (const std::string &l : all) {
    if (l.rfind("Ctl = ", 0) == 0) inside = l.rfind("Ctl = 00,", 0) == 0;
    else if (inside && l.find("Pat = ") != std::string::npos) attempt.push_back(l);
  }
  ASSERT_EQ(attempt.size(), 3u) << out;
  EXPECT_EQ(attempt[2], "            Pat = 07, Inp = 03, Inv = 04");
}

// With -v as well, every read of the port shows its raw registers: two
// reads before the "Ctl" line, three before each "Pat" line.
TEST_F(CalibrateTest, VerbosePortDebugShowsEveryInputInBetween) {
  prog.portdebug = FLAG_ON;
  prog.verbose = FLAG_ON;
  std::string out;
  EXPECT_EQ(run(&out), 1);
  std::string shape;
  std::vector<std::string> all = lines(out);
  for (const std::string &l : all) {
    if (l.rfind("inputting ", 0) == 0) shape += 'i';
    else if (l.rfind("Ctl = ", 0) == 0) shape += 'C';
    else if (l.rfind("            Pat = ", 0) == 0) shape += 'P';
  }
  auto attempt = [](int patterns) {
    std::string s = "iiC";
    for (int k = 0; k < patterns; ++k) s += "iiiP";
    return s;
  };
  EXPECT_EQ(shape, attempt(3) + attempt(1) + attempt(2) + attempt(1) + attempt(8));
  // The first read sees the raw registers with every data line at 0 under
  // control byte 0: status 87, control lines 03.
  ASSERT_GT(all.size(), 3u);
  EXPECT_EQ(all[3], "inputting 87 | 03");
}

TEST_F(CalibrateTest, WithoutPortDebugVerboseAlonePrintsNoReadings) {
  prog.verbose = FLAG_ON;
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(out, std::string(FIRST_PROMPT) + SUCCESS + LAST_PROMPT);
}

// Connectors that no control byte can make right: calibration fails and no
// calibration file is left, so the next start calibrates again.
TEST_F(CalibrateTest, FaultyConnectorFailsAndLeavesNoFile) {
  struct Rig {
    const char *name;
    int bit;
    int wire;   // data line driving the bit; -2 keeps it
    int stuck;  // level the pin is stuck at; -1 none
  } rigs[] = {
      {"bit 5 stuck high", 5, -2, 1},
      {"bit 7 stuck low", 7, -2, 0},
      {"bit 0 stuck low", 0, -2, 0},
      {"bit 3 unconnected", 3, -1, -1},
      {"bit 4 wired to data 6", 4, 6, -1},
      {"bit 2 wired to data 1", 2, 1, -1},
  };
  for (const Rig &r : rigs) {
    resetall();
    writefile("QUON.INI.tmp", "stale\n");  // a name someone planted
    if (r.wire != -2) simadapter[0].wire[r.bit] = static_cast<int8_t>(r.wire);
    simadapter[0].stuck[r.bit] = static_cast<int8_t>(r.stuck);
    std::string out;
    EXPECT_EQ(run(&out), 0) << r.name;
    EXPECT_EQ(out, std::string(FIRST_PROMPT) + FAILURE + LAST_PROMPT) << r.name;
    EXPECT_EQ(prog.calctl, 8) << r.name << ": every control byte was tried";
    EXPECT_EQ(folder(), Names{"QUON.INI.tmp"}) << r.name;
    EXPECT_EQ(readfile("QUON.INI.tmp"), "stale\n") << r.name;
    EXPECT_EQ(prog.inifile, nullptr) << r.name;
  }
}

TEST_F(CalibrateTest, FailureTriesEveryControlByteUnderPortDebug) {
  simadapter[0].stuck[6] = 1;
  prog.portdebug = FLAG_ON;
  std::string out;
  EXPECT_EQ(run(&out), 0);
  std::vector<std::string> controls;
  for (const std::string &l : lines(out)) {
    if (l.rfind("Ctl = ", 0) == 0) controls.push_back(l.substr(0, 8));
  }
  EXPECT_EQ(controls, (std::vector<std::string>{"Ctl = 00", "Ctl = 01", "Ctl = 02",
                                                "Ctl = 03", "Ctl = 04", "Ctl = 05",
                                                "Ctl = 06", "Ctl = 07"}));
}

// The temporary file has a fresh name of its own: a file planted under a
// name an earlier version used is neither opened nor removed.
TEST_F(CalibrateTest, PlantedTemporaryNameIsNeverOpened) {
  writefile("QUON.INI.tmp", "0000000000000000000000000\nzz\n");
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(readfile("QUON.INI"), "04\n0083\n");
  EXPECT_EQ(readfile("QUON.INI.tmp"), "0000000000000000000000000\nzz\n");
  EXPECT_EQ(folder(), (Names{"QUON.INI", "QUON.INI.tmp"}));
}

TEST_F(CalibrateTest, EscAtTheFirstPromptGoesOn) {
  fakekeyspush(KEY_ESC);
  fakekeyspush('\r');
  std::string out;
  EXPECT_EQ(run(&out), 1);
  EXPECT_EQ(fakekeyspending(), 0);
  EXPECT_EQ(readfile("QUON.INI"), "04\n0083\n");
}

TEST_F(CalibrateTest, OtherKeysAtTheLastPromptReturnToStartUp) {
  for (int key : {int{'\r'}, int{' '}, int{'q'}, 0}) {
    resetall();
    fakekeyspush('\r');
    fakekeyspush(key);
    std::string out;
    EXPECT_EQ(run(&out), 1) << "key " << key;
    EXPECT_EQ(fakekeyspending(), 0);
  }
}

using CalibrateDeathTest = CalibrateTest;

// ESC at the last prompt ends the program with status 0, whether the search
// succeeded or not. After a success the file was complete before the
// prompt, so the next start uses it; after a failure nothing is left.
TEST_F(CalibrateDeathTest, EscAtTheLastPromptEndsWithStatusZero) {
  struct Case {
    const char *name;
    bool faulty;  // AUTOFEED's pin stuck low: no control byte works
    Names left;
  } cases[] = {
      {"after success", false, Names{"QUON.INI"}},
      {"after failure", true, Names{}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    resetall();
    unlink("QUON.INI");
    if (c.faulty) simadapter[0].stuck[1] = 0;
    fakekeyspush('\r');
    fakekeyspush(KEY_ESC);
    EXPECT_EXIT(
        {
          testing::internal::CaptureStdout();
          calibrate();
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(folder(), c.left);
    if (!c.faulty) {
      EXPECT_EQ(readfile("QUON.INI"), "04\n0083\n");
    }
  }
}

// The file is created before anything else: when the folder cannot take it
// (here it has been removed, which binds root too), the program ends before
// a prompt is shown or the port is touched.
TEST_F(CalibrateDeathTest, FileThatCannotBeCreatedEndsTheProgram) {
  std::string gone = std::filesystem::current_path().string() + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  fakekeyspush('\r');
  fakekeyspush('\r');
  EXPECT_EXIT(
      {
        simtracing = 1;
        atexit([] {
          fprintf(stderr, "accesses %d, keys %d\n", simtracecount,
                  fakekeyspending());
        });
        calibrate();
      },
      testing::ExitedWithCode(255),
      "^Could not open QUON.INI for output!\naccesses 0, keys 2\n$");
}

}  // namespace
