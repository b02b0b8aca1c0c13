// The command interpreter. Providers: shell_posix.cpp (/bin/sh -c, waited
// for like system()) and tests/fakes/shell_fake.cpp.
#ifndef QUON_PLATFORM_SHELL_H
#define QUON_PLATFORM_SHELL_H

// Runs command and returns when it has finished, with its wait status (or
// -1 when no interpreter could be started). Standard output is flushed
// first; the command gets the terminal in its original mode.
int runcommand(const char *command);

// Installs what a command's process does just before the interpreter
// starts (start-up gives it the port back-end's iorelease, so commands
// cannot touch the port); nullptr: nothing.
void commandchildhook(void (*hook)(void));

// Installs what is asked first about every command: it returns the status
// the command is taken to have ended with (nothing is run then), or -1 to
// let it run (a testbench that skips or counts a script's commands);
// nullptr: every command runs.
void commandstandin(int (*standin)(const char *command));

#endif
