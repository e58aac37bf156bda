// Windows side of the platform layer.
#include "platform.h"

#include <conio.h>
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstring>

const bool backslash_separates_dirs = true;

int read_current_dir(char *dir, std::size_t cap)
{
    if (_getcwd(dir, static_cast<int>(cap)) != nullptr)
        return 0;
    std::memset(dir, 0, cap);
    return -1;
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

int is_directory(std::FILE *stream)
{
    struct _stat64 st{};
    return _fstat64(_fileno(stream), &st) == 0 && (st.st_mode & _S_IFDIR) != 0 ? 1 : 0;
}

static int identify(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, info) ? 0 : -1;
}

int is_same_file(std::FILE *stream, const char *name)
{
    BY_HANDLE_FILE_INFORMATION opened{};
    BY_HANDLE_FILE_INFORMATION named{};
    auto stream_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (identify(stream_handle, &opened) != 0)
        return 0;
    // No access rights are asked for: the handle only reads the file's identity.
    HANDLE named_handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int got = identify(named_handle, &named);
    if (named_handle != INVALID_HANDLE_VALUE)
        CloseHandle(named_handle);
    if (got != 0)
        return 0;
    return opened.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                   opened.nFileIndexHigh == named.nFileIndexHigh &&
                   opened.nFileIndexLow == named.nFileIndexLow
               ? 1
               : 0;
}
