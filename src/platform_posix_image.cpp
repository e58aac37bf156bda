// POSIX side of the platform layer: the life of the two files, from their opening to the image's
// close, and what is left of the image when the run fails.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The software file as it was opened: its identity, to know it under another name or view, and
// its status, to tell whether it changed while it was read.
static file_identity software_id;

// The image that open_image opened: its status, a second descriptor that keeps it, and its lock,
// past the stream's close, and what the run did to it.
static struct stat image_st;
static int image_fd = -1;
static image_run image_facts;
// Where the run's image begins in its file: past what was there, in a file that an inherited
// descriptor appends to (">>"), else at 0. A failed run cuts the file back to it.
static bool image_appends = false;
static off_t image_base = 0;

// Times equal to the nanosecond.
static bool same_instant(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A folder opens for reading, and is refused. A regular file may refuse to seek all the same
// (securityfs): its leading block is read instead. A size says how much a regular file holds, but
// for a file that says it is empty (/proc) and a sysfs file, which says it holds a page.
std::FILE *open_software(const char *name, software_facts *facts)
{
    const int fd = open_before_changes(name, O_RDONLY | O_CLOEXEC);
    std::FILE *stream = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0)
            (void)close(fd);
        return nullptr;
    }
    skip_stream_locks(stream);
    const struct stat &st = software_id.st;
    if (!identify_open_file(fd, &software_id) || S_ISDIR(st.st_mode)) {
        (void)std::fclose(stream);
        return nullptr;
    }
    watch_descriptor(WATCHED_SOFTWARE, fd);
    const bool regular = S_ISREG(st.st_mode);
    facts->size = regular && st.st_size > 0 && !software_id.on_sysfs ? static_cast<long long>(st.st_size) : -1;
    facts->on_disk = (regular || S_ISBLK(st.st_mode)) && lseek(fd, 0, SEEK_CUR) != -1;
    return stream;
}

// A read that gives nothing is the end of a POSIX file, pipe or terminal.
int input_ended(std::FILE * /*stream*/)
{
    return 1;
}

// As careful archivers do, a file whose size or times moved while it was read is a torn copy.
int software_intact(std::FILE *p_sw_file)
{
    struct stat now{};
    if (fstat(fileno(p_sw_file), &now) != 0)
        return -1;
    // Only a regular file's size and times say whether it changed: a pipe's move as it fills.
    if (!S_ISREG(now.st_mode))
        return 0;
    const struct stat &then = software_id.st;
    const bool same = now.st_size == then.st_size && same_instant(now.st_mtim, then.st_mtim) &&
                      same_instant(now.st_ctim, then.st_ctim);
    return same ? 0 : -1;
}

// Linux gives a block device to one opener that asks for it alone, so two runs never mix one disk;
// elsewhere O_EXCL without O_CREAT means nothing sure.
#ifdef __linux__
constexpr int ALONE_ON_DEVICE = O_EXCL;
#else
constexpr int ALONE_ON_DEVICE = 0;
#endif

// Opens the image for writing without emptying it, and says whether this open created it: only a
// file the run created, or emptied, is ever removed.
static int open_for_writing(const char *name, bool block_device, bool *created)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *created = fd >= 0;
    if (fd >= 0 || errno != EEXIST)
        return fd;
    int flags = O_WRONLY | O_CLOEXEC;
    if (block_device)
        flags |= ALONE_ON_DEVICE;
    fd = open_before_changes(name, flags);
    // Missing after all: a symbolic link to a file yet to be made, or a name removed meanwhile.
    if (fd < 0 && errno == ENOENT) {
        fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        *created = fd >= 0;
    }
    return fd;
}

// Takes the lock that says this run writes the image; false when another run holds it. The lock
// covers one byte that no file can hold, the last that an offset reaches, and belongs to the open
// file, so that it stays while any descriptor of this open does. It neither collides with a
// wrapper's flock(1) nor with a program's lock on some of the file's bytes; a lock on the whole
// file covers that byte too. A FIFO takes it as a file does, so that two runs never interleave
// one reader's stream. A file system without locks still gets its image.
static bool lock_for_this_run(int fd)
{
#ifdef F_OFD_SETLK
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = std::numeric_limits<off_t>::max();
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES);
#else
    return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#endif
}

// The image is usable when it is not the software file, under any name or view, no other run is
// writing it, and the name still holds it. A regular file or a FIFO is locked and a block device
// opened for this run alone; a character device such as /dev/null is shared.
static bool usable_image(int fd, const char *name, const file_identity &before, bool alone,
                         bool created, file_identity *img)
{
    struct stat named{};
    if (fstat(fd, &img->st) != 0)
        return false;
    // A file this run created is new, whatever its size and times say. The file that the name
    // held before the open keeps the view it had then.
    if (!created) {
        if (S_ISREG(img->st.st_mode) && same_inode(img->st, before.st)) {
            const struct stat st = img->st;
            *img = before;
            img->st = st;
        } else if (!identify_open_file(fd, img)) {
            return false;
        }
        if (may_be_one(*img, software_id))
            return false;
    }
    // A name that became a disk after it was looked at was not opened for this run alone.
    if (S_ISBLK(img->st.st_mode) && !alone)
        return false;
    if ((S_ISREG(img->st.st_mode) || S_ISFIFO(img->st.st_mode)) && !lock_for_this_run(fd))
        return false;
    // A run that finished meanwhile may have removed the name this run opened.
    return stat(name, &named) == 0 && same_inode(img->st, named);
}

// Removes the name of the image held, when that name alone holds it; a file that this run created
// behind a symbolic link (one that pointed nowhere) goes by the name it resolves to. False when no
// name was removed.
static bool remove_image_name(const struct stat &held, const char *name, bool created)
{
    struct stat named{};
    if (lstat(name, &named) == 0 && same_inode(named, held) && named.st_nlink == 1)
        return unlink(name) == 0;
    char target[PATH_MAX];
    return created && S_ISLNK(named.st_mode) && realpath(name, target) != nullptr &&
           lstat(target, &named) == 0 && same_inode(named, held) && named.st_nlink == 1 &&
           unlink(target) == 0;
}

// The image is not the software file that open_software identified: not under any name or view,
// nor anything that either rests on, and beside a view, not a file that holds the software file's
// bytes. A pipe, a FIFO or a terminal is no view of a file, and holds no bytes to compare. named
// gets what the name designates now, all zero when nothing.
static bool other_than_software(const char *name, int sw_fd, file_identity *named)
{
    const int found = identify_named_file(name, named);
    if (found <= 0)
        return found == 0;
    if (may_be_one(*named, software_id))
        return false;
    const auto holds_bytes = [](const struct stat &st) { return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode); };
    if (!beside_view(*named, software_id) || !holds_bytes(named->st) || !holds_bytes(software_id.st))
        return true;
    const int img_fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const bool other = img_fd >= 0 && !same_bytes(sw_fd, img_fd);
    if (img_fd >= 0)
        (void)close(img_fd);
    return other;
}

std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    file_identity named{};
    // Checked before the open too: a lower file opened for writing through an overlay is copied up.
    if (!other_than_software(name, fileno(p_sw_file), &named))
        return nullptr;
    const bool alone = S_ISBLK(named.st.st_mode);
    bool created = false;
    const int fd = open_for_writing(name, alone, &created);
    if (fd < 0)
        return nullptr;
    file_identity img{};
    const bool usable = usable_image(fd, name, named, alone, created, &img);
    // A file that a descriptor of whoever started the run also holds (">", ">>") keeps its name,
    // and where that descriptor appends, the image goes after what the file holds.
    const int inherited = usable && S_ISREG(img.st.st_mode) ? inherited_flags(img.st, name) : NOT_INHERITED;
    image_fd = usable && inherited != CANNOT_TELL ? fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
    image_appends = inherited >= 0 && (inherited & O_APPEND) != 0;
    image_base = 0;
    std::FILE *p_img_file = image_fd >= 0 ? fdopen(fd, image_appends ? "ab" : "wb") : nullptr;
    if (p_img_file == nullptr) {
        // A file this run created is removed again, unless another run has taken it meanwhile.
        struct stat held{};
        if (created && fstat(fd, &held) == 0 && lock_for_this_run(fd))
            (void)remove_image_name(held, name, created);
        if (image_fd >= 0)
            (void)close(image_fd);
        image_fd = -1;
        (void)close(fd);
        return nullptr;
    }
    // The second descriptor shares the stream's open file, and outlives it.
    watch_descriptor(WATCHED_IMAGE, image_fd);
    skip_stream_locks(p_img_file);
    image_st = img.st;
    // Only a regular file is ever removed or emptied: never a device or a FIFO. Whether any other
    // name holds it is learnt when its name is removed.
    image_facts = {};
    image_facts.on_disk = S_ISREG(img.st.st_mode);
    image_facts.created = created;
    image_facts.one_name = inherited == NOT_INHERITED;
    return p_img_file;
}

// An empty file is not truncated: ext4 would write a truncated file back when it is closed. A file
// appended to keeps what it holds.
int empty_image(std::FILE *p_img_file)
{
    struct stat now{};
    if (image_appends) {
        if (fstat(fileno(p_img_file), &now) != 0)
            return -1;
        image_base = now.st_size;
    } else if (S_ISREG(image_st.st_mode) && image_st.st_size != 0 && ftruncate(fileno(p_img_file), 0) != 0) {
        return -1;
    }
    image_facts.emptied = true;
    return 0;
}

// Carries out what the run leaves of an image that it did not keep: its name is removed where
// that name alone holds it; elsewhere (a symbolic link to a file the run did not create, another
// hard link, a folder the user may not change, a file that an inherited descriptor holds) it is
// emptied through the descriptor still held, or cut back to what it held before an append, so
// that no partial image survives under any name. Called after the stream's close, which would
// otherwise write its buffered tail back, and while the lock is still held.
static void discard_image(const char *name)
{
    image_end end = end_of_image(image_facts);
    if (end == image_end::remove && !remove_image_name(image_st, name, image_facts.created))
        end = image_end::empty;
    if (end == image_end::empty)
        (void)ftruncate(image_fd, image_base);
}

// Writes wait in the cache for the device, which may yet refuse them (a full thin volume, a
// failing card, a stick pulled): an image on a disk or in a file is kept only once its storage
// holds it. A pipe, a FIFO or a character device has no storage to wait for.
int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    struct stat named{};
    const bool stored = S_ISBLK(image_st.st_mode) || S_ISREG(image_st.st_mode);
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    kept = kept && (!stored || fdatasync(image_fd) == 0);
    kept = std::fclose(p_img_file) == 0 && kept;
    // An image removed or moved away while it was written is not there to be used.
    kept = kept && stat(name, &named) == 0 && same_inode(named, image_st);
    if (!kept)
        discard_image(name);
    watch_descriptor(WATCHED_SOFTWARE, -1);
    watch_descriptor(WATCHED_IMAGE, -1);
    (void)close(image_fd);
    image_fd = -1;
    return kept ? 0 : -1;
}
