// Windows side of the platform layer: the life of the two files, from opening the software file
// to keeping or removing the image. Names reach the system through the wide calls only.
#include "platform.h"
#include "platform_win.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstring>

// The image that open_image opened, kept ready for removal.
static BY_HANDLE_FILE_INFORMATION image_id;
static bool image_removable = false;

std::FILE *open_software(const char *name)
{
    wchar_t wide[PATH_UNITS];
    return wide_path(name, wide, PATH_UNITS) == 0 ? _wfopen(wide, L"rb") : nullptr;
}

int is_disk_file(std::FILE *stream)
{
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_DISK ? 1 : 0;
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

static HANDLE handle_of(std::FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

static bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Opened without emptying and with others denied writing, so that a busy image or the software
// file itself is left as it was, and no other run writes the image meanwhile.
std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    wchar_t wide[PATH_UNITS];
    if (wide_path(name, wide, PATH_UNITS) != 0)
        return nullptr;
    HANDLE file = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    BY_HANDLE_FILE_INFORMATION img{};
    BY_HANDLE_FILE_INFORMATION sw{};
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    bool usable = !disk || (GetFileInformationByHandle(file, &img) &&
                            !(GetFileInformationByHandle(handle_of(p_sw_file), &sw) && same_file(img, sw)));
    const int fd = usable ? _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE *p_img_file = _fdopen(fd, "wb");
    if (p_img_file == nullptr) {
        _close(fd);
        return nullptr;
    }
    // Only a file on disk is ever removed: never a device or a pipe.
    image_id = img;
    image_removable = disk;
    InterlockedExchange(&image_open, 1);
    return p_img_file;
}

int empty_image(std::FILE *p_img_file)
{
    HANDLE file = handle_of(p_img_file);
    return GetFileType(file) != FILE_TYPE_DISK || SetEndOfFile(file) ? 0 : -1;
}

int software_intact(std::FILE * /*p_sw_file*/, long long /*body_bytes*/)
{
    return 0;
}

// Removes the image once it is closed, when the name still holds it.
static void remove_image(const char *name)
{
    wchar_t wide[PATH_UNITS];
    if (!image_removable || wide_path(name, wide, PATH_UNITS) != 0)
        return;
    HANDLE file = CreateFileW(wide, DELETE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION named{};
    if (GetFileInformationByHandle(file, &named) && same_file(image_id, named)) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        (void)SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
    }
    CloseHandle(file);
}

int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    if (std::fclose(p_img_file) != 0)
        kept = false;
    if (!kept)
        remove_image(name);
    image_removable = false;
    InterlockedExchange(&image_open, 0);
    return kept ? 0 : -1;
}
