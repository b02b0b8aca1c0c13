// PLACEHOLDER: being written; replaced by the real module.
#include "port/port.h"
uint32_t outport[LOGICAL_PORTS] = {0x378, 0x278}; int32_t outportcount = 2; uint32_t inport[LOGICAL_PORTS] = {0x379, 0x279}; int32_t inportcount = 2; const char *porthint = "";
int32_t locateport(void) { return 0; }
uint16_t portinput(int32_t) { return 0; }
uint8_t portreadback(int32_t) { return 0; }
void portwrite(int32_t, uint8_t) {}
void resetports(void) {}
