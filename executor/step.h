// The thread step: runs one thread's statements from its current token until
// one has to wait (a WAIT that does not hold, a new or running DELAY, a KEY
// not typed in this pass) or its separator sends it back to its start.
#ifndef QUON_EXECUTOR_STEP_H
#define QUON_EXECUTOR_STEP_H

#include <cstdint>

void stepthread(int32_t t);

#endif
