// POSIX side of the platform layer: the life of the two files, from their opening to the image's
// close, and what is left of the image when the run fails.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The block that the image leaves out, as main.cpp drops it.
constexpr long long LEADING_BLOCK = 128;

// The software file as it was opened: its identity, to know it under another name or view, its
// status, to tell whether it changed while it was read, and whether its size says how much it
// holds: sysfs gives its text files the size of a page.
static file_identity software_id;
static bool software_sized = false;

// The image that open_image opened: its identity, a second descriptor that keeps it, and its lock,
// past the stream's close, and what the run did to it.
static struct stat image_st;
static int image_fd = -1;
static bool image_created = false;
static bool image_emptied = false;
static bool image_removable = false;

static bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::FILE *open_software(const char *name)
{
    const int fd = open_before_changes(name, O_RDONLY | O_CLOEXEC);
    std::FILE *stream = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0)
            (void)close(fd);
        return nullptr;
    }
    skip_stream_locks(stream);
    if (!identify_open_file(fd, &software_id)) {
        (void)std::fclose(stream);
        return nullptr;
    }
    watch_descriptor(WATCHED_SOFTWARE, fd);
    software_sized = S_ISREG(software_id.st.st_mode) && !on_sysfs(fileno(stream));
    return stream;
}

// A regular file may refuse to seek all the same (securityfs): its leading block is read instead.
int is_disk_file(std::FILE *stream)
{
    struct stat st{};
    if (fstat(fileno(stream), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
        return 0;
    return lseek(fileno(stream), 0, SEEK_CUR) != -1 ? 1 : 0;
}

int is_directory(std::FILE *stream)
{
    struct stat st{};
    return fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

long long file_size(std::FILE *stream)
{
    struct stat st{};
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}

// A read that gives nothing is the end of a POSIX file, pipe or terminal.
int input_ended(std::FILE * /*stream*/)
{
    return 1;
}

// As careful archivers do, a file whose size or times moved while it was read is a torn copy.
int software_intact(std::FILE *p_sw_file, long long body_bytes)
{
    struct stat now{};
    if (fstat(fileno(p_sw_file), &now) != 0)
        return -1;
    // Only a regular file's size and times say whether it changed: a pipe's move as it fills.
    if (!S_ISREG(now.st_mode))
        return 0;
    const struct stat &then = software_id.st;
    if (now.st_size != then.st_size || !same_time(now.st_mtim, then.st_mtim) ||
        !same_time(now.st_ctim, then.st_ctim))
        return -1;
    // A file that says it is empty may have content all the same (/proc): its size is unknown.
    if (now.st_size == 0 || !software_sized)
        return 0;
    const long long body = now.st_size > LEADING_BLOCK ? now.st_size - LEADING_BLOCK : 0;
    return body_bytes == body ? 0 : -1;
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
static bool usable_image(int fd, const char *name, const file_identity &sw, bool alone,
                         bool created, file_identity *img)
{
    struct stat named{};
    // A file this run created is new, whatever its size and times say.
    if (!identify_open_file(fd, img) || (!created && one_file(*img, sw)))
        return false;
    // A name that became a disk after it was looked at was not opened for this run alone.
    if (S_ISBLK(img->st.st_mode) && !alone)
        return false;
    if ((S_ISREG(img->st.st_mode) || S_ISFIFO(img->st.st_mode)) && !lock_for_this_run(fd))
        return false;
    // A run that finished meanwhile may have removed the name this run opened.
    return stat(name, &named) == 0 && same_inode(img->st, named);
}

// Removes the name of the image that fd holds, when that name alone holds it; a file that this
// run created behind a symbolic link (one that pointed nowhere) goes by the name it resolves to.
// False when no name was removed.
static bool remove_image_name(int fd, const char *name, bool created)
{
    struct stat held{};
    struct stat named{};
    if (fstat(fd, &held) != 0)
        return false;
    if (lstat(name, &named) == 0 && same_inode(named, held) && named.st_nlink == 1)
        return unlink(name) == 0;
    char target[PATH_MAX];
    return created && S_ISLNK(named.st_mode) && realpath(name, target) != nullptr &&
           lstat(target, &named) == 0 && same_inode(named, held) && named.st_nlink == 1 &&
           unlink(target) == 0;
}

// The image is not the software file that open_software identified: not under any name or view,
// and beside a view, not a file that begins as the software file does.
// found_id gets what the name designates now, all zero when nothing.
static bool other_than_software(const char *name, int sw_fd, file_identity *found_id)
{
    const file_identity &sw = software_id;
    file_identity &named = *found_id;
    const int found = identify_named_file(name, &named);
    if (found <= 0)
        return found == 0;
    if (one_file(named, sw))
        return false;
    if (!beside_view(named, sw) || !(S_ISREG(named.st.st_mode) || S_ISBLK(named.st.st_mode)))
        return true;
    const int img_fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const bool other = img_fd >= 0 && !same_leading_bytes(sw_fd, img_fd);
    if (img_fd >= 0)
        (void)close(img_fd);
    return other;
}

std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    const file_identity &sw = software_id;
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
    const bool usable = usable_image(fd, name, sw, alone, created, &img);
    image_fd = usable ? fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
    std::FILE *p_img_file = image_fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (p_img_file == nullptr) {
        // A file this run created is removed again, unless another run has taken it meanwhile.
        if (created && lock_for_this_run(fd))
            (void)remove_image_name(fd, name, created);
        if (image_fd >= 0)
            (void)close(image_fd);
        image_fd = -1;
        (void)close(fd);
        return nullptr;
    }
    // The second descriptor shares the stream's open file, and outlives it.
    watch_descriptor(WATCHED_IMAGE, image_fd);
    skip_stream_locks(p_img_file);
    // Only a regular file is ever removed or emptied: never a device, a FIFO or standard output.
    struct stat out{};
    image_st = img.st;
    image_created = created;
    image_emptied = false;
    image_removable = S_ISREG(img.st.st_mode) &&
                      !(fstat(STDOUT_FILENO, &out) == 0 && same_inode(img.st, out));
    return p_img_file;
}

int empty_image(std::FILE *p_img_file)
{
    struct stat img{};
    if (fstat(fileno(p_img_file), &img) != 0)
        return -1;
    // An empty file is not truncated: ext4 would write a truncated file back when it is closed.
    if (S_ISREG(img.st_mode) && img.st_size != 0 && ftruncate(fileno(p_img_file), 0) != 0)
        return -1;
    image_emptied = true;
    return 0;
}

// Removes the image when its name alone holds it; where the name cannot be removed (a symbolic
// link to a file the run did not create, another hard link, a folder the user may not change)
// empties it through the descriptor still held, so that no partial image survives under any name.
// Called after the stream's close, which would otherwise write its buffered tail back, and while
// the lock is still held.
static void discard_image(const char *name)
{
    if (image_removable && !remove_image_name(image_fd, name, image_created))
        (void)ftruncate(image_fd, 0);
}

// A disk's writes wait in the cache for the device, which may yet refuse them (a full thin
// volume, a failing card): its image is kept only once the device holds it. A regular file's is
// kept once the file system has it, as cp's is.
int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    struct stat named{};
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    kept = kept && (!S_ISBLK(image_st.st_mode) || fdatasync(image_fd) == 0);
    kept = std::fclose(p_img_file) == 0 && kept;
    // An image removed or moved away while it was written is not there to be used.
    kept = kept && stat(name, &named) == 0 && same_inode(named, image_st);
    if (!kept && (image_created || image_emptied))
        discard_image(name);
    watch_descriptor(WATCHED_SOFTWARE, -1);
    watch_descriptor(WATCHED_IMAGE, -1);
    (void)close(image_fd);
    image_fd = -1;
    image_removable = false;
    return kept ? 0 : -1;
}
