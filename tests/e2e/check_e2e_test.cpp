// Saying what is meant, end to end on the built quon-sim: mistyped long
// options refused before anything runs, long lines never split into
// statements, --check's reports, and testbenches that give the same verdict
// in every folder, with or without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

class CheckE2eTest : public E2eTest {
 protected:
  using Run = PlainRun;
  static Run plain(const std::string &folder, const std::vector<std::string> &args) {
    return runplain(folder, args);
  }
};

// Each refused form ends start-up at once: no log, no calibration, nothing
// run, the port never reached.
TEST_F(CheckE2eTest, MistypedLongOptionsAreRefusedBeforeAnythingRuns) {
  uncalibrate();
  writeall(path("relay.qun"), "OUTPUT 0 1\n$\n$\n");
  writeall(path("relay.qtb"), "end 1\n");
  const std::string HELP = ": --help lists them\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--testbnch=relay.qtb", "relay.qun"}, "--testbnch=relay.qtb is no option of this program" + HELP},
      {{"--testbench", "relay.qtb", "relay.qun"}, "--testbench needs a file: --testbench=FILE\n"},
      {{"relay.qun", "--trace", "x.vcd"}, "--trace needs a file: --trace=FILE\n"},
      {{"--trac=x.vcd", "relay.qun"}, "--trac=x.vcd is no option of this program" + HELP},
      {{"--Trace=x.vcd", "relay.qun"}, "--Trace=x.vcd is no option of this program" + HELP},
      {{"--verbose", "relay.qun"}, "--verbose is no option of this program" + HELP},
      {{"--v", "relay.qun"}, "--v is no option of this program" + HELP},
      {{"--port", "relay.qun"}, "--port needs a port: --port=PORT\n"},
      {{"--check=yes", "relay.qun"}, "--check=yes takes no value: --check\n"},
      // Bad safe states and real-time choices are refused as early.
      {{"--safe=2:0", "relay.qun"}, "--safe=2:0: the port is 0 or 1 (--safe=PORT:PATTERN)\n"},
      // A flag bank has no lines to leave safe, wherever --flags= stands;
      // what follows a refusal is never acted on.
      {{"--safe=2:0", "--flags=2", "relay.qun"}, "--safe=2:0: logical port 2 is a bank of flag bits "
       "(--flags=), not lines: only ports 0 and 1 take a safe pattern\n"},
      {{"--flags=3,9", "--safe=9:1", "--version"}, "--safe=9:1: logical port 9 is a bank of flag bits "
       "(--flags=), not lines: only ports 0 and 1 take a safe pattern\n"},
      {{"--safe=3:0", "--flags=2", "--version"}, "--safe=3:0: the port is 0 or 1 (--safe=PORT:PATTERN)\n"},
      {{"--safe=2:0", "--flags=2,2", "relay.qun"}, "--safe=2:0: the port is 0 or 1 (--safe=PORT:PATTERN)\n"},
      {{"--safe=0:2", "relay.qun"}, "--safe=0:2: a pattern is one to eight places of 1, 0 and .\n"},
      {{"--safe=0", "relay.qun"}, "--safe=0: needs a pattern (--safe=PORT:PATTERN)\n"},
      {{"--safe=0:1", "--safe=0:0", "relay.qun"}, "--safe=0:0: port 0 has a safe pattern already\n"},
      {{"--realtime=99", "relay.qun"}, "--realtime=99: the priority is a number from 1 to 98\n"},
      {{"--cpu=1", "relay.qun"}, "--cpu=1 needs --realtime\n"},
      {{"--realtime", "--testbench=relay.qtb", "relay.qun"},
       "--realtime has no meaning under --testbench, which runs on simulated time\n"},
  };
  for (const Case &c : cases) {
    Run r = plain(dir, c.args);
    EXPECT_EQ(r.status, 255) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
    EXPECT_FALSE(std::filesystem::exists(path("QUON.log"))) << c.args[0];
    EXPECT_FALSE(std::filesystem::exists(path("QUON.INI"))) << c.args[0];
    EXPECT_FALSE(std::filesystem::exists(path("x.vcd"))) << c.args[0];
  }
}

// A 100-character SPAWN is an error and runs nothing; a 200-character
// comment is silent; the lines after them keep the editor's numbers.
TEST_F(CheckE2eTest, ALongLineIsOneLineAndALongStatementRunsNothing) {
  std::string spawn = "SPAWN echo ran > " + std::string(71, 'f') + "/results.txt";
  ASSERT_EQ(spawn.size(), 100u);
  std::string script = ";" + std::string(199, 'c') + "\n" + spawn + "\nSPAWN touch made\nWAIT\n"
                       "NOTATE done\nKEY q\n$\n$\n";
  writeall(path("t.qun"), script);
  Run r = plain(dir, {"--check", "t.qun"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "t.qun:2: error: line too long (100 characters, at most 79)\n"
            "t.qun:4: error: too few args to WAIT\n"
            "t.qun: 2 errors, 0 warnings\n");
  options.stdoutfile = path("out.txt");
  PtyChild child = start(script);
  EXPECT_TRUE(waitfile(child, path("out.txt"), "done\n", WAITMS));
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_TRUE(std::filesystem::exists(path("made")));
  EXPECT_FALSE(std::filesystem::exists(path("ran"))) << "no piece of the long line ran";
  std::string log = readall(path("QUON.log"));
  EXPECT_NE(log.find("002: SPAWN echo ran > fffffffffffffffffffffff |  Error: line too long "
                     "(100 characters, at most 79)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("004: WAIT"), std::string::npos) << log;
}

// One case of every warning, each at its line; a clean example reports
// nothing; neither run creates QUON.log or touches the port's calibration.
TEST_F(CheckE2eTest, CheckReportsEveryWarningAtItsLine) {
  uncalibrate();
  const std::string script =
      "\xEF\xBB\xBFOUTPUT 0 1\n"              // 1 byte-order mark
      "Start the relay sequence\n"           // 2 read as SPAWN
      "NTOATE relay on\n"                    // 3 near miss
      "KYE x\n"                              // 4 near miss
      "\tOUTPUT 0 1\n"                       // 5 hidden by a TAB
      "DELAY 500ms\n"                        // 6 passed over
      "DELAY 1,5\n"                          // 7 passed over
      "OUTPUT 0 0x0F\n"                      // 8 pattern
      "OUTPUT 2 1\n"                         // 9 port
      "DELAY 0.7\n"                          // 10 shorter than written
      "KILL worker\n"                        // 11 no such name
      "$\n"
      "WAIT 0 1.......\n"                    // 13
      "NOTATE high\n"                        // 14 at every pass
      "$\n"
      "NAME worker \n"
      "DELAY 1\n"
      "$\n$\n";
  writeall(path("all.qun"), script);
  Run r = plain(dir, {"--check", "all"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const char *const EXPECTED[] = {
      "all.qun:1: warning: the file starts with a byte-order mark",
      "all.qun:2: warning: 'Start' is read as SPAWN: write SPAWN, or start a comment with ';'",
      "all.qun:3: warning: 'NTOATE' is not a keyword, so this line is a comment: did you mean NOTATE?",
      "all.qun:4: warning: 'KYE' is not a keyword, so this line is a comment: did you mean KEY?",
      "all.qun:5: warning: the TAB before 'OUTPUT' makes this line a comment",
      "all.qun:6: warning: time '500ms': the characters after '500' are passed over",
      "all.qun:7: warning: time '1,5': the characters after '1' are passed over",
      "all.qun:8: warning: pattern '0x0F' holds characters other than 1, 0 and '.': it compiles as ....0.0.",
      "all.qun:9: warning: OUTPUT on logical port 2: only ports 0 and 1 exist",
      "all.qun:10: warning: DELAY 0.7 waits 699 ms, not 700 ms: DELAY 0.701 waits 700 ms",
      "all.qun:11: warning: KILL 'worker', but thread 2 is named 'worker '",
      "all.qun:14: warning: this NOTATE follows the WAIT at line 13",
      "all.qun: 0 errors, 12 warnings",
  };
  std::vector<std::string> got;
  std::istringstream text(r.err);
  for (std::string line; std::getline(text, line);) got.push_back(line);
  ASSERT_EQ(got.size(), sizeof EXPECTED / sizeof EXPECTED[0]) << r.err;
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].rfind(EXPECTED[i], 0), 0u) << got[i];

  Run clean = plain(QUON_EXAMPLES_DIR, {"--check", "demo.qun"});
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.err, "demo.qun: 0 errors, 0 warnings\n");
  EXPECT_FALSE(std::filesystem::exists(path("QUON.log")));
  EXPECT_FALSE(std::filesystem::exists(path("QUON.INI")));
}

// A bench's verdict, output and trace are the same in a folder without
// QUON.INI, with a foreign one, and beside the examples' own, with a
// terminal or without.
TEST_F(CheckE2eTest, ATestbenchGivesTheSameRunInEveryFolder) {
  const std::string example = QUON_EXAMPLES_DIR;
  std::vector<std::string> outputs;
  for (const char *ini : {"", "00\n0000\n", CALIBRATED}) {
    uncalibrate();
    if (*ini != '\0') writeall(path("QUON.INI"), ini);
    for (const char *file : {"handshake.qun", "handshake.qtb"}) {
      writeall(path(file), readall(example + "/" + file));
    }
    Run r = plain(dir, {"--testbench=handshake.qtb", "--trace=t.vcd", "handshake"});
    EXPECT_EQ(r.status, 0) << r.err;
    outputs.push_back(r.out + "\n--\n" + r.err + "\n--\n" + readall(path("t.vcd")));
    options.stdoutfile = path("out.txt");
    PtyChild child = ptystart({QUON_SIM_PATH, "--testbench=handshake.qtb", "handshake"}, options);
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 0);
    EXPECT_EQ(readall(path("out.txt")), r.out) << "with a terminal";
    EXPECT_EQ(readall(path("QUON.INI")), ini) << "the calibration file is never touched";
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_EQ(outputs[0], outputs[2]);
}

// quon-sim --check reading its script from standard input: feed gives
// the bytes written to it (nullptr: stdin is the file input instead), and
// what comes back is standard error's line count and last line, the exit
// status (-1: not ended within the bound, then killed) and the most memory
// it held resident.
struct StreamedCheck {
  int status = -1;
  long lines = 0;
  std::string last;
  long maxkib = 0;
};
StreamedCheck streamcheck(const std::string &input, uint64_t feed, int boundms) {
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    int file = input.empty() ? in[0] : open(input.c_str(), O_RDONLY);
    if (file < 0 || dup2(file, 0) < 0 || dup2(err[1], 2) < 0) _exit(126);
#if defined(__SANITIZE_ADDRESS__)
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=16";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
    execl(QUON_SIM_PATH, QUON_SIM_PATH, "--check", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(err[1]);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  auto elapsedms = [&start] {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
  };
  // Zeros are written while the reports are read, so neither side blocks.
  static const char ZEROS[65536] = {};
  uint64_t left = input.empty() ? feed : 0;
  if (left == 0) close(in[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  StreamedCheck r;
  std::string partial;
  bool open = true;
  while (open && elapsedms() < boundms) {
    struct pollfd fds[2] = {{err[0], POLLIN, 0}, {left > 0 ? in[1] : -1, POLLOUT, 0}};
    if (poll(fds, 2, 100) < 0) break;
    if (left > 0 && (fds[1].revents & (POLLOUT | POLLERR)) != 0) {
      ssize_t n = write(in[1], ZEROS, left < sizeof ZEROS ? left : sizeof ZEROS);
      if (n > 0) left -= static_cast<uint64_t>(n);
      if (n < 0 && errno != EAGAIN) left = 0;
      if (left == 0) close(in[1]);
    }
    if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) continue;
    char buf[65536];
    ssize_t n = read(err[0], buf, sizeof buf);
    if (n <= 0) {
      open = false;
      break;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') {
        partial += buf[i];
        continue;
      }
      ++r.lines;
      r.last = partial;
      partial.clear();
    }
  }
  if (left > 0) close(in[1]);
  close(err[0]);
  if (open) kill(pid, SIGKILL);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  r.status = !open && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.maxkib = usage.ru_maxrss;
  return r;
}

// A line is measured only so far and reports leave as they are found, so a
// check ends on input without newlines and holds no more memory for a
// script of errors than for a short one.
TEST_F(CheckE2eTest, AnyInputIsCheckedInBoundedTimeAndMemory) {
  // The address sanitizer keeps freed memory aside (its quarantine) and
  // adds its shadow: the child's quarantine is kept small (streamcheck), and
  // the bound leaves room for the tool's own memory beside the check's.
#if defined(__SANITIZE_ADDRESS__)
  const long MOSTKIB = 200 * 1024;
#else
  const long MOSTKIB = 100 * 1024;
#endif
  StreamedCheck zeros = streamcheck("", uint64_t{50} << 20, 30000);
  EXPECT_EQ(zeros.status, 1) << "50 MB of zero bytes are checked to their end";
  EXPECT_EQ(zeros.lines, 2);
  EXPECT_EQ(zeros.last, "-: 0 errors, 1 warning");

  const uint64_t LINES = (uint64_t{20} << 20) / 8;
  {
    std::string block;
    for (int i = 0; i < 8192; ++i) block += "DELAY x\n";
    int fd = open(path("errors.qun").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    for (uint64_t written = 0; written < LINES; written += 8192) {
      ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    }
    close(fd);
  }
  StreamedCheck errors = streamcheck(path("errors.qun"), 0, 300000);
  EXPECT_EQ(errors.status, 1);
  EXPECT_EQ(errors.lines, static_cast<long>(LINES) + 2);
  EXPECT_EQ(errors.last, "-: " + std::to_string(LINES) + " errors, 1 warning");
  EXPECT_LT(errors.maxkib, MOSTKIB) << "20 MB of error lines";

  // A statement line past the measured length says so, and the lines after
  // it keep their numbers.
  writeall(path("long.qun"), "KILL " + std::string(70000, 'k') + "\nWAIT\n$\n$\n");
  Run r = plain(dir, {"--check", "long.qun"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "long.qun:1: error: line too long (over 65536 characters)\n"
            "long.qun:2: error: too few args to WAIT\n"
            "long.qun: 2 errors, 0 warnings\n");
}

}  // namespace
