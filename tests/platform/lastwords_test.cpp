// The stop sequence in a process of its own: its stages run in their fixed
// order whichever was set first, at exit and from an ending signal alike,
// SIGIO included, and a fault from an overflowed stack still runs them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/lastwords.h"

namespace {

int report = -1;  // the pipe the child's steps write to

void say(char c) { (void)write(report, &c, 1); }
void terminalexit(void) { say('k'); }
void terminalsignal(void) { say('K'); }
void safeexit(void) { say('s'); }
void safesignal(void) { say('S'); }
void traceexit(void) { say('t'); }
void tracesignal(void) { say('T'); }

// Deep enough to overflow any stack; the volatile keeps every frame, and
// the depth that never comes keeps the compiler from calling it endless.
volatile int bottom = -1;
[[gnu::noinline]] int overflow(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == bottom) return 0;
  return overflow(depth + 1) + frame[0];
}

enum End { BY_EXIT, BY_SIGIO, BY_SIGTERM, BY_OVERFLOW };

// What the steps wrote, and how the child ended (exit status, or 1000 plus
// the signal).
std::string endchild(End end, int *how) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    report = fds[1];
    // Set in an order unlike the stages' own.
    stopstage(STOP_TRACE, traceexit, tracesignal);
    stopstage(STOP_SAFE, safeexit, safesignal);
    stopstage(STOP_TERMINAL, terminalexit, terminalsignal);
    if (end == BY_SIGIO) raise(SIGIO);
    if (end == BY_SIGTERM) raise(SIGTERM);
    if (end == BY_OVERFLOW) _exit(overflow(0));
    exit(3);
  }
  close(fds[1]);
  std::string got;
  char buf[16];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  *how = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : -1;
  return got;
}

TEST(StopSequenceTest, StagesRunInTheirOrderAtEveryEnd) {
  struct Case {
    const char *name;
    End end;
    const char *steps;
    int how;
  } cases[] = {
      {"exit", BY_EXIT, "kst", 3},
      {"SIGIO", BY_SIGIO, "KST", 1000 + SIGIO},
      {"SIGTERM", BY_SIGTERM, "KST", 1000 + SIGTERM},
#if !defined(__SANITIZE_ADDRESS__) && !defined(QUON_TEST_SANITIZED)
      // Under the sanitizers a fault is theirs to report.
      {"a stack overflow", BY_OVERFLOW, "KST", 1000 + SIGSEGV},
#endif
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int how = 0;
    EXPECT_EQ(endchild(c.end, &how), c.steps);
    EXPECT_EQ(how, c.how);
  }
}

}  // namespace
