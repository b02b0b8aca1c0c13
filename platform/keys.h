// Console keys. Providers: keys_tty.cpp (the controlling terminal) and
// tests/fakes/keys_fake.cpp.
#ifndef QUON_PLATFORM_KEYS_H
#define QUON_PLATFORM_KEYS_H

#include <cstdint>

constexpr int KEY_ESC = 27;
constexpr int KEY_ENTER = 13;

// 1 when a key press is waiting, else 0. Never waits. A scan code held back
// by readkey is not seen here.
int keyavailable(void);

// Waits for a key press and returns its code (0 to 255), without echo. A key
// without a character (cursor, editing and function keys) reads as 0 and
// its PC scan code comes at the next call, at once. With no terminal at all
// it returns KEY_ENTER at once.
int readkey(void);

// Puts the terminal in key mode (no line editing, no echo) and arranges for
// its old mode to come back at every way out. Idempotent; keyavailable and
// readkey call it themselves.
void keyboardstart(void);

// Gives the terminal its mode from before the program started once a
// prompt's key has been read (calibration, dump): between prompts and
// until the main loop polls, the terminal edits lines and echoes as usual,
// so a script typed at it can be read. The next keyavailable, readkey or
// keyboardstart takes key mode again.
void keyboardrelease(void);

// Gives the processor back until a key may be waiting or maxus
// microseconds have passed, whichever comes first; returns at once when a
// key is waiting already. Without a terminal it simply sleeps. The
// real-time mode's loop waits here when nothing can change but a key.
void keywait(uint64_t maxus);

// The same, woken also when one of fds (count of them, at most
// KEYWAIT_FDS) becomes readable: the loop of GPIO ports sleeps here until
// a line's edge, a key or the deadline. A signal may cut it short.
constexpr int KEYWAIT_FDS = 8;
void keywaitfor(uint64_t maxus, const int *fds, int count);

// Gives the terminal its mode from before the program started (a SPAWN'd
// command runs in it), and takes key mode back afterwards.
void keyboardpause(void);
void keyboardresume(void);

#endif
