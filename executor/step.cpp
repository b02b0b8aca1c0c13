// PLACEHOLDER: being written; replaced by the real module.
#include "executor/step.h"
void stepthread(int32_t) {}
