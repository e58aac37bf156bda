// What the POSIX side's units share: the signals that end a run, the flag they set, the streams'
// set-up, and whether two names are one file.
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

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

// What tells a file from another: its status, whether an overlay or FUSE view shows it (a view
// numbers another file system's files its own way), and for a loop device, the file behind it.
// The view is the file system's magic number, or NO_VIEW.
struct file_identity {
    struct stat st;
    long view;
    bool has_backing;
    struct stat backing;
    long backing_view;
};
constexpr long NO_VIEW = 0;

// Identifies the open file fd; false when its status cannot be read.
bool identify_open_file(int fd, file_identity *id);

// Identifies the file that name designates now, without opening it; false when there is none.
bool identify_named_file(const char *name, file_identity *id);

// True when a and b are one file, under any name or view.
bool one_file(const file_identity &a, const file_identity &b);

// True when a and b have the same device and inode number.
bool same_inode(const struct stat &a, const struct stat &b);

// True when fd is a sysfs file, whose size says nothing of its content.
bool on_sysfs(int fd);

#endif
