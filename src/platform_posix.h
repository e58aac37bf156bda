// What the POSIX side's units share: the signals that end a run, the flag they set, and the
// streams' set-up.
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>
#include <cstdio>

// The signals that end a run, as set_up_process caught them. Each only marks it interrupted, so
// that the image is removed and the terminal restored on the normal way out.
extern sigset_t ending_signals;

// The ending signal caught, or 0.
extern volatile std::sig_atomic_t caught_signal;

// Catches sig with handler, without SA_RESTART so that a blocked read or wait returns, unless
// whoever started the tool ignores it (nohup, a background job); old gets what was there. The
// caller holds sig blocked meanwhile.
void catch_signal(int sig, void (*handler)(int), struct sigaction *old);

// Tells the C library that the tool's one thread does the stream's locking, where it can be told:
// otherwise every fread and fwrite takes and gives back the stream's lock.
void skip_stream_locks(std::FILE *stream);

#endif
