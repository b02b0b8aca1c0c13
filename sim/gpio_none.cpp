// quon-sim simulates parallel ports only: it has no GPIO lines, and a
// GPIO port asked of it is refused at start-up with the program to use.
#include "platform/gpio.h"

int32_t gpioprepare(int32_t, const LineMap &, std::string *error) {
  *error = "quon-sim simulates parallel ports only: run GPIO lines with quon";
  return -1;
}

int32_t gpiorequest(std::string *, bool, std::string *) { return 0; }

bool gpiogivesedges(int32_t) { return false; }

int32_t gpioedges(int32_t, GpioEdge *, int32_t) { return 0; }

int gpioeventfd(int32_t) { return -1; }

int32_t gpioread(int32_t) { return 0; }

int32_t gpiowrite(int32_t, uint8_t) { return 0; }

std::vector<GpioChipInfo> gpiochips(void) { return {}; }

void gpioreset(void) {}
