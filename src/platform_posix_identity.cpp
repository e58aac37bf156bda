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

static bool name_view(const char *name, struct stat *st, long *view)
{
    struct statfs fs{};
    return statfs(name, &fs) == 0 && view_of(fs, AT_FDCWD, name, 0, st, view);
}

// The name of the file behind the loop device rdev, or a partition of one, as sysfs gives it;
// false when sysfs names none (no sysfs, in a chroot or a container).
static bool backing_name(dev_t rdev, char *path, std::size_t cap)
{
    const char *const folders[] = {"", "/.."};
    for (const char *up : folders) {
        char attribute[64];
        const int len = std::snprintf(attribute, sizeof attribute, "/sys/dev/block/%u:%u%s/loop/backing_file",
                                      major(rdev), minor(rdev), up);
        const int fd = len > 0 && static_cast<std::size_t>(len) < sizeof attribute
                           ? open(attribute, O_RDONLY | O_CLOEXEC)
                           : -1;
        if (fd < 0)
            continue;
        const ssize_t got = read(fd, path, cap - 1);
        (void)close(fd);
        if (got > 1) {
            path[got - 1] = '\0'; // the line end
            return true;
        }
    }
    return false;
}

// Asks the loop driver what lies behind the disk fd: 1 when it told, 0 when the disk is no bound
// loop device (one that is none answers that it knows no such request), -1 when it cannot be told.
static int ask_loop_driver(int fd, loop_info64 *info)
{
    if (ioctl(fd, LOOP_GET_STATUS64, info) == 0)
        return 1;
    return errno == ENXIO || errno == ENOTTY || errno == EINVAL ? 0 : -1;
}

// Follows a disk to the files behind it, a few steps at most: each loop device's file from the
// driver, and where sysfs still names it, its status and view through that name, to compare it
// across views too. A disk behind a disk is opened by that name and asked in turn; where no name
// leads to it, or the chain goes on too long, the chain cannot be told. False then.
static bool follow_loop_chain(int fd, dev_t rdev, file_identity *id)
{
    int at = fd;
    bool told = true;
    for (int step = 0; told; ++step) {
        loop_info64 info{};
        const int asked = ask_loop_driver(at, &info);
        if (asked <= 0 || step == MAX_BACKING) {
            told = asked == 0;
            break;
        }
        struct stat &file = id->backing[step];
        file = {};
        file.st_dev = static_cast<dev_t>(info.lo_device);
        file.st_ino = static_cast<ino_t>(info.lo_inode);
        file.st_mode = info.lo_rdevice != 0 ? S_IFBLK : 0;
        file.st_rdev = static_cast<dev_t>(info.lo_rdevice);
        id->backing_view[step] = UNKNOWN_VIEW;
        id->backing_count = step + 1;
        char path[PATH_MAX + 1];
        struct stat named{};
        // A name that holds another file now (the file was removed, or a mount covers it) says
        // nothing: the file is then known by its numbers alone, which no view shows.
        const bool by_name = backing_name(rdev, path, sizeof path) && stat(path, &named) == 0 &&
                             same_inode(named, file);
        if (by_name) {
            file = named;
            told = name_view(path, &file, &id->backing_view[step]);
        }
        if (!told || info.lo_rdevice == 0)
            break;
        if (at != fd)
            (void)close(at);
        at = by_name ? open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
        rdev = static_cast<dev_t>(info.lo_rdevice);
        told = at >= 0;
    }
    if (at != fd && at >= 0)
        (void)close(at);
    return told;
}
#else
constexpr long OVERLAY = -1;

static bool fd_view(int /*fd*/, file_identity *id)
{
    id->view = NO_VIEW;
    return true;
}

static bool name_view(const char * /*name*/, struct stat * /*st*/, long *view)
{
    *view = NO_VIEW;
    return true;
}

static bool follow_loop_chain(int /*fd*/, dev_t /*rdev*/, file_identity * /*id*/)
{
    return true;
}
#endif

bool identify_open_file(int fd, file_identity *id)
{
    *id = {};
    return fstat(fd, &id->st) == 0 && fd_view(fd, id) &&
           (!S_ISBLK(id->st.st_mode) || follow_loop_chain(fd, id->st.st_rdev, id));
}

int identify_named_file(const char *name, file_identity *id)
{
    *id = {};
    if (stat(name, &id->st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    return name_view(name, &id->st, &id->view) ? 1 : -1;
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
    if (same_inode(a, b))
        return true;
    // A view numbers its files its own way, so a file known only by its numbers may be any of them.
    if ((a_view == UNKNOWN_VIEW && b_view != NO_VIEW) || (b_view == UNKNOWN_VIEW && a_view != NO_VIEW))
        return true;
    // Two nodes of one disk.
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev)
        return true;
    if (a_view == NO_VIEW && b_view == NO_VIEW)
        return false;
    // One overlay numbers its own files apart: two files made within one clock tick stay two.
    if (a_view == OVERLAY && b_view == OVERLAY && a.st_dev == b.st_dev)
        return false;
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
           same_view_mtime(a.st_mtim, b.st_mtim);
}

bool one_file(const file_identity &a, const file_identity &b)
{
    for (int i = -1; i < a.backing_count; ++i) {
        const struct stat &a_file = i < 0 ? a.st : a.backing[i];
        const long a_view = i < 0 ? a.view : a.backing_view[i];
        for (int j = -1; j < b.backing_count; ++j) {
            if (one_of(a_file, a_view, j < 0 ? b.st : b.backing[j], j < 0 ? b.view : b.backing_view[j]))
                return true;
        }
    }
    return false;
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
        for (int i = 0; i < id->backing_count; ++i) {
            if (id->backing_view[i] != NO_VIEW)
                return true;
        }
    }
    return false;
}

// A view may show a status that its file has not had for a while (a view on a view, each keeping
// what it was told), so that beside a view neither size nor times prove two files apart. Their
// content does: a file and its view begin with the same bytes.
bool same_leading_bytes(int a_fd, int b_fd)
{
    char a_bytes[4096];
    char b_bytes[sizeof a_bytes];
    const ssize_t a_got = pread(a_fd, a_bytes, sizeof a_bytes, 0);
    const ssize_t b_got = pread(b_fd, b_bytes, sizeof b_bytes, 0);
    if (a_got < 0 || b_got < 0)
        return true;
    return a_got == b_got && a_got > 0 && std::memcmp(a_bytes, b_bytes, static_cast<std::size_t>(a_got)) == 0;
}
