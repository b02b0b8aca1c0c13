// PLACEHOLDER: being written; replaced by the real module.
#include "compiler/literals.h"
uint16_t texttopattern(const char *) { return 0; }
const char *patterntotext(uint16_t) { return "........"; }
uint16_t secondstotimecode(float) { return 0; }
float timecodetoseconds(uint16_t) { return 0; }
