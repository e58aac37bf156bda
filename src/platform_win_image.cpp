// Windows side of the platform layer: the life of the two files, from opening the software file
// to keeping or removing the image. Names reach the system through the wide calls only.
//
// An image that this run created or emptied is marked for deletion on close at once, and the mark
// is cleared only once its last byte is written: any end of the process before that (a failure,
// Ctrl-C, closing the console, a kill, a crash) closes its handle and so removes it. Where the
// image may be written but not deleted, a failed run empties it instead.
#include "platform.h"
#include "platform_win.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

// What the run owes the image it opened; the console handler reads it too.
constexpr LONG IMAGE_DISK = 1;    // a file on disk, never a device or a pipe
constexpr LONG IMAGE_CREATED = 2; // this run created it
constexpr LONG IMAGE_EMPTIED = 4; // its old content is gone
constexpr LONG IMAGE_MARKED = 8;  // its handle's close removes it
static volatile LONG image_state = 0;
static HANDLE volatile image_handle = INVALID_HANDLE_VALUE;

static HANDLE handle_of(std::FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Files on disk and pipes only: a name such as NUL, CON, AUX or nul.bin opens a device.
static bool usable_type(HANDLE file)
{
    const DWORD type = GetFileType(file);
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

// The stream over an open handle, which it then owns; nullptr, with the handle closed, when none.
static std::FILE *stream_of(HANDLE file, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE *stream = _fdopen(fd, mode);
    if (stream == nullptr)
        _close(fd);
    return stream;
}

// Others may read the software file but not write it while it is read; a file that another
// program has open for writing is not finished, and is refused. A folder does not open.
std::FILE *open_software(const char *name)
{
    wchar_t wide[PATH_UNITS];
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return nullptr;
    HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!usable_type(file)) {
        CloseHandle(file);
        return nullptr;
    }
    return stream_of(file, _O_RDONLY, "rb");
}

int is_disk_file(std::FILE *stream)
{
    return GetFileType(handle_of(stream)) == FILE_TYPE_DISK ? 1 : 0;
}

int is_directory(std::FILE *stream)
{
    struct _stat64 st{};
    return _fstat64(_fileno(stream), &st) == 0 && (st.st_mode & _S_IFDIR) != 0 ? 1 : 0;
}

long long file_size(std::FILE *stream)
{
    struct _stat64 st{};
    if (_fstat64(_fileno(stream), &st) != 0 || (st.st_mode & _S_IFREG) == 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

static bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

static bool is_software_file(HANDLE img, std::FILE *p_sw_file)
{
    BY_HANDLE_FILE_INFORMATION img_id{};
    BY_HANDLE_FILE_INFORMATION sw_id{};
    if (!GetFileInformationByHandle(img, &img_id))
        return true; // unknown: treated as the software file, which is never written
    return GetFileInformationByHandle(handle_of(p_sw_file), &sw_id) && same_file(img_id, sw_id);
}

// Sets or clears the mark that removes the file when its last handle closes.
static bool mark_for_removal(HANDLE file, bool remove)
{
    FILE_DISPOSITION_INFO dispose{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

static void add_state(LONG flags)
{
    InterlockedExchange(&image_state, image_state | flags);
}

// Opens the image without emptying it, with others denied writing or deleting it, so that no
// other run writes it meanwhile. DELETE access where it is granted, so that the handle can remove
// it; created says whether this run made it.
static HANDLE open_image_handle(const wchar_t *wide, bool *created)
{
    const DWORD wanted[] = {GENERIC_WRITE | DELETE, GENERIC_WRITE};
    for (const DWORD access : wanted) {
        HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        *created = file != INVALID_HANDLE_VALUE;
        const DWORD error = GetLastError();
        if (!*created && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS))
            file = CreateFileW(wide, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            return file;
        // A reader that does not share deleting, or a file that may be written but not deleted.
        const DWORD why = GetLastError();
        if (why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION)
            break;
    }
    return INVALID_HANDLE_VALUE;
}

std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    wchar_t wide[PATH_UNITS];
    bool created = false;
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return nullptr;
    HANDLE file = open_image_handle(wide, &created);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    // A device is left alone; it opens whatever the disposition, so it never counts as created.
    if (!usable_type(file)) {
        CloseHandle(file);
        return nullptr;
    }
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    const bool marked = disk && created && mark_for_removal(file, true);
    if (disk && is_software_file(file, p_sw_file)) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE *p_img_file = stream_of(file, _O_WRONLY, "wb");
    if (p_img_file == nullptr)
        return nullptr;
    InterlockedExchange(&image_state, (disk ? IMAGE_DISK : 0) | (disk && created ? IMAGE_CREATED : 0) |
                                          (marked ? IMAGE_MARKED : 0));
    image_handle = file;
    return p_img_file;
}

// Marked first: an end of the process between the two steps then removes what was to be emptied.
int empty_image(std::FILE *p_img_file)
{
    HANDLE file = handle_of(p_img_file);
    if ((image_state & IMAGE_DISK) == 0)
        return 0;
    if ((image_state & IMAGE_MARKED) == 0 && mark_for_removal(file, true))
        add_state(IMAGE_MARKED);
    if (!SetEndOfFile(file))
        return -1;
    add_state(IMAGE_EMPTIED);
    return 0;
}

int software_intact(std::FILE * /*p_sw_file*/, long long /*body_bytes*/)
{
    return 0;
}

// True where a failed run must empty the image itself: its close will not remove it.
static bool owes_emptying()
{
    const LONG state = image_state;
    return (state & IMAGE_DISK) != 0 && (state & IMAGE_MARKED) == 0 &&
           (state & (IMAGE_CREATED | IMAGE_EMPTIED)) != 0;
}

static void empty_by_handle(HANDLE file)
{
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        (void)SetEndOfFile(file);
}

void abandon_image()
{
    if (owes_emptying())
        empty_by_handle(image_handle);
}

// True when the name still leads to the open image: nobody renamed or replaced it meanwhile.
static bool name_holds(HANDLE file, const char *name)
{
    wchar_t wide[PATH_UNITS];
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return false;
    HANDLE named = CreateFileW(wide, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION named_id{};
    BY_HANDLE_FILE_INFORMATION file_id{};
    const bool same = GetFileInformationByHandle(named, &named_id) &&
                      GetFileInformationByHandle(file, &file_id) && same_file(named_id, file_id);
    CloseHandle(named);
    return same;
}

// Keeps a written image: the name must still hold it, and the mark is cleared after the last byte.
static bool keep_image(HANDLE file, const char *name)
{
    if ((image_state & IMAGE_DISK) == 0)
        return true;
    if (!name_holds(file, name))
        return false;
    if ((image_state & IMAGE_MARKED) == 0)
        return true;
    if (!mark_for_removal(file, false))
        return false;
    InterlockedExchange(&image_state, image_state & ~IMAGE_MARKED);
    return true;
}

// The stream's close writes back whatever it still buffers, so a failed image is dealt with
// through a handle of its own that outlives the stream.
int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    HANDLE file = handle_of(p_img_file);
    HANDLE own = nullptr;
    if ((image_state & IMAGE_DISK) != 0 &&
        !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        own = nullptr;
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0 &&
                keep_image(file, name);
    image_handle = INVALID_HANDLE_VALUE;
    if (std::fclose(p_img_file) != 0)
        kept = false;
    // A marked image goes with the last handle; the mark is set again where it was cleared.
    if (!kept && own != nullptr && (image_state & (IMAGE_CREATED | IMAGE_EMPTIED)) != 0 &&
        (image_state & IMAGE_MARKED) == 0 && !mark_for_removal(own, true))
        empty_by_handle(own);
    if (own != nullptr)
        CloseHandle(own);
    InterlockedExchange(&image_state, 0);
    return kept ? 0 : -1;
}
