// POSIX side of the platform layer: whether two names are one file, under any name or view. A
// device and inode number say so on one file system; an overlay or FUSE view shows another file
// system's file under other numbers, and a loop device shows a file as a disk.
#include "platform_posix.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/loop.h>
#include <linux/magic.h>
#include <linux/major.h>
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

static long view_of(long fs_type)
{
    return fs_type == OVERLAYFS_SUPER_MAGIC || fs_type == FUSE_SUPER_MAGIC ? fs_type : NO_VIEW;
}

bool on_sysfs(int fd)
{
    struct statfs fs{};
    return fstatfs(fd, &fs) == 0 && fs.f_type == SYSFS_MAGIC;
}

// FUSE keeps a file's status for a while (a second by default), so that a change made to the file
// beside the view does not show in it yet: a FUSE file is asked for its status afresh.
static void refresh(long view, int dir_fd, const char *name, int flags, struct stat *st)
{
    struct statx fresh{};
    if (view != FUSE_SUPER_MAGIC ||
        statx(dir_fd, name, flags | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &fresh) != 0)
        return;
    st->st_ino = static_cast<ino_t>(fresh.stx_ino);
    st->st_size = static_cast<off_t>(fresh.stx_size);
    st->st_mtim = {fresh.stx_mtime.tv_sec, static_cast<long>(fresh.stx_mtime.tv_nsec)};
    st->st_ctim = {fresh.stx_ctime.tv_sec, static_cast<long>(fresh.stx_ctime.tv_nsec)};
}

// The view that shows the open file, or NO_VIEW; st gets the file's status as the view has it now.
static long fd_view(int fd, struct stat *st)
{
    struct statfs fs{};
    const long view = fstatfs(fd, &fs) == 0 ? view_of(static_cast<long>(fs.f_type)) : NO_VIEW;
    refresh(view, fd, "", AT_EMPTY_PATH, st);
    return view;
}

static long name_view(const char *name, struct stat *st)
{
    struct statfs fs{};
    const long view = statfs(name, &fs) == 0 ? view_of(static_cast<long>(fs.f_type)) : NO_VIEW;
    refresh(view, AT_FDCWD, name, 0, st);
    return view;
}

// A loop device, or a partition of one, whose sysfs folder (the disk's, for a partition) has the
// loop attributes; without sysfs, the loop driver's own device number.
static bool is_loop_device(dev_t rdev, char *attribute, std::size_t cap)
{
    const unsigned dev_major = major(rdev);
    const unsigned dev_minor = minor(rdev);
    const char *const folders[] = {"", "/.."};
    for (const char *up : folders) {
        const int len = std::snprintf(attribute, cap, "/sys/dev/block/%u:%u%s/loop/backing_file",
                                      dev_major, dev_minor, up);
        if (len > 0 && static_cast<std::size_t>(len) < cap && access(attribute, F_OK) == 0)
            return true;
    }
    attribute[0] = '\0';
    return dev_major == LOOP_MAJOR;
}

// The file behind a loop device: its device and inode from the driver, and where sysfs still names
// it, its status seen through that name, to compare it across views too.
static bool loop_backing(int fd, const struct stat &st, struct stat *backing, long *view)
{
    char attribute[64];
    if (!S_ISBLK(st.st_mode) || !is_loop_device(st.st_rdev, attribute, sizeof attribute))
        return false;
    struct loop_info64 info{};
    // An unbound loop device shows no file.
    if (ioctl(fd, LOOP_GET_STATUS64, &info) != 0)
        return false;
    *backing = {};
    backing->st_dev = static_cast<dev_t>(info.lo_device);
    backing->st_ino = static_cast<ino_t>(info.lo_inode);
    *view = NO_VIEW;
    char path[PATH_MAX + 1];
    const int attr_fd = attribute[0] != '\0' ? open(attribute, O_RDONLY | O_CLOEXEC) : -1;
    const ssize_t got = attr_fd >= 0 ? read(attr_fd, path, PATH_MAX) : -1;
    if (attr_fd >= 0)
        (void)close(attr_fd);
    if (got <= 1)
        return true;
    path[got - 1] = '\0'; // the line end
    struct stat named{};
    // A name that holds another file now (the backing file was renamed or removed) says nothing.
    if (stat(path, &named) == 0 && same_inode(named, *backing)) {
        *backing = named;
        *view = name_view(path, backing);
    }
    return true;
}
#else
bool on_sysfs(int /*fd*/)
{
    return false;
}

constexpr long OVERLAY = -1;

static long fd_view(int /*fd*/, struct stat * /*st*/)
{
    return NO_VIEW;
}

static long name_view(const char * /*name*/, struct stat * /*st*/)
{
    return NO_VIEW;
}

static bool loop_backing(int /*fd*/, const struct stat & /*st*/, struct stat * /*backing*/,
                         long * /*view*/)
{
    return false;
}
#endif

bool identify_open_file(int fd, file_identity *id)
{
    *id = {};
    if (fstat(fd, &id->st) != 0)
        return false;
    id->view = fd_view(fd, &id->st);
    id->has_backing = loop_backing(fd, id->st, &id->backing, &id->backing_view);
    return true;
}

bool identify_named_file(const char *name, file_identity *id)
{
    *id = {};
    if (stat(name, &id->st) != 0)
        return false;
    id->view = name_view(name, &id->st);
    return true;
}

// A view's modification time: whole seconds where the view keeps no more (sshfs).
static bool same_mtime(const timespec &a, const timespec &b)
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
    // Two nodes of one disk.
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev)
        return true;
    if (a_view == NO_VIEW && b_view == NO_VIEW)
        return false;
    // One overlay numbers its own files apart: two files made within one clock tick stay two.
    if (a_view == OVERLAY && b_view == OVERLAY && a.st_dev == b.st_dev)
        return false;
    return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_size == b.st_size &&
           same_mtime(a.st_mtim, b.st_mtim);
}

bool one_file(const file_identity &a, const file_identity &b)
{
    if (one_of(a.st, a.view, b.st, b.view))
        return true;
    if (a.has_backing && one_of(a.backing, a.backing_view, b.st, b.view))
        return true;
    if (b.has_backing && one_of(a.st, a.view, b.backing, b.backing_view))
        return true;
    return a.has_backing && b.has_backing && one_of(a.backing, a.backing_view, b.backing, b.backing_view);
}
