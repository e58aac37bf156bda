// Windows side of the platform layer: names, the command line, the current directory and the
// streams over system handles that both files use. The narrow calls pass names through the code
// page, which swaps characters it lacks for look-alikes; every name here goes through the wide
// calls instead, converted from and to UTF-8 without loss or not at all.
#include "platform.h"
#include "platform_win.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <cwchar>

const bool backslash_separates_dirs = true;

// Longer than any current directory Windows allows.
constexpr int DIR_UNITS = 1024;

// msvcrt's own parse of the UTF-16 command line, the one that gives main its argv.
struct startup_info {
    int newmode;
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***envp, int expand,
                              startup_info *info);

static int to_utf8(const wchar_t *wide, char *utf8, std::size_t cap)
{
    const int got = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8,
                                        static_cast<int>(cap), nullptr, nullptr);
    if (got > 0)
        return 0;
    std::memset(utf8, 0, cap);
    return -1;
}

int to_wide(const char *utf8, wchar_t *wide, int units)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, units) > 0 ? 0 : -1;
}

// Copies the wide string from into wide, which holds units, after prefix; -1 when it does not fit.
static int join_wide(const wchar_t *prefix, const wchar_t *from, wchar_t *wide, int units)
{
    const std::size_t prefix_len = std::wcslen(prefix);
    const std::size_t from_len = std::wcslen(from);
    if (prefix_len + from_len >= static_cast<std::size_t>(units))
        return -1;
    std::wmemcpy(wide, prefix, prefix_len);
    std::wmemcpy(wide + prefix_len, from, from_len + 1);
    return 0;
}

// A path that starts "\\?\" or "\\.\", which Windows passes on without parsing it as a path.
static bool in_device_form(const wchar_t *path)
{
    return path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
}

// A device form with nothing below the device: \\.\C:, \\.\PhysicalDrive0, \\?\Volume{...}, \\.\NUL.
// It opens the volume, the disk or the port itself, never a file on it; a file's path always has a
// backslash after its volume's name (Naming Files, Paths, and Namespaces: Win32 Device Namespaces).
static bool names_device_itself(const wchar_t *path)
{
    return in_device_form(path) && std::wcschr(path + 4, L'\\') == nullptr;
}

// A name whose full path reaches MAX_PATH opens only in its verbatim form where long paths are not
// enabled system-wide. Windows takes a verbatim path as it stands, so it is made from the full
// path, in which the name's slashes are already backslashes and its "." and ".." resolved. A name
// of a volume or a whole disk is refused before anything opens it: a write there would go to the
// device, sector by sector.
int wide_path(const char *utf8, wchar_t *wide, int units)
{
    wchar_t name[NAME_UNITS];
    wchar_t full[PATH_UNITS];
    if (to_wide(utf8, name, NAME_UNITS) != 0)
        return -1;
    const DWORD full_len = GetFullPathNameW(name, PATH_UNITS, full, nullptr);
    const bool full_fits = full_len > 0 && full_len < static_cast<DWORD>(PATH_UNITS);
    if (names_device_itself(name) || (full_fits && names_device_itself(full)))
        return -1;
    // Short paths, names without a full path that fits, and names already in a device or verbatim
    // form open as the user gave them.
    if (full_len < MAX_PATH || !full_fits || in_device_form(full))
        return join_wide(L"", name, wide, units);
    if (full[0] == L'\\' && full[1] == L'\\')
        return join_wide(L"\\\\?\\UNC\\", full + 2, wide, units);
    return join_wide(L"\\\\?\\", full, wide, units);
}

// msvcrt's parse of the wide command line; nullptr when it fails.
static wchar_t **wide_args(int *argc)
{
    wchar_t **wargv = nullptr;
    wchar_t **wenvp = nullptr;
    startup_info info{0};
    if (__wgetmainargs(argc, &wargv, &wenvp, 0, &info) != 0 || wargv == nullptr || *argc < 1)
        return nullptr;
    return wargv;
}

// The narrow argc comes from the command line in the code page, whose best-fit mapping can turn a
// character into a quote or a space, and so split the words differently from the wide parse.
int command_count(int argc)
{
    int wargc = 0;
    return wide_args(&wargc) != nullptr ? wargc : argc;
}

char *command_word(char **argv, int i, char *word, std::size_t cap)
{
    int argc = 0;
    wchar_t **wargv = wide_args(&argc);
    (void)argv;
    if (wargv == nullptr || i >= argc)
        return nullptr;
    return to_utf8(wargv[i], word, cap) == 0 ? word : nullptr;
}

int read_current_dir(char *dir, std::size_t cap)
{
    wchar_t wide[DIR_UNITS];
    if (_wgetcwd(wide, DIR_UNITS) != nullptr && to_utf8(wide, dir, cap) == 0)
        return 0;
    std::memset(dir, 0, cap);
    return -1;
}

HANDLE handle_of(std::FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Before Windows 11 a name such as nul.bin or aux.txt opens a device too, as NUL and AUX do. A
// volume or a whole disk is FILE_TYPE_DISK as a file is, but tells no size: fastfat answers no
// query on a volume open (fileinfo.c, FatCommonQueryInformation, UserVolumeOpen:
// STATUS_INVALID_PARAMETER), and a disk's own driver none at all.
bool usable_type(HANDLE file)
{
    const DWORD type = GetFileType(file);
    FILE_STANDARD_INFO standard{};
    return type == FILE_TYPE_PIPE ||
           (type == FILE_TYPE_DISK &&
            GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) && !standard.Directory);
}

int descriptor_of(HANDLE file, int flags)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags | _O_BINARY);
    if (fd < 0)
        CloseHandle(file);
    return fd;
}

std::FILE *stream_of(HANDLE file, int flags, const char *mode)
{
    const int fd = descriptor_of(file, flags);
    if (fd < 0)
        return nullptr;
    std::FILE *stream = _fdopen(fd, mode);
    if (stream == nullptr)
        _close(fd);
    return stream;
}
