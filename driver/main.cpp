#include "driver/startup.h"

int main(int argc, char **argv) { return quonmain(argc, argv); }
