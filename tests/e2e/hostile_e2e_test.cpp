// Hostile input end to end: the built quon-sim on a pseudo-terminal, fed
// scripts, files, signals and streams that a careless or unlucky user can
// hand it. Whatever happens, the program must end (or keep running) the way
// it says, and the terminal must be left in the mode it was found in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/e2etest.h"

namespace {

using namespace std::string_literals;

// A sanitized build copies a table at every growth step, which makes loading
// a very long script far slower; the bound still catches a hang.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUON_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QUON_TEST_SANITIZED)
constexpr int LOADMS = 180000;
#else
constexpr int LOADMS = 20000;
#endif

int deathsignal(int status) { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

bool isfolder(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Deterministic binary noise: every byte value, NUL and CR included, except
// those that would start a command (S), reach a port that may not exist
// (W, O, T), close a thread ($) or end the file (0x1A).
std::string noise(size_t length, uint32_t *seed) {
  std::string text;
  while (text.size() < length) {
    *seed = *seed * 1103515245u + 12345u;
    char c = static_cast<char>((*seed >> 16) & 0xFF);
    if (c != '\0' && strchr("sSwWoOtT$\x1a", c) != nullptr) c = 'x';
    text.push_back(c);
  }
  return text;
}

// Lines that start with a keyword or a comment and go on with noise, so
// every argument scanner sees binary bytes.
std::string noisescript(void) {
  const char *const openers[] = {"KEY ", "KILL ", "NOTATE ", "NAME ", "DELAY ",
                                 "REPEAT ", "# ", "", "KE", "N"};
  uint32_t seed = 2024;
  std::string text;
  for (int line = 0; line < 600; ++line) {
    text += openers[line % 10];
    text += noise(seed % 120, &seed);
    text += '\n';
  }
  return text;
}

class HostileE2eTest : public E2eTest {
 protected:
  // Commands that a SPAWN left running share the program's process group.
  void killgroup(const PtyChild &child) {
    if (child.pid > 0) kill(-child.pid, SIGKILL);
  }
};

// ---------------------------------------------------------------------------
// Scripts that load and run until ESC

struct RunCase {
  const char *name;
  std::string script;  // the script file, byte for byte
  std::string out;     // standard output before ESC
  bool repeats;        // out is printed at every pass: only the start is checked
  const char *absent;  // a text standard output must not hold, or nullptr
  const char *log;     // a text QUON.log must hold, or nullptr
  const char *err = "";  // standard error, exactly: the error summary
};

TEST_F(HostileE2eTest, OddScriptsLoadRunAndEndWithEsc) {
  const RunCase cases[] = {
      // A NUL cuts its line short; the bytes after it up to the newline are
      // not a line of their own.
      {"NUL bytes",
       "\0\0\0\n\0NOTATE hidden\nNOTATE ready\0 hidden\nKEY\0 q\nKEY q\n$\n$\n"s,
       "ready\n", false, "hidden", nullptr,
       "QUON.log: 1 script error (first at line 4)\n"},
      {"binary noise",
       "NOTATE ready\nKEY \x01\n$\n" + noisescript() + "\nKEY \x01\n$\n$\n",
       "ready\n", true, nullptr, nullptr,
       "QUON.log: 417 script errors (first at line 4)\n"},
      {"CR LF line ends", "NOTATE ready\r\nKEY q\r\n$\r\n$\r\n", "ready\n", false,
       nullptr, nullptr},
      {"0x1A ends the script",
       "NOTATE ready\nKEY q\n$\n\x1aNOTATE past the end\n$\n$\n", "ready\n",
       false, nullptr, nullptr},
      {"0x1A in the middle of a line", "NOTATE ready\x1a past the end\n",
       "ready\nready\n", true, "past", "Warning: script ended without its end mark"},
      {"no end mark", "NOTATE ready\nKEY q\n", "ready\n", false, nullptr,
       "Warning: script ended without its end mark"},
      {"empty script", "", "", false, nullptr,
       "Warning: script ended without its end mark"},
      {"only one separator", "$\n", "", false, nullptr, nullptr},
      {"begins with a separator", "$\nNOTATE ready\nKEY q\n$\n$\n", "ready\n",
       false, nullptr, nullptr},
      {"100000 characters without a newline",
       "NOTATE ready\nKEY q\n$\n" + std::string(100000, 'x'), "ready\n", false,
       nullptr, "Warning: script ended without its end mark"},
      {"self KILL", "NAME me\nNOTATE ready\nKILL me\nNOTATE never\n$\n$\n",
       "ready\nready\n", true, "never", nullptr},
      {"SPAWN that fails or does not exist",
       "SPAWN exit 3\nSPAWN no-such-command-for-quon 2>/dev/null\nNOTATE ready\n"
       "KEY q\n$\n$\n",
       "ready\n", false, nullptr, nullptr},
  };
  options.stdoutfile = path("out.txt");
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path("out.txt"));
    PtyChild child = start(c.script);
    EXPECT_TRUE(waitkeymode(child, WAITMS));
    EXPECT_TRUE(waitfile(child, path("out.txt"), c.out, WAITMS));
    ptysend(child, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
    EXPECT_TRUE(samemode(child.before, child.after));
    EXPECT_EQ(readall(path("err.txt")), c.err);
    std::string out = readall(path("out.txt"));
    if (c.repeats) {
      EXPECT_EQ(out.compare(0, c.out.size(), c.out), 0) << out.substr(0, 200);
    } else {
      EXPECT_EQ(out, c.out);
    }
    if (c.absent != nullptr) {
      EXPECT_EQ(out.find(c.absent), std::string::npos);
    }
    if (c.log != nullptr) {
      EXPECT_NE(readall(path("QUON.log")).find(c.log), std::string::npos);
    }
  }
}

// A script that opens with a separator has a thread 0 without statements;
// the dump must show it without reading past the token table.
TEST_F(HostileE2eTest, DumpOfAScriptThatBeginsWithASeparator) {
  options.stdoutfile = path("out.txt");
  writeall(path("t.qun"), "$\nKEY q\n$\n$\n");
  PtyChild child = ptystart({QUON_SIM_PATH, "-d", "t"}, options);
  EXPECT_TRUE(waitfile(child, path("out.txt"), "3 Tokens:", WAITMS));
  ptysend(child, " ");
  EXPECT_TRUE(waitfile(child, path("out.txt"), "2 Threads:", WAITMS));
  ptysend(child, " ");
  drain(child, 100);
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_TRUE(samemode(child.before, child.after));
  EXPECT_NE(readall(path("out.txt")).find("Thread  0 starts at -1, with no statements"),
            std::string::npos);
  EXPECT_NE(readall(path("out.txt")).find("Thread  1 starts at 01, with OP = 05"),
            std::string::npos);
}

// 200,000 lines, nearly all of them one thread parked at a KEY: it loads,
// the program runs, and the key sends the thread through every statement.
// The toggles are odd in number, so bit 0 ends high only when each ran once.
TEST_F(HostileE2eTest, TwoHundredThousandLineScriptLoadsAndRuns) {
  const int toggles = 199991;
  std::string script = "NOTATE loaded\nKEY \x01\n$\nKEY q\nWAIT 0 .......0\n";
  script.reserve(script.size() + 11 * toggles + 64);
  for (int i = 0; i < toggles; ++i) script += "TOGGLE 0 1\n";
  script += "WAIT 0 .......1\nNOTATE big thread ran\n$\n$\n";
  ASSERT_EQ(std::count(script.begin(), script.end(), '\n'), 200000);

  PtyChild child = start(script);
  ASSERT_TRUE(ptywaitfor(child, "loaded", LOADMS)) << child.out.substr(0, 200);
  ptysend(child, "q");
  EXPECT_TRUE(ptywaitfor(child, "KEY (1) triggered on q", WAITMS)) << child.out;
  EXPECT_TRUE(ptywaitfor(child, "big thread ran", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
  EXPECT_TRUE(samemode(child.before, child.after));
  EXPECT_EQ(readall(path("err.txt")), "");
}

// ---------------------------------------------------------------------------
// Files that are not what they should be

struct StartCase {
  const char *name;
  const char *folder;      // a folder created in the place of a file
  bool calibrated;         // QUON.INI present
  const char *argument;    // the script argument
  const char *message;     // standard error, exactly
  bool fifo = false;       // a FIFO with a reader rather than a folder
};

TEST_F(HostileE2eTest, FilesThatCannotBeUsedEndStartUpWithTheirMessage) {
  const StartCase cases[] = {
      {"QUON.log is a folder", "QUON.log", true, "t",
       "Unable to open QUON.log for write!\n\n"},
      {"script is a folder", "d.qun", true, "d", "Unable to open d.qun for read!\n\n"},
      {"script with extension is a folder", "d.txt", true, "d.txt",
       "Unable to open d.txt for read!\n\n"},
      {"QUON.log is a FIFO that someone reads", "QUON.log", true, "t",
       "Unable to open QUON.log for write!\nQUON.log is a FIFO, not a regular file: remove it, "
       "or run in a folder of your own.\n",
       true},
  };
  for (const StartCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(path(c.folder));
    uncalibrate();
    if (c.calibrated) writeall(path("QUON.INI"), CALIBRATED);
    ASSERT_EQ(c.fifo ? mkfifo(path(c.folder).c_str(), 0666) : mkdir(path(c.folder).c_str(), 0755), 0);
    int reader = c.fifo ? open(path(c.folder).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    writeall(path("t.qun"), "KEY q\n$\n$\n");
    PtyChild child = ptystart({QUON_SIM_PATH, c.argument}, options);
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255) << child.out;
    if (reader >= 0) close(reader);
    EXPECT_EQ(readall(path("err.txt")), c.message);
    EXPECT_TRUE(samemode(child.before, child.after));
    EXPECT_EQ(child.out.find("<enter> to continue"), std::string::npos);
    EXPECT_EQ(exists(path("QUON.INI")), c.calibrated);
    std::filesystem::remove_all(path(c.folder));
  }
}

// Permission bits do not stop root, so this case needs an ordinary user.
TEST_F(HostileE2eTest, ReadOnlyFolderEndsWithTheLogMessage) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  options.stderrfile = "";  // the folder takes no file
  writeall(path("t.qun"), "KEY q\n$\n$\n");
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  PtyChild child = ptystart({QUON_SIM_PATH, "t"}, options);
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255);
  EXPECT_NE(child.out.find("Unable to open QUON.log for write!"), std::string::npos)
      << child.out;
  EXPECT_TRUE(samemode(child.before, child.after));
}

// Start-up cannot read a calibration file that is a folder, so calibration
// runs; it could never put its result there, so it ends before asking for
// the test connector, and leaves the folder and nothing else behind.
TEST_F(HostileE2eTest, CalibrationFileThatIsAFolderFailsAtOnce) {
  uncalibrate();
  ASSERT_EQ(mkdir(path("QUON.INI").c_str(), 0755), 0);
  PtyChild child = start("KEY q\n$\n$\n");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255) << child.out;
  EXPECT_EQ(readall(path("err.txt")),
            std::string(NOTICE) + "Could not open QUON.INI for output!\n");
  EXPECT_EQ(child.out.find("<enter> to continue"), std::string::npos) << child.out;
  EXPECT_TRUE(samemode(child.before, child.after));
  EXPECT_TRUE(isfolder(path("QUON.INI")));
  EXPECT_TRUE(std::filesystem::is_empty(path("QUON.INI")));
  EXPECT_TRUE(tempsleft(dir).empty());
}

// ---------------------------------------------------------------------------
// Signals

enum Place { MAINLOOP, SPAWN, FIRSTPROMPT, LASTPROMPT };
const char *const PLACENAMES[] = {"main loop", "SPAWN", "first calibration prompt",
                                  "last calibration prompt"};

// Every fatal signal, wherever it comes, ends the program by that signal
// with the terminal in its old mode. Ctrl-C and Ctrl-\ are typed, as a user
// sends them to the terminal's foreground processes; the other signals are
// sent to the program alone. While a SPAWN'd command runs, Ctrl-C and
// Ctrl-\ are the command's: it ends, and the run goes on in key mode.
TEST_F(HostileE2eTest, FatalSignalsAnywhereRestoreTheTerminal) {
  const char *const SPAWNING = "SPAWN echo spawned; sleep 30\nNOTATE went on\nKEY q\n$\n$\n";
  for (Place place : {MAINLOOP, SPAWN, FIRSTPROMPT, LASTPROMPT}) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
      SCOPED_TRACE(std::string(PLACENAMES[place]) + ", signal " + strsignal(sig));
      uncalibrate();
      if (place == MAINLOOP || place == SPAWN) writeall(path("QUON.INI"), CALIBRATED);
      PtyChild child = start(place == SPAWN ? SPAWNING : "KEY q\n$\n$\n");
      if (place == SPAWN) {
        ASSERT_TRUE(ptywaitfor(child, "spawned", WAITMS)) << child.out;
        drain(child, 50);
        EXPECT_TRUE(samemode(child.before, ptymode(child)))
            << "the command runs in the terminal's own mode";
      } else {
        if (place == FIRSTPROMPT || place == LASTPROMPT) {
          ASSERT_TRUE(ptywaitfor(child, "<enter> to continue", WAITMS)) << child.out;
        }
        if (place == LASTPROMPT) {
          ASSERT_TRUE(waitkeymode(child, WAITMS));
          ptysend(child, "\r");
          ASSERT_TRUE(ptywaitfor(child, "<ESC> to quit", WAITMS)) << child.out;
        }
        EXPECT_TRUE(waitkeymode(child, WAITMS));
      }
      if (sig == SIGINT) {
        ptysend(child, "\x03");
      } else if (sig == SIGQUIT) {
        ptysend(child, "\x1c");
      } else {
        kill(child.pid, sig);
      }
      if (place == SPAWN && (sig == SIGINT || sig == SIGQUIT)) {
        EXPECT_TRUE(ptywaitfor(child, "went on", WAITMS)) << child.out;
        EXPECT_TRUE(waitkeymode(child, WAITMS));
        ptysend(child, "\x1b");
        EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.status;
      } else {
        EXPECT_EQ(deathsignal(ptyfinish(child, WAITMS)), sig) << child.status;
      }
      killgroup(child);
      EXPECT_TRUE(samemode(child.before, child.after));
      EXPECT_EQ(readall(path("err.txt")),
                place == FIRSTPROMPT || place == LASTPROMPT ? NOTICE : "");

      if (place == LASTPROMPT) {
        EXPECT_EQ(readall(path("QUON.INI")), CALIBRATED);
        EXPECT_TRUE(tempsleft(dir).empty());
      }
      if (place == FIRSTPROMPT) {
        EXPECT_FALSE(exists(path("QUON.INI")));
        EXPECT_TRUE(tempsleft(dir).empty());
        // The next start is not blocked: it calibrates afresh.
        PtyChild next = start("KEY q\n$\n$\n");
        ASSERT_TRUE(passprompts(next, "\x1b")) << next.out;
        EXPECT_EQ(exitstatus(ptyfinish(next, WAITMS)), 0);
        EXPECT_EQ(readall(path("QUON.INI")), CALIBRATED);
      }
    }
  }
}

// ESC typed while a command runs waits in the terminal until the command
// has finished; the next pass reads it and ends the run.
TEST_F(HostileE2eTest, EscTypedWhileACommandRunsEndsTheRunAfterIt) {
  PtyChild child = start("SPAWN echo spawned; sleep 1\n$\n$\n");
  ASSERT_TRUE(ptywaitfor(child, "spawned", WAITMS)) << child.out;
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.out;
  killgroup(child);
  EXPECT_TRUE(samemode(child.before, child.after));
}

// ---------------------------------------------------------------------------
// Output nobody reads

// Standard output is a pipe whose reader has gone: the first line the run
// prints ends it by SIGPIPE, with the terminal given its mode back.
TEST_F(HostileE2eTest, OutputToAClosedPipeEndsWithTheTerminalRestored) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  options.stdoutfd = ends[1];
  PtyChild child = start("KEY q\nNOTATE nobody reads this\n$\n$\n");
  close(ends[1]);
  EXPECT_TRUE(waitkeymode(child, WAITMS));
  ptysend(child, "q");
  EXPECT_EQ(deathsignal(ptyfinish(child, WAITMS)), SIGPIPE) << child.status;
  EXPECT_TRUE(samemode(child.before, child.after));
  EXPECT_EQ(readall(path("err.txt")), "");
}

// Started with SIGPIPE ignored (as under some service managers), the lost
// output is simply lost: the threads go on and ESC still ends the run.
TEST_F(HostileE2eTest, OutputToAClosedPipeWithSigpipeIgnoredGoesOn) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  options.stdoutfd = ends[1];
  struct sigaction ignore, saved;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &saved);  // the child inherits it
  PtyChild child = start(
      "KEY q\nNOTATE nobody reads this\nSPAWN echo went on >went.txt\nKEY \x01\n$\n$\n");
  sigaction(SIGPIPE, &saved, nullptr);
  close(ends[1]);
  EXPECT_TRUE(waitkeymode(child, WAITMS));
  ptysend(child, "q");
  EXPECT_TRUE(waitfile(child, path("went.txt"), "went on", WAITMS));
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.status;
  EXPECT_TRUE(samemode(child.before, child.after));
  EXPECT_EQ(readall(path("err.txt")), "");
}

// ---------------------------------------------------------------------------
// A privileged run in a folder that others can write to

const char *const LOGREFUSED = "Unable to open QUON.log for write!\n";

struct PlantCase {
  const char *name;
  const char *plant;     // the name planted in the folder
  bool hardlink;         // a second hard link rather than a symbolic link
  bool calibrates;       // no QUON.INI: the run calibrates, then quits
  int status;
  std::string err;       // standard error, exactly
};

// Names planted to make a root run empty a file elsewhere: the run refuses
// or goes round them, and the target keeps every byte.
TEST_F(HostileE2eTest, PlantedLinksLeaveTheirTargetsUnchanged) {
  const PlantCase cases[] = {
      {"QUON.log a symbolic link", "QUON.log", false, false, 255,
       std::string(LOGREFUSED) +
           "QUON.log is a symbolic link, which is never followed: remove it, or "
           "run in a folder of your own.\n"},
      {"QUON.log a second hard link", "QUON.log", true, false, 255,
       std::string(LOGREFUSED) +
           "QUON.log shares its file with another name (a hard link), which "
           "emptying it would empty too: remove it, or run in a folder of your "
           "own.\n"},
      {"the old temporary name a symbolic link", "QUON.INI.tmp", false, true, 0,
       NOTICE},
      {"QUON.INI a dangling symbolic link", "QUON.INI", false, true, 0, NOTICE},
  };
  const std::string victim = path("victim");
  for (const PlantCase &c : cases) {
    SCOPED_TRACE(c.name);
    uncalibrate();
    std::filesystem::remove(path(c.plant));
    std::filesystem::remove(victim);
    if (!c.calibrates) writeall(path("QUON.INI"), CALIBRATED);
    bool dangling = std::string(c.plant) == "QUON.INI";
    if (!dangling) writeall(victim, "precious\n");
    ASSERT_EQ(c.hardlink ? link(victim.c_str(), path(c.plant).c_str())
                         : symlink(victim.c_str(), path(c.plant).c_str()),
              0);
    writeall(path("t.qun"), "WAIT\nKEY q\n$\n$\n");
    PtyChild child = ptystart({QUON_SIM_PATH, "-v", "t"}, options);
    if (c.calibrates) {
      ASSERT_TRUE(ptywaitfor(child, "<enter> to continue", WAITMS)) << child.out;
      EXPECT_EQ(readall(victim), dangling ? "" : "precious\n") << "at the first prompt";
      ASSERT_TRUE(waitkeymode(child, WAITMS));
      ptysend(child, "\r");
      ASSERT_TRUE(ptywaitfor(child, "<ESC> to quit", WAITMS)) << child.out;
      ASSERT_TRUE(waitkeymode(child, WAITMS));
      ptysend(child, "\x1b");
    }
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), c.status) << child.out;
    EXPECT_EQ(readall(path("err.txt")), c.err);
    EXPECT_EQ(exists(victim), !dangling);
    EXPECT_EQ(readall(victim), dangling ? "" : "precious\n");
    if (c.calibrates) {
      EXPECT_EQ(readall(path("QUON.INI")), CALIBRATED);
      EXPECT_FALSE(std::filesystem::is_symlink(path("QUON.INI")));
      EXPECT_TRUE(tempsleft(dir).empty());
    }
  }
}

// Trace names that are no trace of the run's own: a FIFO that another user
// planted in a folder open to all and reads from, or one of the run's inputs
// under another name. Start-up ends before the run with the reason, and no
// input loses a byte; a name the refused trace created is gone again.
TEST_F(HostileE2eTest, TracesThatAreNoFileOfTheirOwnEndStartUp) {
  const std::string REFUSED = "Unable to open trace file ";
  const std::string SCRIPT = "NOTATE ran\nKEY q\n$\n$\n";
  struct Case {
    const char *name;
    std::vector<std::string> args;  // the script argument last, if any
    const char *kept;               // an input that must keep its bytes
    std::string err;
    const char *stdinfile = "";     // the script read from standard input
  } cases[] = {
      {"a FIFO of another user, with a reader", {"--trace=fifo.vcd", "t"}, "t.qun",
       REFUSED + "\"fifo.vcd\"! (a FIFO, not a regular file)\n"},
      {"the script", {"--trace=t.qun", "t"}, "t.qun",
       REFUSED + "\"t.qun\"! (it is the run's own script)\n"},
      {"the script through a linked folder", {"--trace=here/t.qun", "t"}, "t.qun",
       REFUSED + "\"here/t.qun\"! (it is the run's own script)\n"},
      {"the script on standard input", {"--trace=t.qun"}, "t.qun",
       REFUSED + "\"t.qun\"! (it is the run's own script)\n", "t.qun"},
      {"the calibration file", {"--trace=QUON.INI", "t"}, "QUON.INI",
       REFUSED + "\"QUON.INI\"! (it is the run's own calibration file)\n"},
      {"the calibration file yet to be made", {"--trace=quon.ini", "t"}, nullptr,
       REFUSED + "\"quon.ini\"! (it is the run's own calibration file)\n"},
      {"the log of the last run", {"--trace=QUON.log", "t"}, "QUON.log",
       REFUSED + "\"QUON.log\"! (it is the run's own log)\n"},
      {"the testbench", {"--testbench=b.qtb", "--trace=b.qtb", "t"}, "b.qtb",
       REFUSED + "\"b.qtb\"! (it is the run's own testbench)\n"},
      {"a trace the testbench replays", {"--testbench=r.qtb", "--trace=rr.vcd", "t"}, "rr.vcd",
       REFUSED + "\"rr.vcd\"! (it is the run's own replay file)\n"},
  };
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
  ASSERT_EQ(symlink(".", path("here").c_str()), 0);
  ASSERT_EQ(mkfifo(path("fifo.vcd").c_str(), 0644), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path("fifo.vcd").c_str(), 65534, 65534), 0);
  }
  int reader = open(path("fifo.vcd").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    writeall(path("t.qun"), SCRIPT);
    writeall(path("b.qtb"), "end 1\n");
    writeall(path("r.qtb"), "end 1\nreplay rr.vcd\n");
    writeall(path("rr.vcd"), "$scope module port0 $end\n$var wire 1 ! in7 $end\n$upscope $end\n"
                             "$enddefinitions $end\n#0\n1!\n");
    writeall(path("QUON.log"), "the last run\n");
    std::filesystem::remove(path("quon.ini"));
    uncalibrate();
    if (c.kept != nullptr) writeall(path("QUON.INI"), CALIBRATED);
    std::string before = c.kept != nullptr ? readall(path(c.kept)) : "";
    options.stdinfile = *c.stdinfile != '\0' ? path(c.stdinfile) : "";
    std::vector<std::string> argv = {QUON_SIM_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    PtyChild child = ptystart(argv, options);
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255) << child.out;
    EXPECT_EQ(readall(path("err.txt")), c.err);
    EXPECT_EQ(child.out.find("ran"), std::string::npos) << child.out;
    if (c.kept != nullptr) {
      EXPECT_EQ(readall(path(c.kept)), before);
    } else {
      EXPECT_FALSE(exists(path("quon.ini"))) << "the next run calibrates";
    }
  }
  options.stdinfile = "";
  close(reader);
}

// A small file system mounted on a folder of the test's own; root only.
class SmallDiskE2eTest : public HostileE2eTest {
 protected:
  void SetUp() override {
    HostileE2eTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    disk = path("disk");
    options.dir = disk;
  }
  void TearDown() override {
    small.unmount();
    HostileE2eTest::TearDown();
  }
  void mountdisk(const char *size, int files) {
    ASSERT_TRUE(small.mount(disk, size, files)) << strerror(errno);
  }
  std::string disk;
  SmallDisk small;
};

// A log that does not fit ends the run before a thread runs, with the reason;
// so does a calibration whose file cannot be created, before any prompt.
TEST_F(SmallDiskE2eTest, WritesThatDoNotFitEndTheRunWithTheReason) {
  std::string errors;
  for (int i = 0; i < 3000; ++i) errors += "WAIT\n";
  writeall(path("t.qun"), "NOTATE ran\n" + errors + "KEY q\n$\n$\n");
  const std::string full = "Unable to write QUON.log! (No space left on device)\n";
  struct Case {
    const char *name;
    const char *size;
    int files;
    bool calibrated;
    const char *flag;
    std::string err;
  } cases[] = {
      {"log full, listing", "8k", 3, true, "-v", full},
      {"log full, errors only", "8k", 3, true, "-b", full},
      {"no name left for the calibration file", "8k", 2, false, "-v",
       std::string(NOTICE) + "Could not open QUON.INI for output!\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    mountdisk(c.size, c.files);
    if (c.calibrated) writeall(disk + "/QUON.INI", CALIBRATED);
    PtyChild child = ptystart({QUON_SIM_PATH, c.flag, path("t.qun")}, options);
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 255) << child.out;
    EXPECT_EQ(readall(path("err.txt")), c.err);
    EXPECT_EQ(child.out.find("ran"), std::string::npos);
    EXPECT_EQ(child.out.find("<enter> to continue"), std::string::npos);
    EXPECT_TRUE(samemode(child.before, child.after));
  }
}

// A SPAWN'd command inherits the terminal and nothing else of the program:
// neither the script, nor the log, nor the calibration file.
TEST_F(HostileE2eTest, SpawnedCommandsInheritOnlyTheStandardDescriptors) {
  for (const char *flag : {"-b", "-v"}) {
    SCOPED_TRACE(flag);
    std::filesystem::remove(path("fds.txt"));
    writeall(path("t.qun"),
             "SPAWN ls -l /proc/$$/fd >fds.txt; echo listed >>fds.txt\nKEY q\n$\n$\n");
    PtyChild child = ptystart({QUON_SIM_PATH, flag, "t"}, options);
    EXPECT_TRUE(waitfile(child, path("fds.txt"), "listed", WAITMS));
    ptysend(child, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.out;
    std::string fds = readall(path("fds.txt"));
    for (const char *open : {" 0 -> ", " 1 -> ", " 2 -> "}) {
      EXPECT_NE(fds.find(open), std::string::npos) << fds;
    }
    for (const char *leaked : {"QUON.log", "t.qun", "QUON.INI"}) {
      EXPECT_EQ(fds.find(leaked), std::string::npos) << fds;
    }
  }
}

// The script typed at the terminal after a first-run calibration: the
// prompts give the terminal back, so lines end and echo as usual.
TEST_F(HostileE2eTest, ScriptTypedAfterCalibrationLoadsAndRuns) {
  uncalibrate();
  PtyChild child = ptystart({QUON_SIM_PATH}, options);
  ASSERT_TRUE(ptywaitfor(child, "<enter> to continue", WAITMS)) << child.out;
  ASSERT_TRUE(waitkeymode(child, WAITMS));
  ptysend(child, "\r");
  ASSERT_TRUE(ptywaitfor(child, "<ESC> to quit", WAITMS)) << child.out;
  ASSERT_TRUE(waitkeymode(child, WAITMS));  // the prompt reads its key
  ptysend(child, "\r");
  for (int waited = 0; waited < WAITMS && !samemode(child.before, ptymode(child));
       waited += 20) {
    drain(child, 20);
  }
  EXPECT_TRUE(samemode(child.before, ptymode(child))) << "terminal given back";
  ptysend(child, "NOTATE typed\nKEY q\n$\n$\n");
  EXPECT_TRUE(ptywaitfor(child, "$\r\ntyped\r\n", WAITMS)) << child.out;
  EXPECT_TRUE(waitkeymode(child, WAITMS));
  ptysend(child, "\x1b");
  EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27) << child.out;
  EXPECT_TRUE(samemode(child.before, child.after));
}

// Names that differ only in case and none exact: the first in byte order is
// opened, whatever the folder's order, and the log says which and why.
TEST_F(HostileE2eTest, AmbiguousNamesOpenTheFirstInByteOrderWithAWarning) {
  struct Case {
    const char *name;
    std::vector<std::string> files;  // created in this order
    const char *argument;
    const char *opened;  // the note the opened script prints
    const char *warning;
  } cases[] = {
      {"script", {"tAnK.qUn", "Tank.qun", "TANK.QUN"}, "tank", "TANK.QUN\n",
       "Warning: tank.qun is not there, and TANK.QUN, Tank.qun, tAnK.qUn differ "
       "from it only in case; opened TANK.QUN, the first in byte order\n"},
      {"calibration file", {"quon.INI", "Quon.ini"}, "t", "t.qun\n",
       "Warning: QUON.INI is not there, and Quon.ini, quon.INI differ from it "
       "only in case; opened Quon.ini, the first in byte order\n"},
  };
  options.stdoutfile = path("out.txt");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    bool inis = c.files[0].find(".INI") != std::string::npos;
    if (inis) uncalibrate();
    writeall(path("t.qun"), "NOTATE t.qun\nKEY q\n$\n$\n");
    for (const std::string &f : c.files) {
      writeall(path(f), inis ? std::string(CALIBRATED) : "NOTATE " + f + "\nKEY q\n$\n$\n");
    }
    PtyChild child = ptystart({QUON_SIM_PATH, c.argument}, options);
    EXPECT_TRUE(waitfile(child, path("out.txt"), c.opened, WAITMS));
    ptysend(child, "\x1b");
    EXPECT_EQ(exitstatus(ptyfinish(child, WAITMS)), 27);
    EXPECT_EQ(readall(path("QUON.log")), c.warning);
    EXPECT_EQ(readall(path("err.txt")), "");
    for (const std::string &f : c.files) std::filesystem::remove(path(f));
  }
}

}  // namespace
