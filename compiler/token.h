// The token as the compiler makes it: the type and its fields live with
// the record (core/token.h), which holds the compiled program.
#ifndef QUON_COMPILER_TOKEN_H
#define QUON_COMPILER_TOKEN_H

#include "core/token.h"

#endif
