#include "platform/lastwords.h"

#include <unistd.h>

#include <cstring>

namespace {

// The signals whose default action ends the program, whoever sends them (a
// user, a UPS daemon, abort()). The real-time signals end it too and are
// added where the set is made.
const int FATALSIGNALS[] = {
    SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGABRT, SIGTRAP, SIGSYS,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// A fault in the program itself ends it too. Under the sanitizers their own
// handlers report such a fault, so the steps are left to the exit path.
const int FAULTSIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool FAULTHANDLERS = false;
#else
constexpr bool FAULTHANDLERS = true;
#endif

constexpr int STEPS = 8;
void (*volatile steps[STEPS])(void);
volatile sig_atomic_t stepcount = 0;

bool installed = false;
sigset_t ignoredatstart;  // the fatal signals that were ignored at the first install

// Runs the steps, then dies of the same signal with its default action.
// Never returns, so errno is moot.
void onfatalsignal(int sig) {
  for (int i = stepcount - 1; i >= 0; --i) steps[i]();
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached: the default action ends the process
}

bool ignored(int sig) {
  struct sigaction old;
  return sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

}  // namespace

void lastwordsadd(void (*step)(void)) {
  if (stepcount >= STEPS) return;
  steps[stepcount] = step;
  stepcount = stepcount + 1;  // after the entry: a handler never sees it half made
}

void lastwordssignals(sigset_t *set) {
  sigemptyset(set);
  for (int sig : FATALSIGNALS) sigaddset(set, sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(set, sig);
  if (FAULTHANDLERS) {
    for (int sig : FAULTSIGNALS) sigaddset(set, sig);
  }
}

void lastwordsinstall(const sigset_t *alsoheld) {
  sigset_t fatal;
  lastwordssignals(&fatal);
  if (!installed) {
    installed = true;
    sigemptyset(&ignoredatstart);
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sigismember(&fatal, sig) == 1 && ignored(sig)) sigaddset(&ignoredatstart, sig);
    }
  }
  // Each handler runs with the others held back, so the steps never run
  // twice over each other.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onfatalsignal;
  action.sa_mask = fatal;
  for (int sig = 1; alsoheld != nullptr && sig < NSIG; ++sig) {
    if (sigismember(alsoheld, sig) == 1) sigaddset(&action.sa_mask, sig);
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&fatal, sig) != 1 || sigismember(&ignoredatstart, sig) == 1) continue;
    sigaction(sig, &action, nullptr);
  }
}

void lastwordshold(sigset_t *old) {
  sigset_t fatal;
  lastwordssignals(&fatal);
  sigprocmask(SIG_BLOCK, &fatal, old);
}

void lastwordsrelease(const sigset_t *old) { sigprocmask(SIG_SETMASK, old, nullptr); }
