// POSIX side of the platform layer: whether two names are one file, under any name or view. A
// device and inode number say so on one file system; an overlay or FUSE view shows another file
// system's file under other numbers, and a loop device shows a file as a disk.
#include "platform_posix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#endif

bool same_inode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#ifdef __linux__
constexpr long OVERLAY = OVERLAYFS_SUPER_MAGIC;

// The view that shows a file, from its file system's type, or NO_VIEW. FUSE keeps a file's status
// for a while (a second by default), so that a change made to the file beside the view does not
// show in it yet: a FUSE file is asked for its status afresh. False when either cannot be read.
static bool view_of(const struct statfs &fs, int dir_fd, const char *name, int flags,
                    struct stat *st, long *view)
{
    const long type = static_cast<long>(fs.f_type);
    *view = type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC ? type : NO_VIEW;
    if (*view != FUSE_SUPER_MAGIC)
        return true;
    struct statx fresh{};
    if (statx(dir_fd, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &fresh) != 0)
        return false;
    st->st_ino = static_cast<ino_t>(fresh.stx_ino);
    st->st_size = static_cast<off_t>(fresh.stx_size);
    st->st_mtim = {fresh.stx_mtime.tv_sec, static_cast<long>(fresh.stx_mtime.tv_nsec)};
    st->st_ctim = {fresh.stx_ctime.tv_sec, static_cast<long>(fresh.stx_ctime.tv_nsec)};
    return true;
}

static bool fd_view(int fd, file_identity *id)
{
    struct statfs fs{};
    if (fstatfs(fd, &fs) != 0)
        return false;
    id->on_sysfs = fs.f_type == SYSFS_MAGIC;
    return view_of(fs, fd, "", AT_EMPTY_PATH, &id->st, &id->view);
}

// The view of the file that name designates, whose status st holds.
static bool view_at(const char *name, struct stat *st, long *view)
{
    struct statfs fs{};
    return statfs(name, &fs) == 0 && view_of(fs, AT_FDCWD, name, 0, st, view);
}

// Asks the loop driver what lies behind the disk fd: 1 when it told, 0 when the disk is no bound
// loop device (one that is none answers that it knows no such request), -1 when it cannot be told.
static int ask_loop_driver(int fd, loop_info64 *info)
{
    if (ioctl(fd, LOOP_GET_STATUS64, info) == 0)
        return 1;
    return errno == ENXIO || errno == ENOTTY || errno == EINVAL ? 0 : -1;
}

// Adds the file behind the loop device fd as the loop driver knows it, by its numbers, where no
// name that sysfs gives leads to it (the file was removed, or a mount covers its name): any view
// may then show it. False when the driver cannot be asked.
static bool add_loop_numbers(int fd, node_set *shows)
{
    loop_info64 info{};
    const int asked = ask_loop_driver(fd, &info);
    if (asked <= 0)
        return asked == 0;
    struct stat file{};
    file.st_dev = static_cast<dev_t>(info.lo_device);
    file.st_ino = static_cast<ino_t>(info.lo_inode);
    for (int i = 0; i < shows->count; ++i) {
        if (same_inode(shows->nodes[i].st, file))
            return true;
    }
    return add_node(shows, file, UNKNOWN_VIEW);
}
#else
constexpr long OVERLAY = -1;

static bool fd_view(int /*fd*/, file_identity *id)
{
    id->view = NO_VIEW;
    return true;
}

static bool view_at(const char * /*name*/, struct stat * /*st*/, long *view)
{
    *view = NO_VIEW;
    return true;
}

static bool add_loop_numbers(int /*fd*/, node_set * /*shows*/)
{
    return true;
}
#endif

bool name_view(const char *name, struct stat *st, long *view)
{
    return stat(name, st) == 0 && view_at(name, st, view);
}

// Walks what shows a disk's bytes and what the file's file system rests on. A disk's own stack
// that cannot be read may show any file; what a file system rests on matters only to a disk or a
// file elsewhere (may_be_one).
static void walk_stacks(file_identity *id)
{
    if (S_ISBLK(id->st.st_mode))
        walk_disk(SYSFS_ROOT, id->st.st_rdev, false, &id->shows);
    walk_disk(SYSFS_ROOT, id->st.st_dev, true, &id->rests_on);
}

bool identify_open_file(int fd, file_identity *id)
{
    *id = {};
    if (fstat(fd, &id->st) != 0 || !fd_view(fd, id))
        return false;
    walk_stacks(id);
    if (S_ISBLK(id->st.st_mode) && !add_loop_numbers(fd, &id->shows))
        id->shows.unknown = true;
    return true;
}

int identify_named_file(const char *name, file_identity *id)
{
    *id = {};
    if (stat(name, &id->st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    if (!view_at(name, &id->st, &id->view))
        return -1;
    walk_stacks(id);
    return 1;
}

// A view's modification time: whole seconds where the view keeps no more (sshfs).
static bool same_view_mtime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && (a.tv_nsec == b.tv_nsec || a.tv_nsec == 0 || b.tv_nsec == 0);
}

// One file when device and inode say so, or, seen through an overlay or FUSE view, which passes
// size and mtime on but numbers its files its own way, when size and mtime agree. The ctime says
// nothing there: an overlay with metacopy shows the ctime of a copied-up stub over the lower
// file's data, and a FUSE view may make its own. A copy that kept the mtime (cp -p) is refused too,
// which loses nothing; taking a view for a copy would empty the software file.
static bool one_of(const struct stat &a, long a_view, const struct stat &b, long b_view)
{
    // Two disks, or two nodes of one disk.
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode))
        return a.st_rdev == b.st_rdev;
    if (same_inode(a, b))
        return true;
    // A view numbers its files its own way, so a file known only by its numbers may be any of them.
    if ((a_view == UNKNOWN_VIEW && b_view != NO_VIEW) || (b_view == UNKNOWN_VIEW && a_view != NO_VIEW))
        return true;
    if (a_view == NO_VIEW && b_view == NO_VIEW)
        return false;
    // One overlay numbers its own files apart: two files made within one clock tick stay two.
    if (a_view == OVERLAY && b_view == OVERLAY && a.st_dev == b.st_dev)
        return false;
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
           same_view_mtime(a.st_mtim, b.st_mtim);
}

// A file that a file system may rest on: a disk, or a file that lies elsewhere (a file cannot hold
// the disk that holds it).
static bool may_hold_file_system(const file_identity &under, const file_identity &over)
{
    return S_ISBLK(under.st.st_mode) || (S_ISREG(under.st.st_mode) && under.st.st_dev != over.st.st_dev);
}

static bool meets(const file_node &node, const node_set &set)
{
    for (int i = 0; i < set.count; ++i) {
        if (one_of(node.st, node.view, set.nodes[i].st, set.nodes[i].view))
            return true;
    }
    return false;
}

// True when what shows a's bytes meets what shows b's or what b rests on.
static bool shows_under(const file_identity &a, const file_identity &b)
{
    if (a.shows.unknown || (b.rests_on.unknown && may_hold_file_system(a, b)))
        return true;
    for (int i = -1; i < a.shows.count; ++i) {
        const file_node &node = i < 0 ? file_node{a.st, a.view} : a.shows.nodes[i];
        if (one_of(node.st, node.view, b.st, b.view) || meets(node, b.shows) || meets(node, b.rests_on))
            return true;
    }
    return false;
}

bool may_be_one(const file_identity &a, const file_identity &b)
{
    return shows_under(a, b) || shows_under(b, a);
}

bool beside_view(const file_identity &a, const file_identity &b)
{
    // One overlay numbers its own files apart.
    if (a.view == OVERLAY && b.view == OVERLAY && a.st.st_dev == b.st.st_dev)
        return false;
    const file_identity *const both[] = {&a, &b};
    for (const file_identity *id : both) {
        if (id->view != NO_VIEW)
            return true;
        for (int i = 0; i < id->shows.count; ++i) {
            if (id->shows.nodes[i].view != NO_VIEW)
                return true;
        }
    }
    return false;
}

// A view may show a status that its file has not had for a while (a view on a view, each keeping
// what it was told), so that beside a view neither size nor times prove two files apart. Their
// content does: a file and its view hold the same bytes. The first 4 KiB tell most files apart; a
// start that repeats (erased flash, zeros) is read on to the shorter file's end.
bool same_bytes(int a_fd, int b_fd)
{
    char a_bytes[4096];
    char b_bytes[sizeof a_bytes];
    for (off_t at = 0;;) {
        const ssize_t a_got = pread(a_fd, a_bytes, sizeof a_bytes, at);
        const ssize_t b_got = pread(b_fd, b_bytes, sizeof b_bytes, at);
        if (a_got < 0 || b_got < 0)
            return true;
        const ssize_t got = a_got < b_got ? a_got : b_got;
        if (got == 0)
            return at > 0;
        if (std::memcmp(a_bytes, b_bytes, static_cast<std::size_t>(got)) != 0)
            return false;
        at += got;
    }
}
