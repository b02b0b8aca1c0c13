#include "platform/lastwords.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// The signals whose default action ends the program, whoever sends them (a
// user, a UPS daemon, abort(), a descriptor's owner asking for SIGIO). The
// real-time signals end it too and are added where the set is made.
const int FATALSIGNALS[] = {
    SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGABRT, SIGTRAP, SIGSYS, SIGIO,
#if defined(SIGPOLL) && SIGPOLL != SIGIO
    SIGPOLL,
#endif
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

// The stages' steps. A step's pointer is stored whole before the handler
// may see it (a pointer store is one instruction on every target).
struct StopSequence {
  void (*volatile onexit[STOP_STAGES])(void);
  void (*volatile onsignal[STOP_STAGES])(void);
  bool registered;             // the exit steps are an exit handler
  volatile sig_atomic_t ran;   // the exit steps ran
};
StopSequence sequence;

bool installed = false;
sigset_t alsoheldsofar;   // every alsoheld given so far: a later install keeps them
sigset_t ignoredatstart;  // the fatal signals that were ignored at the first install

// A fault from an overflowed stack has no stack left to run on: the fault
// handlers get one of their own.
constexpr size_t ALTSTACK = size_t{64} * 1024;
alignas(16) char altstack[ALTSTACK];

// The exit steps, each stage once: at the normal exit and at exit(-1)
// from a failure.
void exitsequence(void) {
  if (sequence.ran) return;
  sequence.ran = 1;
  for (int i = 0; i < STOP_STAGES; ++i) {
    void (*step)(void) = sequence.onexit[i];
    if (step != nullptr) step();
  }
}

// Runs the steps, then dies of the same signal with its default action.
// Never returns, so errno is moot.
void onfatalsignal(int sig) {
  for (int i = 0; i < STOP_STAGES; ++i) {
    void (*step)(void) = sequence.onsignal[i];
    if (step != nullptr) step();
  }
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

void stopstage(StopStage stage, void (*onexit)(void), void (*onsignal)(void)) {
  sequence.onexit[stage] = onexit;
  sequence.onsignal[stage] = onsignal;
  if (!sequence.registered) {
    sequence.registered = true;
    atexit(exitsequence);
  }
  lastwordsinstall(nullptr);
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
    stack_t stack;
    memset(&stack, 0, sizeof stack);
    stack.ss_sp = altstack;
    stack.ss_size = sizeof altstack;
    (void)sigaltstack(&stack, nullptr);  // without it, faults use the stack they have
    sigemptyset(&alsoheldsofar);
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
  for (int sig = 1; sig < NSIG; ++sig) {
    if (alsoheld != nullptr && sigismember(alsoheld, sig) == 1) sigaddset(&alsoheldsofar, sig);
    if (sigismember(&alsoheldsofar, sig) == 1) sigaddset(&action.sa_mask, sig);
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&fatal, sig) != 1 || sigismember(&ignoredatstart, sig) == 1) continue;
    // A handler of the program's own (the keyboard's SIGIO, which tells that
    // a key came) means the signal does not end the program: it stays.
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_DFL &&
        current.sa_handler != SIG_IGN && current.sa_handler != onfatalsignal) {
      continue;
    }
    bool fault = false;
    for (int f : FAULTSIGNALS) fault = fault || f == sig;
    action.sa_flags = fault ? SA_ONSTACK : 0;
    sigaction(sig, &action, nullptr);
  }
}

void lastwordshold(sigset_t *old) {
  sigset_t fatal;
  lastwordssignals(&fatal);
  sigprocmask(SIG_BLOCK, &fatal, old);
}

void lastwordsrelease(const sigset_t *old) { sigprocmask(SIG_SETMASK, old, nullptr); }
