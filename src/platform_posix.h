// What the POSIX side's units share: the signals that end a run, the flag they set, the streams'
// set-up, and whether two names are one file.
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/types.h>

// The signals that end a run, as set_up_process caught them. Each only marks it interrupted, so
// that the image is removed and the terminal restored on the normal way out.
extern sigset_t ending_signals;

// The ending signal caught, or 0.
extern volatile std::sig_atomic_t caught_signal;

// Catches sig with handler, without SA_RESTART so that a blocked read or wait returns, unless
// whoever started the tool ignores it (nohup, a background job); old gets what was there. The
// caller holds sig blocked meanwhile.
void catch_signal(int sig, void (*handler)(int), struct sigaction *old);

// The run's two files, whose descriptors an ending signal makes non-blocking: a read or write that
// would wait for a pipe, a FIFO or a terminal then fails at once, however soon after a check of the
// flag the signal came, and the run ends. Each is opened by name, so the open file is the run's own.
enum watched_file { WATCHED_SOFTWARE, WATCHED_IMAGE, WATCHED_FILES };

// Watches fd as the file of that role, or stops watching it (-1).
void watch_descriptor(int role, int fd);

// Opens name as open(2) does, for a file that the run has not changed yet. An ending signal that
// comes before or while the open waits (a FIFO, for its other end) ends the process at once.
int open_before_changes(const char *name, int flags, mode_t mode = 0);

// Tells the C library that the tool's one thread does the stream's locking, where it can be told:
// otherwise every fread and fwrite takes and gives back the stream's lock.
void skip_stream_locks(std::FILE *stream);

// What tells a file from another: its status, whether an overlay or FUSE view shows it (a view
// numbers another file system's files its own way), and for a loop device, the chain of files
// behind it, a disk backed by a disk backed by a file, each with its view. The view is the file
// system's magic number, or NO_VIEW.
constexpr int MAX_BACKING = 4;
struct file_identity {
    struct stat st;
    long view;
    bool on_sysfs; // its size says nothing of its content: sysfs gives a page
    int backing_count;
    struct stat backing[MAX_BACKING];
    long backing_view[MAX_BACKING];
};
constexpr long NO_VIEW = 0;
// The view of a loop device's file that no name leads to now: any view may show it.
constexpr long UNKNOWN_VIEW = -2;

// Identifies the open file fd; false when it cannot be identified whole: its status, its view or
// the files behind a loop device cannot be read.
bool identify_open_file(int fd, file_identity *id);

// Identifies the file that name designates now, without opening it: 1 when there is one, 0 when
// there is none, -1 when it cannot be told.
int identify_named_file(const char *name, file_identity *id);

// True when a and b are one file, under any name or view.
bool one_file(const file_identity &a, const file_identity &b);

// True when either file is seen through a view, where a status may be stale and numbers differ;
// not for two files of one overlay mount, which it numbers apart.
bool beside_view(const file_identity &a, const file_identity &b);

// True when the two open files may be one: they begin with the same bytes, or either cannot be
// read. Two files that hold nothing lose nothing and count as two.
bool same_leading_bytes(int a_fd, int b_fd);

// True when a and b have the same device and inode number.
bool same_inode(const struct stat &a, const struct stat &b);

#endif
