// What the POSIX side's units share: the signals that end a run, and the flag they set.
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>

// The signals that end a run. Each only marks it interrupted, so that the image is removed and the
// terminal restored on the normal way out.
extern const int ending_signals[4];

// The ending signal caught, or 0.
extern volatile std::sig_atomic_t caught_signal;

// Catches sig with handler, without SA_RESTART so that a blocked read or wait returns, unless
// whoever started the tool ignores it (nohup, a background job); old gets what was there.
void catch_signal(int sig, void (*handler)(int), struct sigaction *old);

#endif
