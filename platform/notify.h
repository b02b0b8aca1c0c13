// A service manager's notification socket: one datagram a message to the
// socket that $NOTIFY_SOCKET names (a path, or an abstract name after '@').
// Provider: notify_posix.cpp.
#ifndef QUON_PLATFORM_NOTIFY_H
#define QUON_PLATFORM_NOTIFY_H

// Opens a datagram socket (close-on-exec, non-blocking) for the address
// name gives. Returns 0, or -1 when name is no usable address.
int notifyopen(const char *name);

// Sends text as one datagram; a send that fails is dropped, as the
// protocol wants. Async-signal-safe. Does nothing before notifyopen.
void notifysend(const char *text);

// Closes the socket (tests).
void notifyclose(void);

#endif
