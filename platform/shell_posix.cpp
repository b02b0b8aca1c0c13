// The command interpreter: /bin/sh -c, waited for as system() does. The
// command gets the terminal in its original mode and no port access.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/keys.h"
#include "platform/shell.h"

namespace {
void (*childhook)(void) = nullptr;
int (*standin)(const char *) = nullptr;

// A disposition that was a handler of ours becomes the default in the
// command; one that was ignored when we were started stays ignored.
void childdisposition(int sig, const struct sigaction &saved) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = saved.sa_handler == SIG_IGN ? SIG_IGN : SIG_DFL;
  sigaction(sig, &action, nullptr);
}
}  // namespace

void commandchildhook(void (*hook)(void)) { childhook = hook; }

void commandstandin(int (*hook)(const char *)) { standin = hook; }

int runcommand(const char *command) {
  if (command == nullptr) return -1;
  if (standin != nullptr) {
    int taken = standin(command);
    if (taken >= 0) return taken;
  }
  fflush(stdout);  // what the run printed comes before the command's output
  keyboardpause();

  // While the command runs, Ctrl-C and Ctrl-\ are the command's: the
  // program ignores them, and SIGCHLD waits until the command is reaped.
  struct sigaction ignore, savedint, savedquit;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &savedint);
  sigaction(SIGQUIT, &ignore, &savedquit);
  sigset_t childset, savedmask;
  sigemptyset(&childset);
  sigaddset(&childset, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childset, &savedmask);

  int status = -1;
  pid_t pid = fork();
  if (pid == 0) {
    childdisposition(SIGINT, savedint);
    childdisposition(SIGQUIT, savedquit);
    sigprocmask(SIG_SETMASK, &savedmask, nullptr);
    if (childhook != nullptr) childhook();
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);  // as the shell reports a command it cannot run
  }
  if (pid > 0) {
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) {
        status = -1;
        break;
      }
    }
  }

  sigaction(SIGINT, &savedint, nullptr);
  sigaction(SIGQUIT, &savedquit, nullptr);
  sigprocmask(SIG_SETMASK, &savedmask, nullptr);
  keyboardresume();
  return status;
}
