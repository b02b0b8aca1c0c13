// The stop sequence: what must happen however the program ends, in named
// stages that run in one fixed order, whoever set them up first: the
// terminal given its mode back, STOPPING=1 told to the service manager,
// the safe outputs written, the monitors' region removed, the trace ended
// (so the trace records the safe write). The same stages run at the
// normal exit, at a failure (fatal() exits) and in the handler of every
// signal whose default action ends the program, which then ends it by
// that signal, so the parent sees how it ended.
#ifndef QUON_PLATFORM_LASTWORDS_H
#define QUON_PLATFORM_LASTWORDS_H

#include <signal.h>

enum StopStage {
  STOP_TERMINAL,  // the terminal's own mode back
  STOP_SERVICE,   // STOPPING=1
  STOP_SAFE,      // the declared safe outputs
  STOP_REGION,    // the monitors' region removed
  STOP_TRACE,     // the trace's end on disk
  STOP_STAGES
};

// Sets stage's steps: onexit runs at exit (stdio allowed), onsignal in the
// handler of an ending signal (async-signal-safe calls only); either may
// be nullptr. Setting a stage again replaces its steps. The first call
// registers the sequence with exit and installs the handler.
void stopstage(StopStage stage, void (*onexit)(void), void (*onsignal)(void));

// The signals whose handler runs the steps: those that end the program by
// default, the real-time ones, and (outside the sanitizers, whose own
// handlers report them) the faults, which run on a stack of their own so
// that an overflowed stack still lets the steps run.
void lastwordssignals(sigset_t *set);

// Installs that handler, holding the signals of alsoheld (may be nullptr)
// besides those of lastwordssignals while it runs. A signal ignored when
// the program started stays ignored. May be called again, with a wider
// alsoheld.
void lastwordsinstall(const sigset_t *alsoheld);

// Holds those signals back around work that a step must not see half
// done, and lets them through again.
void lastwordshold(sigset_t *old);
void lastwordsrelease(const sigset_t *old);

#endif
