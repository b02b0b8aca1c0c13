#include "driver/mainloop.h"

#include "executor/pass.h"
#include "platform/keys.h"
#include "realtime/realtime.h"

void mainloopinit(void) {
  parkthreads();
  keyboardstart();  // key mode from the first pass on
}

int mainlooppass(void) {
  // At most one key per pass, so every thread sees each key for one pass.
  return runpass(keyavailable() ? readkey() : -1);
}

int mainloop(void) {
  mainloopinit();
  int status;
  if (realtimeon) {
    while ((status = mainlooppass()) == 0) realtimewait();
    return status;
  }
  while ((status = mainlooppass()) == 0) {
  }
  return status;
}
