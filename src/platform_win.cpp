// Windows side of the platform layer. The narrow calls pass names through the code page, which
// swaps characters it lacks for look-alikes; every name here goes through the wide calls instead,
// converted from and to UTF-8 without loss or not at all.
#include "platform.h"

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstring>

const bool backslash_separates_dirs = true;

// A UTF-8 name of at most NAME_UNITS - 1 bytes has at most as many UTF-16 units.
constexpr int NAME_UNITS = 300;
// Longer than any current directory Windows allows.
constexpr int DIR_UNITS = 1024;
// How long closing the console waits for the run to remove its image, in steps of 100 ms.
constexpr int CLOSE_WAITS = 40;

// msvcrt's own parse of the UTF-16 command line, the one that gives main its argv.
struct startup_info {
    int newmode;
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***envp, int expand,
                              startup_info *info);

static volatile LONG caught_event = 0;
static volatile LONG image_open = 0;

// The image that open_image opened, kept ready for removal.
static BY_HANDLE_FILE_INFORMATION image_id;
static bool image_removable = false;

// UTF-16 to UTF-8 in a buffer of cap bytes; 0, or -1 when a unit has no UTF-8 form (a lone
// surrogate) or the result does not fit.
static int to_utf8(const wchar_t *wide, char *utf8, std::size_t cap)
{
    const int got = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8,
                                        static_cast<int>(cap), nullptr, nullptr);
    if (got > 0)
        return 0;
    std::memset(utf8, 0, cap);
    return -1;
}

static int to_wide(const char *utf8, wchar_t *wide, int units)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, units) > 0 ? 0 : -1;
}

int command_count(int argc)
{
    return argc;
}

char *command_word(char **argv, int i, char *word, std::size_t cap)
{
    int argc = 0;
    wchar_t **wargv = nullptr;
    wchar_t **wenvp = nullptr;
    startup_info info{0};
    (void)argv;
    if (__wgetmainargs(&argc, &wargv, &wenvp, 0, &info) != 0 || i >= argc || wargv == nullptr)
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

// Runs on a thread of its own. With no image open there is nothing to clean up, and the event
// ends the process as it always does.
static BOOL WINAPI on_console_event(DWORD event)
{
    if (InterlockedCompareExchange(&image_open, 0, 0) == 0)
        return FALSE;
    InterlockedExchange(&caught_event, 1);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // Closing the console ends the process when this returns: give the run time to remove the
    // image; its own end comes first.
    for (int i = 0; i < CLOSE_WAITS && InterlockedCompareExchange(&image_open, 0, 0) != 0; ++i)
        Sleep(100);
    Sleep(100);
    return FALSE;
}

void set_up_process()
{
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

int interrupted()
{
    return InterlockedCompareExchange(&caught_event, 0, 0) != 0 ? 1 : 0;
}

void end_if_interrupted()
{
    if (interrupted() != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT); // as a process that Ctrl-C ends
}

void wait_for_key()
{
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        _getch();
        return;
    }
    // Input from a pipe or a file: one byte, and end of input ends the wait.
    unsigned char key = 0;
    _read(0, &key, 1);
}

std::FILE *open_software(const char *name)
{
    wchar_t wide[NAME_UNITS];
    return to_wide(name, wide, NAME_UNITS) == 0 ? _wfopen(wide, L"rb") : nullptr;
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
    wchar_t wide[NAME_UNITS];
    if (to_wide(name, wide, NAME_UNITS) != 0)
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
    wchar_t wide[NAME_UNITS];
    if (!image_removable || to_wide(name, wide, NAME_UNITS) != 0)
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
