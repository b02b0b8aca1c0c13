// PLACEHOLDER: being written; replaced by the real module.
#include "platform/keys.h"
int keyavailable(void) { return 0; }
int readkey(void) { return KEY_ENTER; }
void keyboardstart(void) {}
void keyboardpause(void) {}
void keyboardresume(void) {}
