// PLACEHOLDER: being written; replaced by the real module.
#include "platform/simport.h"
SimAdapter simadapter[SIM_ADAPTERS]; uint16_t simbiosword = 0x378; int simdenyaccess = 0; SimAccess simtrace[SIM_TRACE]; int simtracecount = 0; int simtracing = 0;
void simreset(void) {}
uint8_t simread(uint32_t) { return 0; }
void simwrite(uint32_t, uint8_t) {}
