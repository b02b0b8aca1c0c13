// Test double of the console keys: a queue that tests fill.
#include "tests/fakes/fakes.h"
#include "platform/keys.h"

namespace {
constexpr int QUEUE = 256;
int queue[QUEUE];
int head = 0;  // next key to read
int tail = 0;  // next free place
int held = 0;  // scan code the next readkey returns, as the real keyboard's
}  // namespace

int fakekeyemptyreads = 0;
int fakekeyavailablecalls = 0;
int fakekeymode = 0;

void fakekeysreset(void) {
  head = tail = 0;
  held = 0;
  fakekeyemptyreads = 0;
  fakekeyavailablecalls = 0;
  fakekeymode = 0;
  fakekeywaits = 0;
  fakekeywaitus = 0;
  fakekeywaithook = nullptr;
  fakekeywaitfds = 0;
}

void fakekeyspush(int code) {
  if (tail < QUEUE) queue[tail++] = code;
}

int fakekeyspending(void) { return tail - head; }

int keyavailable(void) {
  ++fakekeyavailablecalls;
  fakekeymode = 1;
  return head < tail ? 1 : 0;
}

int readkey(void) {
  fakekeymode = 1;
  if (held != 0) {
    int scan = held;
    held = 0;
    return scan;
  }
  if (head < tail) {
    int code = queue[head++];
    // A 0 followed by a code is a key without a character: its scan code
    // comes at the next read and, as on the terminal, keyavailable does
    // not see it.
    if (code == 0 && head < tail) held = queue[head++];
    return code;
  }
  ++fakekeyemptyreads;
  return KEY_ENTER;
}

void keyboardstart(void) { fakekeymode = 1; }
void keyboardrelease(void) { fakekeymode = 0; }
void keyboardpause(void) {}
void keyboardresume(void) {}

int fakekeywaits = 0;
uint64_t fakekeywaitus = 0;

void (*fakekeywaithook)(uint64_t maxus) = nullptr;
int fakekeywaitfds = 0;

void keywait(uint64_t maxus) {
  ++fakekeywaits;
  fakekeywaitus += maxus;
}

void keywaitfor(uint64_t maxus, const int *, int count) {
  keywait(maxus);
  fakekeywaitfds = count;
  if (fakekeywaithook != nullptr) fakekeywaithook(maxus);
}
