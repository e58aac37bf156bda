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

// The status flags of a descriptor that the run inherited on the file st: standard input, output
// or error, or the descriptor that a name such as /dev/fd/3 leads to; NOT_INHERITED when none
// holds it, CANNOT_TELL when a descriptor's status or flags cannot be read.
constexpr int NOT_INHERITED = -1;
constexpr int CANNOT_TELL = -2;
int inherited_flags(const struct stat &st, const char *name);

// Tells the C library that the tool's one thread does the stream's locking, where it can be told:
// otherwise every fread and fwrite takes and gives back the stream's lock.
void skip_stream_locks(std::FILE *stream);

// One thing that shows a file's bytes or that a file system rests on: a file, with the view that
// shows it (an overlay's or FUSE's magic number, or NO_VIEW), or a disk (S_IFBLK, its number in
// st_rdev, no inode of its own).
struct file_node {
    struct stat st;
    long view;
};
constexpr long NO_VIEW = 0;
// The view of a loop device's file that no name leads to now: any view may show it.
constexpr long UNKNOWN_VIEW = -2;

// A bounded set of such things, and whether it is known whole.
constexpr int MAX_NODES = 16;
struct node_set {
    int count;
    bool unknown; // a walk could not be read, or went past MAX_NODES
    file_node nodes[MAX_NODES];
};

// What tells a file from another: its status and view, what else shows its bytes (for a disk, the
// disks and files of its stack), and what its file system rests on (that disk and its stack, down
// to the files behind loop devices and the disks those rest on in turn).
struct file_identity {
    struct stat st;
    long view;
    bool on_sysfs; // its size says nothing of its content: sysfs gives a page
    node_set shows;    // besides the file itself
    node_set rests_on;
};

// Adds a node to set; false, with the set marked unknown, when it is full.
bool add_node(node_set *set, const struct stat &st, long view);

// The status and view of the file that name designates; false when either cannot be read.
bool name_view(const char *name, struct stat *st, long *view);

// The root that the kernel's view of block devices is read from.
constexpr char SYSFS_ROOT[] = "/sys";

// Adds the disk dev to set, with what it rests on as sysfs below root publishes it: a partition's
// disk, the disks under a device-mapper or md device, the file behind a loop device. With
// beneath_files, the disk that holds each such file is walked too. A walk that cannot be read or
// grows past the set's bound marks the set unknown.
void walk_disk(const char *root, dev_t dev, bool beneath_files, node_set *set);

// Identifies the open file fd; false when its status or view cannot be read.
bool identify_open_file(int fd, file_identity *id);

// Identifies the file that name designates now, without opening it: 1 when there is one, 0 when
// there is none, -1 when it cannot be told.
int identify_named_file(const char *name, file_identity *id);

// True when a and b may be one file: what shows either's bytes meets what shows the other's or
// what the other rests on, under any name or view. Two files on one disk are two; a stack that
// cannot be read may be anything.
bool may_be_one(const file_identity &a, const file_identity &b);

// True when either file is seen through a view, where a status may be stale and numbers differ;
// not for two files of one overlay mount, which it numbers apart.
bool beside_view(const file_identity &a, const file_identity &b);

// True when the two open files may be one: they hold the same bytes over the shorter length, or
// either cannot be read. Two files that hold nothing lose nothing and count as two.
bool same_bytes(int a_fd, int b_fd);

// True when a and b have the same device and inode number.
bool same_inode(const struct stat &a, const struct stat &b);

#endif
