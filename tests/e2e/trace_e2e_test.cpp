// Traces of runs on quon-sim, read back by readers no one here wrote:
// sigrok-cli's own VCD decoding, and GTKWave's converter to its FST format
// and back. Missing readers skip these tests by hand and fail them in CI.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

bool havetool(const char *tool) {
  std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return system(command.c_str()) == 0;
}

#define NEEDTOOLS()                                                        \
  do {                                                                     \
    for (const char *tool : {"sigrok-cli", "vcd2fst", "fst2vcd"}) {        \
      if (havetool(tool)) continue;                                        \
      if (getenv("QUON_CI") != nullptr) FAIL() << tool << " is missing";   \
      GTEST_SKIP() << tool << " is missing (Debian: sigrok-cli, gtkwave)"; \
    }                                                                      \
  } while (0)

// The last time line of a trace, in microseconds; -1 when there is none.
long long lasttime(const std::string &vcd) {
  size_t at = vcd.rfind("\n#");
  return at == std::string::npos ? -1 : atoll(vcd.c_str() + at + 2);
}

// How often a one-bit variable changes after time 0, as the lines of a
// Value Change Dump say.
int changes(const std::string &vcd, const std::string &id) {
  std::istringstream lines(vcd.substr(vcd.find("$end\n", vcd.find("$dumpvars"))));
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() == id.size() + 1 && (line[0] == '0' || line[0] == '1') &&
        line.compare(1, std::string::npos, id) == 0) {
      ++count;
    }
  }
  return count;
}

constexpr int DOWNSAMPLE = 10;  // sigrok's samples 10 us apart

struct Decoded {
  int status = -1;
  long samples = 0;
  std::vector<double> out0, in0;  // ms at which port 0's out0 and in0 change
  std::string text;               // for the failure message
};

// sigrok-cli's decoding of the trace into samples.
Decoded sigrok(const std::string &file) {
  Decoded d;
  d.text = capture("sigrok-cli -I vcd:downsample=" + std::to_string(DOWNSAMPLE) + " -i '" +
                       file + "' -O csv",
                   &d.status);
  std::istringstream lines(d.text);
  int out0 = -1, in0 = -1;
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("; Channels", 0) == 0) {
      std::istringstream names(line.substr(line.find(':') + 1));
      int column = 0;
      for (std::string name; std::getline(names, name, ','); ++column) {
        name.erase(0, name.find_first_not_of(' '));
        if (name == "out0" && out0 < 0) out0 = column;
        if (name == "in0" && in0 < 0) in0 = column;
      }
      continue;
    }
    if (line.empty() || line[0] < '0' || line[0] > '1' || out0 < 0 || in0 < 0) continue;
    double ms = static_cast<double>(d.samples) * DOWNSAMPLE / 1000.0;
    if (!last.empty() && line[2 * out0] != last[2 * out0]) d.out0.push_back(ms);
    if (!last.empty() && line[2 * in0] != last[2 * in0]) d.in0.push_back(ms);
    last = line;
    ++d.samples;
  }
  return d;
}

// Both readers take the file whole: sigrok decodes samples up to its last
// time, and GTKWave's FST, turned back into a dump, holds as many changes
// of out0 as the trace. The FST goes to fst, off any full disk. A trace
// that ran to the end of the run ends on a time line of its own (ended).
void readersaccept(const std::string &file, const std::string &fst, bool ended = true) {
  std::string vcd = readall(file);
  ASSERT_FALSE(vcd.empty());
  EXPECT_EQ(vcd.back(), '\n') << "the trace ends on a whole line";
  EXPECT_EQ(vcd.compare(vcd.rfind('\n', vcd.size() - 2) + 1, 1, "#") == 0, ended)
      << "the end of the run is marked by a time line of its own";
  Decoded d = sigrok(file);
  EXPECT_EQ(d.status, 0) << d.text.substr(0, 400);
  EXPECT_NEAR(d.samples, lasttime(vcd) / DOWNSAMPLE, 2) << d.text.substr(0, 400);

  int status = -1;
  std::string said = capture("vcd2fst '" + file + "' '" + fst + "'", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(said, "") << "vcd2fst warns";
  std::string back = capture("fst2vcd '" + fst + "'", &status);
  EXPECT_EQ(status, 0);
  // The converter renames the identifiers: out0 of port 0 is the first
  // variable either way.
  std::string ourid = vcd.substr(vcd.find(" out0 ") - 1, 1);
  size_t var = back.find("$var wire 1 ");
  ASSERT_NE(var, std::string::npos) << back.substr(0, 400);
  std::string theirid = back.substr(var + 12, back.find(' ', var + 12) - var - 12);
  EXPECT_EQ(changes(back, theirid), changes(vcd, ourid));
}

class TraceE2eTest : public E2eTest {
 protected:
  PtyChild demo(void) {
    writeall(path("demo.qun"), readall(QUON_EXAMPLES_DIR "/demo.qun"));
    return ptystart({QUON_SIM_PATH, "--trace=demo.vcd", "demo"}, options);
  }
};

// The demo's blinker, seen by sigrok: out0 of port 0 changes every 500 ms
// and in0 follows it through the test connector (on the next look of the
// thread that waits for it).
TEST_F(TraceE2eTest, DemoBlinksEveryHalfSecondAndTheInputFollows) {
  NEEDTOOLS();
  PtyChild child = demo();
  ASSERT_TRUE(ptywaitfor(child, "went low", WAITMS)) << child.out;
  ptywaitfor(child, "\x01", 2600);  // about three seconds in all
  kill(child.pid, SIGTERM);
  int status = ptyfinish(child, WAITMS);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  Decoded d = sigrok(path("demo.vcd"));
  ASSERT_GE(d.out0.size(), 5u) << d.text.substr(0, 400);
  // A DELAY never ends early; how late it ends is the scheduler's affair on
  // a shared machine, so the upper bounds only catch a trace on the wrong
  // clock or in the wrong unit.
  for (size_t i = 1; i < d.out0.size(); ++i) {
    EXPECT_GE(d.out0[i] - d.out0[i - 1], 499.0) << "change " << i;
    EXPECT_LE(d.out0[i] - d.out0[i - 1], 750.0) << "change " << i;
  }
  ASSERT_EQ(d.in0.size(), d.out0.size());
  for (size_t i = 0; i < d.in0.size(); ++i) {
    EXPECT_GE(d.in0[i], d.out0[i]) << i;
    EXPECT_LE(d.in0[i] - d.out0[i], 100.0) << i;
  }
  readersaccept(path("demo.vcd"), path("t.fst"));
}

// However the run ends, the trace is a file both readers take.
TEST_F(TraceE2eTest, EveryEndLeavesATraceBothReadersTake) {
  NEEDTOOLS();
  const std::string BLINK = "NAME blink\nTOGGLE 0 .......1\nDELAY 0.001\n$\n";
  struct Case {
    const char *name;
    std::string script;
    int sig;  // sent after 300 ms; 0: ESC is typed
    int status;
    std::string err;  // the start of standard error
  } cases[] = {
      {"ESC", BLINK + "$\n", 0, 27, ""},
      {"SIGTERM", BLINK + "$\n", SIGTERM, -SIGTERM, ""},
      {"SIGHUP", BLINK + "$\n", SIGHUP, -SIGHUP, ""},
      {"a failure", BLINK + "DELAY 0.3\nOUTPUT 2 1\n$\n$\n", 0, 255,
       "Attempt to read-back from logical port 2"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child = start(c.script, {"--trace=t.vcd"});
    ptywaitfor(child, "\x01", 300);
    if (c.sig != 0) {
      kill(child.pid, c.sig);
    } else if (c.status == 27) {
      ptysend(child, "\x1b");
    }
    int status = ptyfinish(child, WAITMS);
    EXPECT_EQ(WIFSIGNALED(status) ? -WTERMSIG(status) : exitstatus(status), c.status);
    EXPECT_EQ(readall(path("err.txt")).rfind(c.err, 0), 0u) << readall(path("err.txt"));
    readersaccept(path("t.vcd"), path("t.fst"));
    EXPECT_GE(changes(readall(path("t.vcd")), "!"), 100) << "a change every millisecond";
  }
}

// A fatal signal at any moment of the start-up leaves a trace both readers
// take: at the calibration prompt, before the script is loaded, and once
// the header of 30,000 threads (more than a megabyte) has begun to reach the
// file. The file's size is watched closely, so the signal lands inside the
// header's writing wherever the header is written piecemeal.
TEST_F(TraceE2eTest, ASignalDuringStartUpLeavesATraceBothReadersTake) {
  NEEDTOOLS();
  std::string threads = "OUTPUT 0 .......1\n$\n";  // port 0 in the header
  for (int t = 1; t < 30000; ++t) threads += "DELAY 1\n$\n";
  struct Case {
    const char *name;
    std::string script;
    const char *prompt;  // on the terminal; nullptr: watch the trace grow
  } cases[] = {
      {"at the calibration prompt", "KEY q\n$\n$\n", "<enter> to continue"},
      {"while the header is written", threads + "$\n", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uncalibrate();
    if (c.prompt == nullptr) writeall(path("QUON.INI"), CALIBRATED);
    PtyChild child = start(c.script, {"--trace=t.vcd"});
    bool seen = false;
    struct stat st;
    for (long until = ptynowms() + 20 * WAITMS; !seen && ptynowms() < until;) {
      seen = c.prompt != nullptr ? ptywaitfor(child, c.prompt, 10)
                                 : stat(path("t.vcd").c_str(), &st) == 0 && st.st_size > 16384;
    }
    ASSERT_TRUE(seen) << child.out;
    kill(child.pid, SIGTERM);
    int status = ptyfinish(child, WAITMS);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    readersaccept(path("t.vcd"), path("t.fst"));
  }
}

// A trace that fills its disk: one message, the run goes on, and the file
// still ends on a whole line that both readers take.
TEST_F(TraceE2eTest, AFullDiskStopsTheTraceNotTheRun) {
  NEEDTOOLS();
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  SmallDisk disk;
  ASSERT_TRUE(disk.mount(path("disk"), "16k", 4)) << strerror(errno);
  PtyChild child = start("TOGGLE 0 .......1\nDELAY 0.001\n$\nKEY q\nNOTATE still running\n$\n$\n",
                         {"--trace=disk/t.vcd"});
  // Half a second of toggles fills the disk on an idle machine; a busy one
  // gives the loop fewer passes a second, so wait for the message itself.
  constexpr long FILLMS = 60000;
  const std::string full = "Unable to write trace file \"disk/t.vcd\"! (No space left on device)\n";
  for (long begun = ptynowms(); readall(path("err.txt")).empty() && ptynowms() - begun < FILLMS;) {
    ptywaitfor(child, "\x01", 20);
  }
  ptysend(child, "q");
  EXPECT_TRUE(ptywaitfor(child, "still running", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_EQ(readall(path("err.txt")), full);
  readersaccept(path("disk/t.vcd"), path("t.fst"), false);
}

// A disk full before the trace's first line: the run goes on untraced and
// leaves no empty file that a reader would refuse.
TEST_F(TraceE2eTest, ADiskFullAtStartLeavesNoEmptyTrace) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  SmallDisk disk;
  ASSERT_TRUE(disk.mount(path("disk"), "16k", 8)) << strerror(errno);
  int fill = open(path("disk/fill").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fill, 0);
  char block[1024] = {};
  while (write(fill, block, sizeof block) > 0) {
  }
  close(fill);
  PtyChild child = start("KEY q\nNOTATE still running\n$\n$\n", {"--trace=disk/t.vcd"});
  ASSERT_TRUE(waitkeymode(child, WAITMS)) << child.out;
  ptysend(child, "q");
  EXPECT_TRUE(ptywaitfor(child, "still running", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_EQ(readall(path("err.txt")),
            "Unable to write trace file \"disk/t.vcd\"! (No space left on device)\n");
  EXPECT_FALSE(exists(path("disk/t.vcd")));
}

TEST_F(TraceE2eTest, VersionNamesEachExecutable) {
  for (const char *program : {QUON_SIM_PATH, QUON_PATH}) {
    PtyChild child = ptystart({program, "--version"}, options);
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 0);
    std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
    EXPECT_EQ(child.out, name + " " QUON_VERSION "\r\n");
  }
}

}  // namespace
