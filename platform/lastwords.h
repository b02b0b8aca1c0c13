// What must happen however the program ends by a signal: the terminal
// given its mode back, a trace's last bytes put on disk. The steps run in
// the handler of every signal whose default action ends the program, which
// then ends it by that signal, so the parent sees how it ended.
#ifndef QUON_PLATFORM_LASTWORDS_H
#define QUON_PLATFORM_LASTWORDS_H

#include <signal.h>

// Adds a step (async-signal-safe calls only); steps run newest first. At
// most eight; a ninth is not kept.
void lastwordsadd(void (*step)(void));

// The signals whose handler runs the steps: those that end the program by
// default, the real-time ones, and (outside the sanitizers, whose own
// handlers report them) the faults.
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
