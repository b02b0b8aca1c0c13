// The console keys on a real pseudo-terminal: each test runs the keyboard
// in a child whose controlling terminal the test types on.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/fatal.h"
#include "platform/keys.h"
#include "tests/support/ptyrun.h"

namespace {

constexpr int READY = 1000;  // "key mode is on, type now"

// Key mode as the keyboard needs it: bytes without Enter and without echo,
// Enter as CR, and Ctrl-C still a signal.
bool iskeymode(const termios &mode) {
  return (mode.c_lflag & ICANON) == 0 && (mode.c_lflag & ECHO) == 0 &&
         (mode.c_lflag & ISIG) != 0 && (mode.c_iflag & ICRNL) == 0;
}

// Reads keys for ever, reporting each.
void readforever(int results, int) {
  keyboardstart();
  childreport(results, READY);
  for (;;) childreport(results, readkey());
}

struct TtyTest : ::testing::Test {
  PtyChild child;
  void TearDown() override { ptyclose(child); }

  // Starts body, which reports no READY.
  void startbare(void (*body)(int, int), bool withterminal = true) {
    child = ptystart(body, withterminal);
    ASSERT_GT(child.pid, 0);
  }

  // Starts body and waits for its READY.
  void start(void (*body)(int, int)) {
    ASSERT_NO_FATAL_FAILURE(startbare(body));
    int v = 0;
    ASSERT_TRUE(ptyresult(child, &v));
    ASSERT_EQ(v, READY);
  }

  // The next report, or -1 when none came (the child hung or died).
  int next(void) {
    int v = -1;
    if (!ptyresult(child, &v)) return -1;
    return v;
  }

  // Waits until the child has put key mode in; false when it never did.
  bool waitforkeymode(void) {
    long end = ptynowms() + PTYWAITMS;
    while (!iskeymode(ptymode(child))) {
      if (ptynowms() > end) return false;
      ptyread(child, 10);
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// Keys with a character

struct CharKey {
  const char *name;
  std::string typed;
  int code;
};

TEST_F(TtyTest, KeysWithACharacterReadAsTheirCode) {
  const CharKey keys[] = {
      {"letter", "a", 'a'},
      {"capital", "Z", 'Z'},
      {"digit", "5", '5'},
      {"space", " ", ' '},
      {"tilde", "~", '~'},
      {"Enter sends CR", "\r", KEY_ENTER},
      {"Ctrl-J", "\n", 10},
      {"Backspace", "\x7f", 127},
      {"Ctrl-A", "\x01", 1},
      {"Ctrl-S is no flow control", "\x13", 0x13},
      {"Ctrl-Q is no flow control", "\x11", 0x11},
      {"Ctrl-V is no literal-next", "\x16", 0x16},
      {"byte above 127", "\xe9", 0xE9},
  };
  start(readforever);
  for (const CharKey &k : keys) {
    ptysend(child, k.typed);
    EXPECT_EQ(next(), k.code) << k.name;
  }
  // Key mode does not echo what is typed.
  ptyread(child, 50);
  EXPECT_EQ(child.out.find('a'), std::string::npos);
}

TEST_F(TtyTest, LoneEscReadsAs27AndDoesNotSwallowTheNextKey) {
  start(readforever);
  ptysend(child, "\x1b");
  EXPECT_EQ(next(), KEY_ESC);
  ptysend(child, "\x1b\x1b");  // ESC pressed twice: two ESC keys
  EXPECT_EQ(next(), KEY_ESC);
  EXPECT_EQ(next(), KEY_ESC);
  ptysend(child, "\x1bx");  // ESC then a letter
  EXPECT_EQ(next(), KEY_ESC);
  EXPECT_EQ(next(), 'x');
}

// ---------------------------------------------------------------------------
// Keys without a character

// The decoding of every sequence is keydecode_test's; here a few keys show
// that the terminal's bytes reach it and the scan code is held back.
struct SequenceKey {
  const char *name;
  std::string typed;
  int scan;
};

const SequenceKey SEQUENCEKEYS[] = {
    {"Up", "\x1b[A", 0x48},
    {"Up, application mode", "\x1bOA", 0x48},
    {"F12", "\x1b[24~", 0x86},
    {"F5, Linux console", "\x1b[[E", 0x3F},
    {"Ctrl-Up", "\x1b[1;5A", 0x48},
};

void readsequences(int results, int) {
  keyboardstart();
  childreport(results, READY);
  for (;;) {
    childreport(results, readkey());
    childreport(results, keyavailable());
    childreport(results, readkey());
  }
}

TEST_F(TtyTest, EachKeyWithoutACharacterReadsAsZeroThenItsScanCode) {
  start(readsequences);
  for (const SequenceKey &k : SEQUENCEKEYS) {
    ptysend(child, k.typed);
    EXPECT_EQ(next(), 0) << k.name;
    // The held-back scan code is no key press, and the sequence was
    // consumed whole.
    EXPECT_EQ(next(), 0) << k.name << ": keyavailable";
    EXPECT_EQ(next(), k.scan) << k.name;
  }
}

TEST_F(TtyTest, KeysTypedInOneBurstComeOutOneByOne) {
  start(readforever);
  ptysend(child, "a\x1b[Ab\x1b[24~\x1bOP\x1b[[E\x1b[1;5Dz\x1b");
  const int expected[] = {'a', 0, 0x48, 'b', 0, 0x86, 0, 0x3B,
                          0,   0x3F, 0, 0x4B, 'z', KEY_ESC};
  for (int code : expected) EXPECT_EQ(next(), code);
}

// ---------------------------------------------------------------------------
// keyavailable

// Polls with nothing typed, then polls until a key is there and reads it,
// as the main loop does.
void pollkeys(int results, int control) {
  int seen = 0;
  for (int i = 0; i < 10000; ++i) seen += keyavailable();
  childreport(results, seen);  // keyavailable started the keyboard itself
  childreport(results, READY);
  for (int round = 0; round < 2; ++round) {
    childwait(control);
    while (keyavailable() == 0) {
    }
    childreport(results, keyavailable());  // still there until it is read
    childreport(results, readkey());
    childreport(results, keyavailable());
    childreport(results, readkey());
    childreport(results, keyavailable());
  }
}

TEST_F(TtyTest, KeyavailableNeverWaitsAndSeesEachKeyUntilItIsRead) {
  ASSERT_NO_FATAL_FAILURE(startbare(pollkeys));
  EXPECT_EQ(next(), 0);  // ten thousand polls of an idle keyboard
  ASSERT_EQ(next(), READY);
  EXPECT_TRUE(iskeymode(ptymode(child)));
  struct Case {
    const char *typed;
    int reports[5];  // keyavailable, readkey, keyavailable, readkey, keyavailable
  };
  const Case cases[] = {
      {"kl", {1, 'k', 1, 'l', 0}},
      // Down: its held-back scan code is no key press, but comes at once.
      {"\x1b[B", {1, 0, 0, 0x50, 0}},
  };
  for (const Case &c : cases) {
    ptysend(child, c.typed);
    ptygo(child);
    for (int expected : c.reports) EXPECT_EQ(next(), expected) << c.typed;
  }
}

// Some kernels refuse to insert terminal input; the tests that need it
// cannot run there.
constexpr int REFUSED = -1;
const char *const REFUSEDWHY = "this kernel refuses to insert terminal input";

// Puts bytes into the terminal's input as if they had been typed; reports
// REFUSED and returns false when the kernel does not allow that.
bool inject(int results, const std::string &bytes) {
  for (char c : bytes) {
    if (ioctl(0, TIOCSTI, &c) != 0) {
      childreport(results, REFUSED);
      return false;
    }
  }
  return true;
}

// A byte put into the terminal's input is seen by the very next poll.
void injectbyte(int results, int) {
  keyboardstart();
  int idle = 0;
  for (int i = 0; i < 100; ++i) idle += keyavailable();
  childreport(results, idle);
  if (!inject(results, "z")) return;
  childreport(results, keyavailable());
  childreport(results, readkey());
  childreport(results, keyavailable());
}

TEST_F(TtyTest, KeyavailableSeesAByteInTheFirstPollAfterItArrives) {
  ASSERT_NO_FATAL_FAILURE(startbare(injectbyte));
  EXPECT_EQ(next(), 0);
  int first = next();
  if (first == REFUSED) GTEST_SKIP() << REFUSEDWHY;
  EXPECT_EQ(first, 1);
  EXPECT_EQ(next(), 'z');
  EXPECT_EQ(next(), 0);
}

// Keys typed before the keyboard starts are not lost: the first poll sees
// them without waiting for more input.
void typeahead(int results, int) {
  if (!inject(results, "t")) return;
  childreport(results, keyavailable());
  childreport(results, readkey());
}

TEST_F(TtyTest, KeysTypedBeforeTheStartAreSeenByTheFirstPoll) {
  ASSERT_NO_FATAL_FAILURE(startbare(typeahead));
  int first = next();
  if (first == REFUSED) GTEST_SKIP() << REFUSEDWHY;
  EXPECT_EQ(first, 1);
  EXPECT_EQ(next(), 't');
}

// More keys than the keyboard reads from the terminal at once: polling
// goes on finding them until the last.
void manykeys(int results, int) {
  keyboardstart();
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += static_cast<char>('a' + i % 26);
  if (!inject(results, burst)) return;
  int read = 0, inorder = 0;
  while (keyavailable() != 0) {
    if (readkey() == 'a' + read % 26) ++inorder;
    ++read;
  }
  childreport(results, read);
  childreport(results, inorder);
}

TEST_F(TtyTest, PollingFindsEveryKeyOfALongBurst) {
  ASSERT_NO_FATAL_FAILURE(startbare(manykeys));
  int read = next();
  if (read == REFUSED) GTEST_SKIP() << REFUSEDWHY;
  EXPECT_EQ(read, 300);
  EXPECT_EQ(next(), 300);
}

// ---------------------------------------------------------------------------
// No terminal

void noterminal(int results, int) {
  childreport(results, keyavailable());
  childreport(results, readkey());
  childreport(results, readkey());
  keyboardpause();
  keyboardresume();
  childreport(results, keyavailable());
  childreport(results, readkey());
}

TEST_F(TtyTest, WithoutATerminalNoKeyIsEverWaitingAndReadsAreEnter) {
  ASSERT_NO_FATAL_FAILURE(startbare(noterminal, false));
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(next(), KEY_ENTER);
  EXPECT_EQ(next(), KEY_ENTER);
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(next(), KEY_ENTER);
  int status = ptyfinish(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The terminal hanging up while a read waits ends the wait as Enter.
void readafterhangup(int results, int) {
  signal(SIGHUP, SIG_IGN);  // outlive the hang-up
  keyboardstart();
  childreport(results, READY);
  childreport(results, readkey());
  childreport(results, readkey());
  childreport(results, keyavailable());
}

TEST_F(TtyTest, ATerminalThatHangsUpReadsAsEnterAndHasNoKeys) {
  start(readafterhangup);
  close(child.master);
  child.master = -1;
  EXPECT_EQ(next(), KEY_ENTER);
  EXPECT_EQ(next(), KEY_ENTER);
  EXPECT_EQ(next(), 0);
}

// ---------------------------------------------------------------------------
// The terminal's mode

enum ExitPath { BY_EXIT, BY_FATAL };

void waitthenexit(int results, int control) {
  keyboardstart();
  childreport(results, READY);
  childwait(control);
  exit(5);
}

void waitthenfail(int results, int control) {
  keyboardstart();
  childreport(results, READY);
  childwait(control);
  fatal("failing on purpose\n");
}

TEST_F(TtyTest, ModeComesBackWhenTheProgramExits) {
  struct Case {
    const char *name;
    void (*body)(int, int);
    int status;
  };
  const Case cases[] = {
      {"exit", waitthenexit, 5},
      {"failure", waitthenfail, 255},
  };
  for (const Case &c : cases) {
    start(c.body);
    EXPECT_TRUE(iskeymode(ptymode(child))) << c.name;
    ptygo(child);
    int status = ptyfinish(child);
    EXPECT_TRUE(WIFEXITED(status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(status), c.status) << c.name;
    EXPECT_TRUE(samemode(child.after, child.before)) << c.name;
    ptyclose(child);
  }
}

void spinonkeys(int results, int) {
  keyboardstart();
  childreport(results, READY);
  for (;;) keyavailable();
}

void waitinreadkey(int results, int) {
  keyboardstart();
  childreport(results, READY);
  for (;;) readkey();
}

TEST_F(TtyTest, ModeComesBackWhenASignalEndsTheProgram) {
  struct Case {
    const char *name;
    int sig;
    const char *typed;         // the key that sends it; nullptr: kill()
    void (*body)(int, int);
  };
  const Case cases[] = {
      {"SIGTERM", SIGTERM, nullptr, spinonkeys},
      {"SIGINT", SIGINT, nullptr, spinonkeys},
      {"SIGHUP", SIGHUP, nullptr, spinonkeys},
      {"SIGQUIT", SIGQUIT, nullptr, spinonkeys},
      {"SIGTERM in readkey", SIGTERM, nullptr, waitinreadkey},
      {"Ctrl-C", SIGINT, "\x03", spinonkeys},
      {"Ctrl-C in readkey", SIGINT, "\x03", waitinreadkey},
      {"Ctrl-backslash", SIGQUIT, "\x1c", spinonkeys},
      {"SIGPIPE", SIGPIPE, nullptr, spinonkeys},
      {"SIGALRM", SIGALRM, nullptr, spinonkeys},
      {"SIGALRM in readkey", SIGALRM, nullptr, waitinreadkey},
      {"SIGUSR1", SIGUSR1, nullptr, spinonkeys},
      {"SIGUSR2", SIGUSR2, nullptr, spinonkeys},
      {"SIGXCPU", SIGXCPU, nullptr, spinonkeys},
      {"SIGXFSZ", SIGXFSZ, nullptr, spinonkeys},
      {"SIGVTALRM", SIGVTALRM, nullptr, spinonkeys},
      {"SIGPROF", SIGPROF, nullptr, waitinreadkey},
      {"SIGABRT", SIGABRT, nullptr, spinonkeys},
      {"SIGTRAP", SIGTRAP, nullptr, spinonkeys},
      {"SIGSYS", SIGSYS, nullptr, spinonkeys},
      {"SIGPWR", SIGPWR, nullptr, spinonkeys},
      {"SIGSTKFLT", SIGSTKFLT, nullptr, waitinreadkey},
      {"first real-time signal", SIGRTMIN, nullptr, spinonkeys},
      {"last real-time signal", SIGRTMAX, nullptr, waitinreadkey},
#if !defined(__SANITIZE_ADDRESS__)
      // A fault of the program's own (the sanitizers report those instead).
      {"SIGSEGV", SIGSEGV, nullptr, spinonkeys},
      {"SIGBUS", SIGBUS, nullptr, spinonkeys},
      {"SIGFPE", SIGFPE, nullptr, spinonkeys},
      {"SIGILL", SIGILL, nullptr, waitinreadkey},
#endif
  };
  for (const Case &c : cases) {
    start(c.body);
    ASSERT_TRUE(iskeymode(ptymode(child))) << c.name;
    if (c.typed != nullptr) {
      ptysend(child, c.typed);
    } else {
      kill(child.pid, c.sig);
    }
    int status = ptyfinish(child);
    // Ended by the signal itself, so a shell shows 128 + signal.
    EXPECT_TRUE(WIFSIGNALED(status)) << c.name;
    EXPECT_EQ(WTERMSIG(status), c.sig) << c.name;
    EXPECT_TRUE(samemode(child.after, child.before)) << c.name;
    ptyclose(child);
  }
}

int ignoredsignal = 0;  // set before the child starts: the one it ignores

void signalignored(int results, int) {
  signal(ignoredsignal, SIG_IGN);
  keyboardstart();
  childreport(results, READY);
  childreport(results, readkey());
}

TEST_F(TtyTest, ASignalIgnoredAtStartStaysIgnored) {
  const int signals[] = {SIGHUP, SIGINT, SIGPIPE, SIGALRM, SIGUSR1, SIGPROF};
  for (int sig : signals) {
    ignoredsignal = sig;
    start(signalignored);
    kill(child.pid, sig);  // pending before the key: handled first if at all
    ptysend(child, "x");
    EXPECT_EQ(next(), 'x') << strsignal(sig);
    int status = ptyfinish(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << strsignal(sig);
    ptyclose(child);
  }
}

// Pauses and resumes on the parent's word, then reads a key by polling.
void pauseandresume(int results, int control) {
  keyboardstart();
  childreport(results, READY);
  childwait(control);
  keyboardpause();
  keyboardpause();  // a second pause changes nothing
  childreport(results, 1);
  childwait(control);
  keyboardresume();
  keyboardstart();  // nor does a second start
  childreport(results, 2);
  while (keyavailable() == 0) {
  }
  childreport(results, readkey());
}

TEST_F(TtyTest, PauseGivesBackTheOldModeAndResumeTakesKeyModeAgain) {
  start(pauseandresume);
  EXPECT_TRUE(iskeymode(ptymode(child)));
  ptygo(child);
  ASSERT_EQ(next(), 1);
  EXPECT_TRUE(samemode(ptymode(child), child.before));
  ptygo(child);
  ASSERT_EQ(next(), 2);
  EXPECT_TRUE(iskeymode(ptymode(child)));
  ptysend(child, "r");  // noticed by polling after the resume
  EXPECT_EQ(next(), 'r');
}

// A script on standard input leaves the keyboard usable: keys come from the
// terminal even when standard input is something else.
void keysbesidesstdin(int results, int) {
  int empty[2];
  if (pipe(empty) != 0) _exit(123);
  close(empty[1]);
  dup2(empty[0], 0);
  close(empty[0]);
  keyboardstart();
  childreport(results, READY);
  childreport(results, readkey());
}

TEST_F(TtyTest, KeysComeFromTheTerminalNotFromStandardInput) {
  start(keysbesidesstdin);
  EXPECT_TRUE(iskeymode(ptymode(child)));
  ptysend(child, "s");
  EXPECT_EQ(next(), 's');
}

// ---------------------------------------------------------------------------
// Stopping and continuing

// Polls as the main loop does and reports each key read.
void pollforever(int results, int) {
  keyboardstart();
  childreport(results, READY);
  for (;;) {
    while (keyavailable() == 0) {
    }
    childreport(results, readkey());
  }
}

// Waits until the child has stopped; false when it did not within the wait.
bool waitstopped(const PtyChild &child) {
  long end = ptynowms() + PTYWAITMS;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(child.pid, &status, WNOHANG | WUNTRACED);
    if (r == child.pid) return WIFSTOPPED(status);
    if (r < 0 || ptynowms() > end) return false;
    poll(nullptr, 0, 10);
  }
}

// Continued after a stop, with the terminal back in the shell's line mode
// and a key half-typed into that line: the program takes key mode again and
// its next poll finds the key, although a half line announces no input.
TEST_F(TtyTest, ContinuingTakesKeyModeBackAndFindsKeysTypedMeanwhile) {
  struct Case {
    const char *name;
    bool stopfirst;  // stopped by SIGSTOP, which no program can catch
  };
  const Case cases[] = {
      {"SIGCONT alone", false},
      {"SIGSTOP then SIGCONT", true},
  };
  for (const Case &c : cases) {
    start(pollforever);
    ASSERT_TRUE(iskeymode(ptymode(child))) << c.name;
    if (c.stopfirst) {
      kill(child.pid, SIGSTOP);
      ASSERT_TRUE(waitstopped(child)) << c.name;
    }
    tcsetattr(child.master, TCSANOW, &child.before);  // as a shell does
    ASSERT_FALSE(iskeymode(ptymode(child))) << c.name;
    ptysend(child, "m");
    kill(child.pid, SIGCONT);
    EXPECT_TRUE(waitforkeymode()) << c.name;
    EXPECT_EQ(next(), 'm') << c.name;
    ptyclose(child);
  }
}

// Ctrl-Z in a process group that no shell watches (the test's child leads a
// session of its own): the kernel drops the stop, and the program goes on in
// key mode.
TEST_F(TtyTest, ACtrlZThatCannotStopTheProgramLeavesItInKeyMode) {
  start(readforever);
  ptysend(child, "\x1a");
  EXPECT_TRUE(waitforkeymode());
  ptysend(child, "k");  // read without Enter
  EXPECT_EQ(next(), 'k');
  EXPECT_TRUE(iskeymode(ptymode(child)));
}

// While a SPAWN'd command has the terminal, a stop or a continue leaves the
// command's mode alone; resuming afterwards still takes key mode.
void pausethensignals(int results, int control) {
  keyboardstart();
  childreport(results, READY);
  keyboardpause();
  childreport(results, 1);
  while (childcommand(control) == 's') childreport(results, 2);
  keyboardresume();
  childreport(results, 3);
  childreport(results, readkey());
}

TEST_F(TtyTest, StopAndContinueDuringAPauseLeaveTheCommandsModeAlone) {
  start(pausethensignals);
  ASSERT_EQ(next(), 1);
  ASSERT_TRUE(samemode(ptymode(child), child.before));
  // The command's own mode: neither key mode nor the one saved at start.
  termios commandmode = child.before;
  commandmode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(child.master, TCSANOW, &commandmode);
  for (int sig : {SIGCONT, SIGTSTP, SIGCONT}) {
    kill(child.pid, sig);
    ptytell(child, 's');  // the signal is handled before this is read
    ASSERT_EQ(next(), 2) << strsignal(sig);
    EXPECT_TRUE(samemode(ptymode(child), commandmode)) << strsignal(sig);
  }
  ptygo(child);
  ASSERT_EQ(next(), 3);
  EXPECT_TRUE(iskeymode(ptymode(child)));
  ptysend(child, "p");
  EXPECT_EQ(next(), 'p');
}

// A shell with job control, in miniature. The session leader runs jobbody
// in a process group of its own and makes it the terminal's foreground
// group. Each time the job stops, the leader takes the terminal back and
// reports STOPPED plus the signal; on the parent's 'f' it gives the
// terminal to the job again and continues it (fg), on 'b' it continues it
// and keeps the terminal (bg).
constexpr int STOPPED = 2000;
void (*jobbody)(int, int) = nullptr;

void runjob(int results, int control) {
  signal(SIGTTOU, SIG_IGN);  // it hands the terminal on from the background
  pid_t leader = getpid();
  pid_t job = fork();
  if (job < 0) _exit(124);
  if (job == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives its shell
    if (getppid() != leader) _exit(125);
    if (setpgid(0, 0) != 0 || tcsetpgrp(0, getpgrp()) != 0) _exit(126);
    signal(SIGTTOU, SIG_DFL);
    jobbody(results, -1);  // the control pipe is the leader's
    _exit(0);
  }
  setpgid(job, job);  // whichever of the two comes first
  for (;;) {
    int status = 0;
    if (waitpid(job, &status, WUNTRACED) != job || !WIFSTOPPED(status)) return;
    tcsetpgrp(0, getpgrp());
    childreport(results, STOPPED + WSTOPSIG(status));
    if (childcommand(control) == 'f') tcsetpgrp(0, job);
    kill(-job, SIGCONT);
  }
}

void stopignoredthenread(int results, int) {
  signal(SIGTSTP, SIG_IGN);
  keyboardstart();
  childreport(results, READY);
  for (;;) childreport(results, readkey());
}

// Ctrl-Z under a shell: the program stops with the terminal in the shell's
// mode and takes key mode again at fg. Continued in the background it leaves
// the terminal alone; a key wait there stops it (SIGTTIN) until fg.
TEST_F(TtyTest, CtrlZStopsTheProgramInTheOldModeAndFgTakesKeyModeAgain) {
  struct Case {
    const char *name;
    bool backgroundfirst;  // bg before fg
  };
  const Case cases[] = {
      {"Ctrl-Z, fg", false},
      {"Ctrl-Z, bg, fg", true},
  };
  for (const Case &c : cases) {
    jobbody = readforever;
    start(runjob);
    ASSERT_TRUE(iskeymode(ptymode(child))) << c.name;
    ptysend(child, "\x1a");
    ASSERT_EQ(next(), STOPPED + SIGTSTP) << c.name;
    EXPECT_TRUE(samemode(ptymode(child), child.before)) << c.name;
    if (c.backgroundfirst) {
      ptytell(child, 'b');
      // Continued in the background, the key wait may sit in poll until the
      // terminal has input; a whole line in the shell's mode wakes it, and
      // its read from the background stops it.
      ptysend(child, "k\n");
      ASSERT_EQ(next(), STOPPED + SIGTTIN) << c.name;
      EXPECT_TRUE(samemode(ptymode(child), child.before)) << c.name;
    }
    ptytell(child, 'f');
    EXPECT_TRUE(waitforkeymode()) << c.name;
    ptysend(child, "k");
    EXPECT_EQ(next(), 'k') << c.name;
    ptyclose(child);
  }
}

TEST_F(TtyTest, CtrlZIgnoredAtStartStaysIgnoredUnderAShell) {
  jobbody = stopignoredthenread;
  start(runjob);
  ptysend(child, "\x1a");
  ptysend(child, "k");
  EXPECT_EQ(next(), 'k');  // not a stop report
  EXPECT_TRUE(iskeymode(ptymode(child)));
}

}  // namespace
