// PLACEHOLDER: being written; replaced by the real module.
#include "platform/portio.h"
#include "platform/simport.h"
int32_t biosportbase(const char **) { return simbiosword; }
int32_t ioaccess(uint32_t, const char **) { return 0; }
void iorelease(void) {}
uint8_t ioread(uint32_t a) { return simread(a); }
void iowrite(uint32_t a, uint8_t v) { simwrite(a, v); }
