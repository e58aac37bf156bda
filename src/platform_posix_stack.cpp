// POSIX side of the platform layer: what a disk rests on, walked from what Linux publishes in
// sysfs: /sys/dev/block/MAJ:MIN for each disk, with a partition's disk above it, the disks under a
// device-mapper or md device in slaves/, and a loop device's file in loop/backing_file.
#include "platform_posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <climits>
#include <dirent.h>
#include <sys/sysmacros.h>
#endif

static bool holds_disk(const node_set &set, dev_t dev)
{
    for (int i = 0; i < set.count; ++i) {
        if (S_ISBLK(set.nodes[i].st.st_mode) && set.nodes[i].st.st_ino == 0 && set.nodes[i].st.st_rdev == dev)
            return true;
    }
    return false;
}

bool add_node(node_set *set, const struct stat &st, long view)
{
    if (set->count == MAX_NODES) {
        set->unknown = true;
        return false;
    }
    set->nodes[set->count++] = {st, view};
    return true;
}

#ifdef __linux__
// Reads the small attribute at name below dir into text, without its line end; false when it
// cannot be read or is empty.
static bool read_attribute(int dir, const char *name, char *text, std::size_t cap)
{
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, text, cap - 1);
    (void)close(fd);
    if (got <= 0) {
        errno = EIO;
        return false;
    }
    text[got] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return text[0] != '\0';
}

// The disk number that the attribute "dev" ("MAJ:MIN") below dir gives; false when none.
static bool read_dev(int dir, const char *name, dev_t *dev)
{
    char text[32];
    char *end = nullptr;
    if (!read_attribute(dir, name, text, sizeof text))
        return false;
    const unsigned long maj = std::strtoul(text, &end, 10);
    if (*end != ':')
        return false;
    const unsigned long min = std::strtoul(end + 1, &end, 10);
    *dev = makedev(static_cast<unsigned>(maj), static_cast<unsigned>(min));
    return *end == '\0';
}

// The disks of the slaves folder below dir, each pushed onto the walk's list.
static bool push_slaves(int dir, dev_t *todo, int *pending)
{
    const int fd = openat(dir, "slaves", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    alignas(8) char entries[4096];
    bool read_whole = true;
    for (ssize_t got = 0; read_whole && (got = getdents64(fd, entries, sizeof entries)) != 0;) {
        read_whole = got > 0;
        for (ssize_t at = 0; read_whole && at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] == '.')
                continue;
            char attribute[NAME_MAX + 8];
            (void)std::snprintf(attribute, sizeof attribute, "%s/dev", entry->d_name);
            read_whole = *pending < MAX_NODES && read_dev(fd, attribute, &todo[*pending]);
            *pending += read_whole ? 1 : 0;
        }
    }
    (void)close(fd);
    return read_whole;
}

// Adds the file behind the loop device whose sysfs folder is dir, if it is one; a name that leads
// nowhere now (the file was removed) cannot be told. The file's own disk, or the disk it is,
// goes onto the walk's list.
static bool add_loop_file(int dir, bool beneath_files, node_set *set, dev_t *todo, int *pending)
{
    char name[PATH_MAX + 1];
    if (!read_attribute(dir, "loop/backing_file", name, sizeof name))
        return errno == ENOENT;
    struct stat st{};
    long view = NO_VIEW;
    if (!name_view(name, &st, &view) || !add_node(set, st, view) || *pending == MAX_NODES)
        return false;
    if (S_ISBLK(st.st_mode))
        todo[(*pending)++] = st.st_rdev;
    else if (beneath_files)
        todo[(*pending)++] = st.st_dev;
    return true;
}

void walk_disk(const char *root, dev_t dev, bool beneath_files, node_set *set)
{
    dev_t todo[MAX_NODES];
    int pending = 0;
    todo[pending++] = dev;
    while (pending > 0 && !set->unknown) {
        const dev_t disk = todo[--pending];
        // A file system of no disk (tmpfs, an overlay, NFS) has a number of major 0.
        if (major(disk) == 0 || holds_disk(*set, disk))
            continue;
        struct stat st{};
        st.st_mode = S_IFBLK;
        st.st_rdev = disk;
        char folder[PATH_MAX];
        const int len = std::snprintf(folder, sizeof folder, "%s/dev/block/%u:%u", root, major(disk), minor(disk));
        const int dir = len > 0 && static_cast<std::size_t>(len) < sizeof folder && add_node(set, st, NO_VIEW)
                            ? open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                            : -1;
        // A partition is part of the disk that holds it.
        const bool partition = dir >= 0 && faccessat(dir, "partition", F_OK, 0) == 0;
        const bool read_whole = dir >= 0 && (!partition || (pending < MAX_NODES && read_dev(dir, "../dev", &todo[pending++]))) &&
                                push_slaves(dir, todo, &pending) && add_loop_file(dir, beneath_files, set, todo, &pending);
        if (dir >= 0)
            (void)close(dir);
        set->unknown = set->unknown || !read_whole;
    }
}
#else
void walk_disk(const char * /*root*/, dev_t /*dev*/, bool /*beneath_files*/, node_set * /*set*/)
{
}
#endif
