// The command interpreter: /bin/sh -c, waited for like system(), with the
// terminal in its original mode while the command runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/keys.h"
#include "platform/portio.h"
#include "platform/shell.h"
#include "sim/simport.h"
#include "tests/support/ptyrun.h"

namespace {

struct ShellTest : ::testing::Test {
  PtyChild child;
  void TearDown() override { ptyclose(child); }

  int next(void) {
    int v = -1;
    if (!ptyresult(child, &v)) return -1;
    return v;
  }
};

// Status words are reported as exit code or 1000 + signal.
int describe(int status) {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return -2;
}

const char *reportcommand = nullptr;  // the command runstatus runs

void runstatus(int results, int) {
  childreport(results, describe(runcommand(reportcommand)));
}

TEST_F(ShellTest, ReturnsTheCommandsWaitStatus) {
  struct Case {
    const char *command;
    int expected;  // exit code, or 1000 + signal
  };
  const Case cases[] = {
      {"true", 0},
      {"exit 3", 3},
      {"false", 1},
      {"/nonexistent/command", 127},  // the shell's "not found"
      {"kill -TERM $$", 1000 + SIGTERM},
      // The command gets the default Ctrl-C: it dies of SIGINT although the
      // program ignores SIGINT while it waits.
      {"kill -INT $$; exit 9", 1000 + SIGINT},
      {"kill -QUIT $$; exit 9", 1000 + SIGQUIT},
      // The program itself does not die of Ctrl-C while the command runs.
      {"kill -INT $PPID; kill -QUIT $PPID; exit 4", 4},
      {"", 0},
  };
  for (const Case &c : cases) {
    reportcommand = c.command;
    child = ptystart(runstatus);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(next(), c.expected) << c.command;
    int status = ptyfinish(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.command;
    ptyclose(child);
  }
}

TEST_F(ShellTest, NoCommandRunsNothing) { EXPECT_EQ(runcommand(nullptr), -1); }

// Fully buffered output, as when standard output is a file.
void printaround(int results, int) {
  setvbuf(stdout, nullptr, _IOFBF, 4096);
  printf("before|");
  int status = runcommand("echo middle");
  printf("after|");
  fflush(stdout);
  childreport(results, describe(status));
}

TEST_F(ShellTest, WhatWasPrintedComesBeforeTheCommandsOutput) {
  child = ptystart(printaround);
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(next(), 0);
  ASSERT_TRUE(ptywaitfor(child, "after|"));
  size_t before = child.out.find("before|");
  size_t middle = child.out.find("middle");
  size_t after = child.out.find("after|");
  ASSERT_NE(before, std::string::npos);
  ASSERT_NE(middle, std::string::npos);
  EXPECT_LT(before, middle);
  EXPECT_LT(middle, after);
}

// Runs a command that reads a line from the terminal, in key mode before
// and after it.
void commandreadsaline(int results, int control) {
  keyboardstart();
  childreport(results, 1);
  childwait(control);
  int status = runcommand("echo begin; read line; echo \"got:$line\"");
  childreport(results, describe(status));
  childwait(control);
  childreport(results, readkey());
}

TEST_F(ShellTest, TheCommandGetsTheTerminalInItsOriginalMode) {
  child = ptystart(commandreadsaline);
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(next(), 1);
  EXPECT_EQ(ptymode(child).c_lflag & ICANON, 0u);
  ptygo(child);
  ASSERT_TRUE(ptywaitfor(child, "begin"));
  EXPECT_TRUE(samemode(ptymode(child), child.before));
  // Line editing and echo: the backspace takes back the x, Enter's CR ends
  // the line.
  ptysend(child, "hellx\x7fo\r");
  ASSERT_TRUE(ptywaitfor(child, "got:"));
  EXPECT_EQ(next(), 0);
  EXPECT_NE(child.out.find("got:hello"), std::string::npos);
  EXPECT_NE(child.out.find("hellx"), std::string::npos);  // echoed
  // Key mode again afterwards, and keys still arrive.
  termios mode = ptymode(child);
  EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(mode.c_iflag & ICRNL, 0u);
  ptysend(child, "k");
  ptygo(child);
  EXPECT_EQ(next(), 'k');
}

// The command shows its own signal state and the program's, as the kernel
// reports them.
void showsignalstate(int results, int) {
  keyboardstart();
  int status = runcommand(
      "grep -E '^Sig(Blk|Ign)' /proc/$PPID/status | sed 's/^/program /'; "
      "grep -E '^Sig(Blk|Ign)' /proc/self/status | sed 's/^/command /'; "
      "echo done");
  childreport(results, describe(status));
}

// The hexadecimal mask on the line that starts with label.
unsigned long long maskafter(const std::string &screen, const std::string &label) {
  size_t at = screen.find(label);
  if (at == std::string::npos) return ~0ull;
  return strtoull(screen.c_str() + at + label.size(), nullptr, 16);
}

unsigned long long bit(int sig) { return 1ull << (sig - 1); }

TEST_F(ShellTest, SignalsAreHandledLikeSystemWhileTheCommandRuns) {
  child = ptystart(showsignalstate);
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(next(), 0);
  ASSERT_TRUE(ptywaitfor(child, "done"));
  unsigned long long programblocked = maskafter(child.out, "program SigBlk:");
  unsigned long long programignored = maskafter(child.out, "program SigIgn:");
  unsigned long long commandblocked = maskafter(child.out, "command SigBlk:");
  unsigned long long commandignored = maskafter(child.out, "command SigIgn:");
  ASSERT_NE(programblocked, ~0ull) << child.out;
  ASSERT_NE(commandblocked, ~0ull) << child.out;
  EXPECT_NE(programblocked & bit(SIGCHLD), 0u);
  EXPECT_NE(programignored & bit(SIGINT), 0u);
  EXPECT_NE(programignored & bit(SIGQUIT), 0u);
  EXPECT_EQ(commandblocked & bit(SIGCHLD), 0u);
  EXPECT_EQ(commandignored & (bit(SIGINT) | bit(SIGQUIT)), 0u);
}

int handled = 0;
void onsignal(int) { ++handled; }

// After the command the program's own dispositions and mask are back.
void dispositionsafter(int results, int) {
  signal(SIGINT, onsignal);
  signal(SIGQUIT, onsignal);
  runcommand("true");
  struct sigaction now;
  sigaction(SIGINT, nullptr, &now);
  childreport(results, now.sa_handler == onsignal);
  sigaction(SIGQUIT, nullptr, &now);
  childreport(results, now.sa_handler == onsignal);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  childreport(results, sigismember(&mask, SIGCHLD));
  raise(SIGINT);
  childreport(results, handled);
}

TEST_F(ShellTest, TheProgramsSignalStateComesBackAfterTheCommand) {
  child = ptystart(dispositionsafter);
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(next(), 1);  // SIGINT handler
  EXPECT_EQ(next(), 1);  // SIGQUIT handler
  EXPECT_EQ(next(), 0);  // SIGCHLD not blocked
  EXPECT_EQ(next(), 1);  // Ctrl-C reaches the program again
}

// Only the command's process gives up the port: the program still reads
// back what it wrote, and running a command touches no register.
void portacrosscommand(int results, int) {
  const char *hint = nullptr;
  const char *note = nullptr, *warning = nullptr;
  childreport(results, ioaccess(SIM_BASE0, SIM_BASE1, &hint, &note, &warning));
  iowrite(SIM_BASE0, 0xA5);
  simtracecount = 0;
  simtracing = 1;
  runcommand("true");
  simtracing = 0;
  childreport(results, simtracecount);
  childreport(results, ioread(SIM_BASE0));
}

TEST_F(ShellTest, TheProgramKeepsItsPortAccessAcrossACommand) {
  child = ptystart(portacrosscommand);
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(next(), 0);
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(next(), 0xA5);
}

}  // namespace
