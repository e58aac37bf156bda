// POSIX side of the platform layer: the life of the two files, from their opening to the image's
// close, and what is left of the image when the run fails.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

// The block that the image leaves out, as main.cpp drops it.
constexpr long long LEADING_BLOCK = 128;

// The software file as it was opened, to tell whether it changed while it was read, and whether
// its size says how much it holds: sysfs gives its text files the size of a page.
static struct stat software_st;
static bool software_sized = false;

// The image that open_image opened: its identity, a second descriptor that keeps it, and its lock,
// past the stream's close, and what the run did to it.
static struct stat image_st;
static int image_fd = -1;
static bool image_created = false;
static bool image_emptied = false;
static bool image_removable = false;

static bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

#ifdef __linux__
constexpr long OVERLAY_MAGIC = 0x794c7630;
constexpr long SYSFS_MAGIC = 0x62656572;

static long fd_fs_type(int fd)
{
    struct statfs fs{};
    return fstatfs(fd, &fs) == 0 ? static_cast<long>(fs.f_type) : 0;
}

static long name_fs_type(const char *name)
{
    struct statfs fs{};
    return statfs(name, &fs) == 0 ? static_cast<long>(fs.f_type) : 0;
}
#else
constexpr long OVERLAY_MAGIC = -1;
constexpr long SYSFS_MAGIC = -1;

static long fd_fs_type(int /*fd*/)
{
    return 0;
}

static long name_fs_type(const char * /*name*/)
{
    return 0;
}
#endif

// An overlay shows a lower file under the overlay's device number with the lower inode number, so
// the file seen through the overlay and the file itself differ by device alone.
static bool overlay_twins(const struct stat &a, bool a_on_overlay, const struct stat &b,
                          bool b_on_overlay)
{
    return (a_on_overlay || b_on_overlay) && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           same_time(a.st_mtim, b.st_mtim);
}

std::FILE *open_software(const char *name)
{
    std::FILE *stream = std::fopen(name, "rb");
    if (stream == nullptr)
        return nullptr;
    skip_stream_locks(stream);
    if (fstat(fileno(stream), &software_st) != 0) {
        (void)std::fclose(stream);
        return nullptr;
    }
    software_sized = S_ISREG(software_st.st_mode) && fd_fs_type(fileno(stream)) != SYSFS_MAGIC;
    return stream;
}

int is_disk_file(std::FILE *stream)
{
    struct stat st{};
    return fstat(fileno(stream), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) ? 1 : 0;
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

// As careful archivers do, a file whose size or times moved while it was read is a torn copy.
int software_intact(std::FILE *p_sw_file, long long body_bytes)
{
    struct stat now{};
    if (fstat(fileno(p_sw_file), &now) != 0)
        return -1;
    // Only a regular file's size and times say whether it changed: a pipe's move as it fills.
    if (!S_ISREG(now.st_mode))
        return 0;
    if (now.st_size != software_st.st_size || !same_time(now.st_mtim, software_st.st_mtim) ||
        !same_time(now.st_ctim, software_st.st_ctim))
        return -1;
    // A file that says it is empty may have content all the same (/proc): its size is unknown.
    if (now.st_size == 0 || !software_sized)
        return 0;
    const long long body = now.st_size > LEADING_BLOCK ? now.st_size - LEADING_BLOCK : 0;
    return body_bytes == body ? 0 : -1;
}

// Opens the image for writing without emptying it, and says whether this open created it: only a
// file the run created, or emptied, is ever removed.
static int open_for_writing(const char *name, bool *created)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *created = fd >= 0;
    if (fd >= 0 || errno != EEXIST)
        return fd;
    fd = open(name, O_WRONLY | O_CLOEXEC);
    // Missing after all: a symbolic link to a file yet to be made, or a name removed meanwhile.
    if (fd < 0 && errno == ENOENT)
        fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    return fd;
}

// The image is usable when it is not the software file, under any name, no other run is writing
// it, and the name still holds it. A regular file is locked; a device such as /dev/null is shared.
static bool usable_image(int fd, const char *name, const struct stat &sw, bool sw_on_overlay,
                         struct stat *img, bool *locked)
{
    struct stat named{};
    if (fstat(fd, img) != 0 || same_file(*img, sw) ||
        overlay_twins(*img, fd_fs_type(fd) == OVERLAY_MAGIC, sw, sw_on_overlay))
        return false;
    // A file system without locks still gets its image.
    *locked = S_ISREG(img->st_mode) && (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK);
    if (S_ISREG(img->st_mode) && !*locked)
        return false;
    // A run that finished meanwhile may have removed the name this run opened.
    return stat(name, &named) == 0 && same_file(*img, named);
}

std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    struct stat sw{};
    struct stat named{};
    const int sw_fd = fileno(p_sw_file);
    if (fstat(sw_fd, &sw) != 0)
        return nullptr;
    const bool sw_on_overlay = fd_fs_type(sw_fd) == OVERLAY_MAGIC;
    // Checked before the open too: a lower file opened for writing through an overlay is copied up.
    if (stat(name, &named) == 0 &&
        (same_file(named, sw) ||
         overlay_twins(named, name_fs_type(name) == OVERLAY_MAGIC, sw, sw_on_overlay)))
        return nullptr;
    bool created = false;
    const int fd = open_for_writing(name, &created);
    if (fd < 0)
        return nullptr;
    struct stat img{};
    bool locked = false;
    const bool usable = usable_image(fd, name, sw, sw_on_overlay, &img, &locked);
    image_fd = usable ? fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : -1;
    std::FILE *p_img_file = image_fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (p_img_file == nullptr) {
        // A file this run created is removed again, unless another run has taken it meanwhile.
        if (created && locked && lstat(name, &named) == 0 && same_file(img, named))
            (void)unlink(name);
        if (image_fd >= 0)
            (void)close(image_fd);
        image_fd = -1;
        (void)close(fd);
        return nullptr;
    }
    skip_stream_locks(p_img_file);
    // Only a regular file is ever removed or emptied: never a device, a FIFO or standard output.
    struct stat out{};
    image_st = img;
    image_created = created;
    image_emptied = false;
    image_removable =
        S_ISREG(img.st_mode) && !(fstat(STDOUT_FILENO, &out) == 0 && same_file(img, out));
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
// link, another hard link, a folder the user may not change) empties it through the descriptor
// still held, so that no partial image survives under any name. Called after the stream's close,
// which would otherwise write its buffered tail back, and while the lock is still held.
static void discard_image(const char *name)
{
    struct stat named{};
    if (!image_removable)
        return;
    if (lstat(name, &named) == 0 && same_file(named, image_st) && named.st_nlink == 1 &&
        unlink(name) == 0)
        return;
    (void)ftruncate(image_fd, 0);
}

int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    struct stat named{};
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    kept = std::fclose(p_img_file) == 0 && kept;
    // An image removed or moved away while it was written is not there to be used.
    kept = kept && stat(name, &named) == 0 && same_file(named, image_st);
    if (!kept && (image_created || image_emptied))
        discard_image(name);
    (void)close(image_fd);
    image_fd = -1;
    image_removable = false;
    return kept ? 0 : -1;
}
