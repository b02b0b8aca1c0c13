// GPIO lines as logical ports: the provider behind a port given as
// CHIP:out=...:in=... (port/linemap.h). quon's is gpio_linux.cpp, over the
// kernel's GPIO character device (version 2 ioctls, no library);
// quon-sim's (sim/gpio_none.cpp) has no lines and refuses every map.
//
// A port's lines are requested as one set, outputs and inputs together,
// so one input is one ioctl and one output is one ioctl.
#ifndef QUON_PLATFORM_GPIO_H
#define QUON_PLATFORM_GPIO_H

#include <cstdint>
#include <string>
#include <vector>

#include "port/linemap.h"

// Opens map's chip for logical port n and finds its lines (names looked
// up, offsets checked against the chip), requesting nothing. Returns 0,
// or -1 with *error set (one line, no newline).
int32_t gpioprepare(int32_t n, const LineMap &map, std::string *error);

// Requests the lines of every prepared port, exclusively, with consumer
// "quon"; inputs and outputs as the maps say, outputs at 0. Returns 0, or
// -1 with *error set (a line held elsewhere: by whom), nothing held then.
int32_t gpiorequest(std::string *error);

// The input byte of port n (one ioctl; active-low lines already inverted
// by the kernel; 0 on a port with no input lines), or -1 with errno set
// when the kernel refused (an adapter unplugged).
int32_t gpioread(int32_t n);

// Sets port n's output lines to byte b (one ioctl; nothing on a port with
// no output lines). Returns 0, or -1 with errno set. Async-signal-safe.
int32_t gpiowrite(int32_t n, uint8_t b);

// A GPIO chip as --ports lists it.
struct GpioLineInfo {
  std::string name;      // "" unnamed
  std::string consumer;  // who holds it; "" free
  bool used = false;
};
struct GpioChipInfo {
  std::string device;  // gpiochip0
  std::string label;
  std::vector<GpioLineInfo> lines;
  std::string problem;  // why the chip could not be read; "" read
};

// Every GPIO chip of the system, in device order.
std::vector<GpioChipInfo> gpiochips(void);

// Forgets every prepared port, releasing what was requested (tests).
void gpioreset(void);

#endif
