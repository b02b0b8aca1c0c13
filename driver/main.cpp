#include "driver/startup.h"

int main(int argc, char **argv) {
  programidentity = QUON_IDENTITY;
  return quonmain(argc, argv);
}
