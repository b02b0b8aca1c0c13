// Start-up: options, file opening order, messages and exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "driver/startup.h"
#include "core/tables.h"
#include "tests/fakes/fakes.h"
#include "platform/files.h"
#include "platform/keys.h"
#include "sim/simport.h"
#include "tests/testutil.h"
#include "text/casefold.h"

namespace {

const char *const USAGE =
    "QUON [-v] [-d] [-b] [-? | /?] [--<option>...] [<file>]\n\n"
    "   -v              Verbose: the script's full source listed in QUON.log\n"
    "        (with -b, every input reading printed too).\n"
    "   -d              Dump: the tokens of the script, line by line, and the\n"
    "        first entry of each thread; every output byte printed.\n"
    "   -b              Port debugging: the calibration's readings printed\n"
    "        (with -v, every input reading).\n"
    "   -?, /?          Prints this message.\n"
    "   <file>          The script; a name without any '.' gets \".qun\".\n"
    "        Without one, the script is read from standard input.\n\n";

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetall();
    entertempdir();
    writefile("QUON.INI", "04\n0083\n");
    writefile("ok.qun", "OUTPUT 0 1\n$\n$\n");
  }
  void TearDown() override {
    resettables();
    leavetempdir();
  }
};

TEST_F(StartupTest, UsageTextAndStatusZero) {
  for (const char *arg : {"-?", "/?", "-?help", "/?x"}) {
    QuonRun r = runquon({arg});
    EXPECT_EQ(r.status, 0) << arg;
    EXPECT_EQ(r.out, USAGE) << arg;
    EXPECT_EQ(r.err, "") << arg;
  }
}

// The long options act where they stand, like -?; a trace file that cannot
// be made ends the start-up before the port is looked for (here there is
// none, so a later check would have said that instead).
TEST_F(StartupTest, LongOptionsAndTraceFilesThatCannotBeMade) {
  const std::string LONGUSAGE = std::string(USAGE) +
      "   --testbench=<file>  Runs the script on the simulated port under the\n"
      "        testbench <file> (inputs, keys, expected outputs, simulated time);\n"
      "        given again, each bench runs in turn from power-on.\n"
      "   --junit=<file>  The benches' results as a JUnit XML report in <file>.\n"
      "   --tap=<file>    The benches' results as a TAP stream in <file>.\n"
      "   --coverage=<file>  How often the benches reached each statement, an lcov\n"
      "        tracefile in <file> (genhtml renders it).\n"
      "   --check         Checks the script: its errors and warnings on standard\n"
      "        error as FILE:LINE: ..., nothing run (no port, no QUON.log).\n"
      "   --safe=<port>:<pattern>  At every stop (ESC, a failure, a signal, after a\n"
      "        calibration) the pattern is applied to the port's outputs.\n"
      "   --flags=<port>,...  Each named logical port (2-9) a bank of eight flag\n"
      "        bits in memory, all 0 at start: OUTPUT and TOGGLE set them, WAIT\n"
      "        reads them, for threads to share a state.\n"
      "   --stamp         Every line the run prints while it runs (notes, KEY and\n"
      "        KILL lines, -d's outputs) begins with the run's clock in seconds\n"
      "        and milliseconds (12.345).\n"
      "   --region-group=<group>  The monitors' region readable and writable by the\n"
      "        group (a name or a number), so its members watch, force and type.\n"
      "   --realtime[=<priority>]  Real-time mode: SCHED_FIFO at <priority>\n"
      "        (1-98, default 49), one processor (--cpu=<n> names it), memory\n"
      "        locked, asleep while only time or keys can move a thread.\n"
      "   --realtime-budget=<percent>  Share of a processor the mode may spin\n"
      "        before deadlines while only time or keys can move a thread\n"
      "        (1-100, default 20).\n"
      "   --latency-test[=<seconds>]  How late DELAYs of 1 ms end here,\n"
      "        plain and in the real-time mode, <seconds> each (default 10);\n"
      "        no port, no script. --json prints it as one JSON object.\n"
      "   --ports         Lists the parallel ports and the one logical port 0 takes,\n"
      "        and the GPIO chips with their lines.\n"
      "   --port=<port>   Logical port 0 at <port> (parportN, an address such as\n"
      "        0x378, or GPIO lines: CHIP:out=LINE,...:in=LINE,...);\n"
      "        --port1=<port> does the same for logical port 1.\n"
      "   --spin          GPIO inputs polled at every WAIT, the loop never\n"
      "        sleeping, instead of following the lines' edges.\n"
      "   --trace=<file>  Every line change of the run recorded in <file>\n"
      "        (a VCD waveform for GTKWave or PulseView).\n"
      "   --help          Prints this message.\n"
      "   --version       Prints the program's name and version.\n";
  ASSERT_EQ(mkdir("folder", 0755), 0);
  writefile("victim", "precious\n");
  ASSERT_EQ(symlink("victim", "link.vcd"), 0);
  const std::string NOFILE = "Unable to open trace file ";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--help", "missing"}, 0, LONGUSAGE, ""},
      {{"missing", "--help"}, 255, "", "Unable to open missing.qun for read!\n\n"},
      {{"--version"}, 0, "quon\n", ""},
      {{"--trace=", "ok"}, 255, "", NOFILE + "\"\"! (no file name after --trace=)\n"},
      {{"--trace=folder", "ok"}, 255, "", NOFILE + "\"folder\"! (Is a directory)\n"},
      {{"--trace=no/t.vcd", "ok"}, 255, "",
       NOFILE + "\"no/t.vcd\"! (No such file or directory)\n"},
      {{"--trace=link.vcd", "ok"}, 255, "",
       NOFILE + "\"link.vcd\"! (a symbolic link, which is never followed)\n"},
  };
  simbiosword = 0;  // no port: the child inherits it
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
  EXPECT_EQ(readfile("victim"), "precious\n");
}

// The ports the back-end knows, and the chosen one: a name it lists, an
// address (unlisted ones with a warning), nothing else.
TEST_F(StartupTest, PortsAreListedAndChosenByNameOrAddress) {
  const std::string SIMPORTS =
      "parport0  base 0x378  extended none    modes PCSPP (simulated)\n"
      "parport1  base 0x278  extended none    modes PCSPP (simulated)\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--ports"}, 0,
       SIMPORTS + "BIOS data area: 0x378\nlogical port 0: 0x378, the port the BIOS data area records\n",
       ""},
      {{"--port=parport1", "ok"}, 27, "", ""},
      {{"--port=0x278", "--port1=888", "ok"}, 27, "", ""},
      {{"--port=0x3bc", "ok"}, 27, "",
       "Warning: --port=0x3bc: 0x3bc is no port the kernel lists; used as given\n"},
      {{"--port=parport7", "ok"}, 255, "",
       "--port=parport7: the kernel lists no such port (see --ports)\n"},
      {{"--port1=0x", "ok"}, 255, "",
       "--port1=0x: not a port (parportN as --ports lists them, or an address such as 0x378)\n"},
      {{"--port=65535", "ok"}, 255, "",
       "--port=65535: not a port (parportN as --ports lists them, or an address such as 0x378)\n"},
      // Decimal with a leading 0 is no octal; hexadecimal only after 0x.
      {{"--port=0377", "ok"}, 27, "",
       "Warning: --port=0377: 0x179 is no port the kernel lists; used as given\n"},
      {{"--port=0X278", "ok"}, 27, "", ""},
      {{"--port= 888", "ok"}, 255, "",
       "--port= 888: not a port (parportN as --ports lists them, or an address such as 0x378)\n"},
      {{"--port1=+632", "ok"}, 255, "",
       "--port1=+632: not a port (parportN as --ports lists them, or an address such as 0x378)\n"},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
}

TEST_F(StartupTest, OptionsMatchTheirFirstTwoCharactersIgnoringCase) {
  struct Case {
    const char *arg;
    uint8_t verbose, dump, portdebug;
  } cases[] = {
      {"-v", FLAG_ON, 0, 0},  {"-V", FLAG_ON, 0, 0},
      {"-verbose", FLAG_ON, 0, 0}, {"-vx", FLAG_ON, 0, 0},
      {"-d", 0, FLAG_ON, 0},  {"-D", 0, FLAG_ON, 0},
      {"-b", 0, 0, FLAG_ON},  {"-B", 0, 0, FLAG_ON},
      {"-", 0, 0, 0},         {"-x", 0, 0, 0},
  };
  for (const Case &c : cases) {
    resettables();
    char prog0[] = "quon";
    std::string arg = c.arg;
    char *argv[] = {prog0, &arg[0], nullptr};
    readarguments(2, argv);
    EXPECT_EQ(prog.verbose, c.verbose) << c.arg;
    EXPECT_EQ(prog.dump, c.dump) << c.arg;
    EXPECT_EQ(prog.portdebug, c.portdebug) << c.arg;
    EXPECT_EQ(prog.infile, nullptr) << c.arg << " is no file name";
  }
}

TEST_F(StartupTest, SlashFormsAreFileNames) {
  QuonRun r = runquon({"/v"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Unable to open /v.qun for read!\n\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(StartupTest, ExtensionAppendedOnlyToNamesWithoutADot) {
  struct Case {
    const char *arg;
    const char *opened;  // the name in the failure message
  } cases[] = {
      {"script", "script.qun"},
      {"script.txt", "script.txt"},
      {"..\\script", "..\\script"},
      {"dir.d/script", "dir.d/script"},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon({c.arg});
    EXPECT_EQ(r.status, 255) << c.arg;
    EXPECT_EQ(r.err, std::string("Unable to open ") + c.opened +
                         " for read!\n\n")
        << c.arg;
  }
}

TEST_F(StartupTest, ScriptFoundByNameWithExtensionAndAnyCase) {
  writefile("BLINK.QUN", "OUTPUT 0 1\n$\n$\n");
  for (const char *name : {"blink", "BLINK", "Blink.qun", "ok"}) {
    QuonRun r = runquon({name});
    EXPECT_EQ(r.status, 27) << name << ": " << r.err;
    EXPECT_EQ(r.err, "") << name;
  }
}

TEST_F(StartupTest, ArgumentsAreHandledStrictlyFromLeftToRight) {
  QuonRun missingfirst = runquon({"missing", "-?"});
  EXPECT_EQ(missingfirst.status, 255);
  EXPECT_EQ(missingfirst.err, "Unable to open missing.qun for read!\n\n");
  EXPECT_EQ(missingfirst.out, "");

  QuonRun usagefirst = runquon({"-?", "missing"});
  EXPECT_EQ(usagefirst.status, 0);
  EXPECT_EQ(usagefirst.out, USAGE);
}

// What the arguments ask for is done after they are all read, but in the
// order they gave it: the first that ends the program is the one seen.
TEST_F(StartupTest, EffectsComeInTheOrderOfTheArguments) {
  const std::string MISSING = "Unable to open missing.qun for read!\n\n";
  const std::string BADCPU = "--cpu=x: a processor's number (0, 1, ...)\n";
  const std::string BADSAFE = "--safe=2:1: the port is 0 or 1 (--safe=PORT:PATTERN)\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"missing", "--cpu=x"}, 255, "", MISSING},
      {{"--cpu=x", "missing"}, 255, "", BADCPU},
      {{"missing", "--safe=2:1"}, 255, "", MISSING},
      {{"--safe=2:1", "--cpu=x"}, 255, "", BADSAFE},
      {{"--safe=0:1", "--safe=0:0", "ok"}, 255, "",
       "--safe=0:0: port 0 has a safe pattern already\n"},
      {{"missing", "--version"}, 255, "", MISSING},
      {{"--version", "missing", "--cpu=x"}, 0, "quon\n", ""},
      {{"--port=0x3bc", "missing"}, 255, "",
       "Warning: --port=0x3bc: 0x3bc is no port the kernel lists; used as given\n" + MISSING},
      {{"missing", "--port=parport7"}, 255, "", MISSING},
      {{"--cpu=1", "missing"}, 255, "", MISSING},
      {{"--cpu=1", "ok"}, 255, "", "--cpu=1 needs --realtime\n"},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args[1];
  }
}

// One logical port is on GPIO lines or on a parallel port, never both,
// in either order; a check reads a map but opens no chip (quon-sim refuses
// every chip it is asked to open).
TEST_F(StartupTest, APortIsOnGpioLinesOrOnAParallelPortNeverBoth) {
  const std::string MIXED = " (a GPIO port and a parallel port cannot be mixed)\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"--port=0x378", "--port=chip:out=1", "ok"}, 255,
       "--port=chip:out=1: logical port 0 is on a parallel port already" + MIXED},
      {{"--check", "--port=chip:out=1", "--port=0x378", "ok"}, 255,
       "--port=0x378: logical port 0 is on GPIO lines already" + MIXED},
      {{"--port1=parport1", "--port1=chip:in=2", "ok"}, 255,
       "--port1=chip:in=2: logical port 1 is on a parallel port already" + MIXED},
      {{"--check", "--port=chip:out=1", "--port1=chip:in=2", "ok"}, 0,
       "ok.qun: 0 errors, 0 warnings\n"},
      {{"--port=chip:out=1", "ok"}, 255,
       "--port=chip:out=1: quon-sim simulates parallel ports only: run GPIO lines with quon\n"},
      {{"--check", "--port=chip:out=-", "ok"}, 255,
       "--port=chip:out=-: every place is \"-\": the map has no lines (the form is "
       "CHIP:out=LINE,...:in=LINE,...)\n"},
  };
  for (const Case &c : cases) {
    QuonRun r = runquon(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
  }
}

TEST_F(StartupTest, TwoFileNamesBothOpenedTheSecondIsTheScript) {
  writefile("first.qun", "NOTATE first\n$\n$\n");
  QuonRun both = runquon({"first", "ok", "-v"});
  EXPECT_EQ(both.status, 27);
  EXPECT_NE(readfile("QUON.log").find("OUTPUT 0 .......1"), std::string::npos);
  EXPECT_EQ(readfile("QUON.log").find("NOTATE"), std::string::npos);

  QuonRun missing = runquon({"missing", "ok"});
  EXPECT_EQ(missing.status, 255);
  EXPECT_EQ(missing.err, "Unable to open missing.qun for read!\n\n");
}

TEST_F(StartupTest, ScriptFromStandardInputWithoutAName) {
  QuonRun r = runquon({"-v"}, "NOTATE from stdin\n$\n$\n");
  EXPECT_EQ(r.status, 27);
  EXPECT_NE(readfile("QUON.log").find("NOTATE  (0) \"from stdin\""),
            std::string::npos);
}

TEST_F(StartupTest, NoArgumentsReadTheScriptFromStandardInput) {
  QuonRun r = runquon({}, "WAIT\n$\n$\n");
  EXPECT_EQ(r.status, 27) << r.err;
  EXPECT_EQ(r.err, "QUON.log: 1 script error (first at line 1)\n");
  EXPECT_EQ(readfile("QUON.log"),
            "001: WAIT                                     |  "
            "Error: too few args to WAIT\n");
}

// Unknown options are passed over in silence; the run goes on as without them.
TEST_F(StartupTest, UnknownShortOptionsAreIgnoredWithoutAMessage) {
  QuonRun r = runquon({"-x", "-", "ok", "-"});
  EXPECT_EQ(r.status, 27) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(readfile("QUON.log"), "");
}

// Calibration comes after the log is created and before any script line is
// read: quitting at its last prompt leaves an empty log although the script
// holds an error line.
TEST_F(StartupTest, MissingCalibrationFileCalibratesBeforeTheScriptIsRead) {
  const std::string script = "WAIT\n$\n$\n";
  writefile("bad.qun", script);
  const std::string error =
      "001: WAIT                                     |  "
      "Error: too few args to WAIT\n";
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<int> keys;
    int status;
    std::string log;
  } cases[] = {
      {"quit at the last prompt, named script", {"bad"},
       {KEY_ENTER, KEY_ESC}, 0, ""},
      {"quit at the last prompt, script on standard input", {},
       {KEY_ENTER, KEY_ESC}, 0, ""},
      {"go on, then ESC in the main loop", {"bad"},
       {KEY_ENTER, KEY_ENTER, KEY_ESC}, 27, error},
  };
  for (const Case &c : cases) {
    unlink("QUON.INI");
    unlink("QUON.log");
    QuonRun r = runquon(c.args, script, c.keys);
    EXPECT_EQ(r.status, c.status) << c.name;
    // The error is announced only when the script was read.
    EXPECT_EQ(r.err, std::string("Unable to open QUON.INI. Running calibration!\n") +
                         (c.log.empty() ? "" : "QUON.log: 1 script error (first at line 1)\n"))
        << c.name;
    EXPECT_NE(r.out.find("Install test connector"), std::string::npos) << c.name;
    EXPECT_EQ(readfile("QUON.INI"), "04\n0083\n") << c.name;
    struct stat st;
    EXPECT_EQ(stat("QUON.log", &st), 0) << c.name << ": log created first";
    EXPECT_EQ(readfile("QUON.log"), c.log) << c.name;
  }
}

TEST_F(StartupTest, LogIsEmptiedAtEveryRunAlsoWithoutVerbose) {
  writefile("QUON.log", "old content\n");
  QuonRun r = runquon({"ok"});
  EXPECT_EQ(r.status, 27);
  EXPECT_EQ(readfile("QUON.log"), "");
}

TEST_F(StartupTest, LogThatCannotBeCreated) {
  ASSERT_EQ(mkdir("QUON.log", 0755), 0);
  QuonRun r = runquon({"ok"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Unable to open QUON.log for write!\n\n");
}

TEST_F(StartupTest, NoPortEndsBeforeTheLogIsTouched) {
  ASSERT_EQ(mkdir("QUON.log", 0755), 0);
  simbiosword = 0;  // no port in the simulated BIOS data area
  QuonRun r = runquon({"ok"});
  simbiosword = SIM_BASE0;
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err.rfind("Unable to locate printer port!\n", 0), 0u) << r.err;
  // One more line tells the user what to do about it.
  EXPECT_EQ(r.err.find('\n', 31), r.err.size() - 1) << r.err;
  EXPECT_GT(r.err.size(), 33u);
}

TEST_F(StartupTest, CalibrationFileThatCannotBeRead) {
  struct Case {
    const char *content;
  } cases[] = {{""}, {"\n\n"}, {"4\n"}, {"zz\n0083\n"}, {"04\nxyz\n"}};
  for (const Case &c : cases) {
    writefile("QUON.INI", c.content);
    QuonRun r = runquon({"ok"});
    EXPECT_EQ(r.status, 255) << '"' << c.content << '"';
    EXPECT_EQ(r.err, "Error reading QUON.INI - incomplete data.\n")
        << '"' << c.content << '"';
  }
}

TEST(ScanCalibration, HexadecimalWithWidthLimits) {
  struct Case {
    const char *content;
    int ok;
    uint16_t calctl, calinv;
  } cases[] = {
      {"04\n0083\n", 1, 0x04, 0x0083},
      {"4\n80\n", 1, 0x04, 0x0080},
      {"0a7f", 1, 0x0A, 0x007F},
      {"FF\nABCD\n", 1, 0xFF, 0xABCD},
      {"  07   12345\n", 1, 0x07, 0x1234},
      {"123\n", 1, 0x12, 0x0003},
      {"", 0, 0, 0},
      {"g4\n0083\n", 0, 0, 0},
  };
  for (const Case &c : cases) {
    resettables();
    FILE *f = tmpfile();
    fputs(c.content, f);
    rewind(f);
    EXPECT_EQ(scancalibration(f), c.ok) << c.content;
    if (c.ok) {
      EXPECT_EQ(prog.calctl, c.calctl) << c.content;
      EXPECT_EQ(prog.calinv, c.calinv) << c.content;
    }
    fclose(f);
  }
}

TEST_F(StartupTest, CalibrationFileFoundInAnyCase) {
  unlink("QUON.INI");
  writefile("quon.ini", "04\n0083\n");
  QuonRun r = runquon({"ok"});
  EXPECT_EQ(r.status, 27) << r.err;
  EXPECT_EQ(r.err, "");
}

// The run's own files are known by device and inode, whatever name reaches
// them; a replay file too, which only the testbench names.
TEST_F(StartupTest, TheRunsOwnFilesAreKnownHoweverNamed) {
  writefile("b.qtb", "end 1\n");
  writefile("rr.vcd", "#0\n");
  writefile("QUON.log", "");
  writefile("other.vcd", "");
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(symlink("..", "sub/up"), 0);
  prog.infile = fopen("ok.qun", "re");
  ASSERT_NE(prog.infile, nullptr);
  RunChoices run;
  run.bench = "b.qtb";
  Testbench bench;
  bench.replays = {"rr.vcd"};
  struct Case {
    const char *name;
    const char *input;
  } cases[] = {
      {"sub/up/ok.qun", "script"},          {"./b.qtb", "testbench"},
      {"sub/up/rr.vcd", "replay file"},     {"QUON.INI", "calibration file"},
      {"sub/up/QUON.log", "log"},           {"other.vcd", nullptr},
  };
  for (const Case &c : cases) {
    struct stat st;
    ASSERT_EQ(stat(c.name, &st), 0) << c.name;
    const char *input = runinput(st, run, {bench});
    EXPECT_STREQ(input, c.input) << c.name;
  }
  fclose(prog.infile);
  prog.infile = nullptr;
}

TEST(PrefixMatch, FoldsOnlyAsciiLettersAndStopsAtTheEnd) {
  struct Case {
    const char *text, *with;
    int n, equal;
  } cases[] = {
      {"WAIT", "w", 1, 1},     {"wait", "W", 1, 1},  {"Ke", "ke", 2, 1},
      {"K", "ke", 2, 0},       {"KI", "ke", 2, 0},   {"-V", "-v", 2, 1},
      {"-", "-v", 2, 0},       {"\xC4", "\xE4", 1, 0}, {"[", "{", 1, 0},
      {"$x", "$", 1, 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(prefixmatch(c.text, c.with, c.n), c.equal)
        << c.text << " / " << c.with;
  }
}

TEST(FindCaseName, ExactNameFirstThenAnyCase) {
  entertempdir();
  writefile("Mixed.Qun", "x");
  char found[256];
  EXPECT_EQ(findcasename("mixed.qun", found, sizeof found), 0);
  EXPECT_STREQ(found, "Mixed.Qun");
  EXPECT_EQ(findcasename("missing.qun", found, sizeof found), -1);
  FILE *f = fopencase("MIXED.QUN", "r");
  EXPECT_NE(f, nullptr);
  if (f != nullptr) fclose(f);
  // A folder is not a script.
  ASSERT_EQ(mkdir("folder.qun", 0755), 0);
  EXPECT_EQ(fopencase("folder.qun", "r"), nullptr);
  leavetempdir();
}

}  // namespace
