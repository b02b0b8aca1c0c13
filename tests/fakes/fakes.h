// Controls of the test doubles for keys, clock and command interpreter.
#ifndef QUON_TESTS_FAKES_FAKES_H
#define QUON_TESTS_FAKES_FAKES_H

#include <cstdint>

// Clock: clockms() returns fakeclock; clockus() fakeclock * 1000 plus
// fakeclockus (0 to 999).
extern uint32_t fakeclock;
extern uint32_t fakeclockus;

// Keys: a queue of key codes. keyavailable() is 1 while the queue holds a
// key; readkey() takes the next (KEY_ENTER when empty, counted in
// fakekeyemptyreads). A 0 and the code after it are a key without a
// character: readkey() returns the 0 and holds the scan code back for the
// next read, unseen by keyavailable(), as the terminal's keyboard does.
void fakekeysreset(void);
void fakekeyspush(int code);
int fakekeyspending(void);
extern int fakekeyemptyreads;
extern int fakekeyavailablecalls;
// 1 while the keyboard is in key mode (taken by keyboardstart, keyavailable
// or readkey), 0 once keyboardrelease gave the terminal back.
extern int fakekeymode;
// keywait: how often the loop waited for a key, and for how long in all.
extern int fakekeywaits;
extern uint64_t fakekeywaitus;
// keywaitfor counts as a keywait, keeps how many descriptors it was given,
// then calls the hook (when set) as if the time had passed in the kernel:
// a test moves the clock or queues an edge there.
extern void (*fakekeywaithook)(uint64_t maxus);
extern int fakekeywaitfds;

// Command interpreter: records each command (the last 16) and advances
// fakeclock by fakeshelladvance ms per command, as time passes while a
// command runs.
void fakeshellreset(void);
extern int fakeshellcount;
extern const char *fakeshellcommands[16];
extern uint32_t fakeshelladvance;

#endif
