// Windows side of the platform layer: the software file, from its opening to the end of its
// input.
#include "platform.h"
#include "platform_win.h"

#include <fcntl.h>
#include <io.h>

// Others may read the software file but not write it while it is read; a file that another
// program has open for writing is not finished, and is refused. A folder does not open without
// FILE_FLAG_BACKUP_SEMANTICS (CreateFileW, Directories).
std::FILE *open_software(const char *name, software_facts *facts)
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
    LARGE_INTEGER size{};
    facts->on_disk = GetFileType(file) == FILE_TYPE_DISK;
    facts->size = facts->on_disk && GetFileSizeEx(file, &size) && size.QuadPart > 0 ? size.QuadPart : -1;
    return stream_of(file, _O_RDONLY, "rb");
}

// Points the stream's descriptor at a fresh one over the same pipe. Microsoft documents an end
// kept on a descriptor only for text mode's CTRL+Z (_read, Remarks), but msvcrt.dll is not the
// documented runtime, and wine's keeps the end of any empty read until a seek, which a pipe cannot
// take. A descriptor just made over a handle has reached no end; _dup2 puts it in place.
static bool renew_descriptor(std::FILE *stream, HANDLE pipe)
{
    HANDLE again = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), pipe, GetCurrentProcess(), &again, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    const int fd = descriptor_of(again, _O_RDONLY);
    if (fd < 0)
        return false;
    const bool renewed = _dup2(fd, _fileno(stream)) == 0;
    (void)_close(fd);
    return renewed;
}

// A pipe's writer that writes zero bytes completes the read with none and success (ReadFile,
// Remarks, Pipes), which msvcrt's _read returns as 0 and fread takes for the end. Only the
// writer's close, ERROR_BROKEN_PIPE once its data is read, ends a pipe's input; until then the
// stream's end and its descriptor's are cleared, and the next read waits for more. A server that
// disconnects instead throws away what the client has not read (DisconnectNamedPipe, Remarks), and
// the client sees ERROR_PIPE_NOT_CONNECTED whether or not anything was lost: that fails the run,
// here and in msvcrt's _read alike.
int input_ended(std::FILE *stream)
{
    HANDLE input = handle_of(stream);
    // open_software takes a disk file or a pipe; a type that cannot be read is neither.
    const DWORD type = GetFileType(input);
    if (type == FILE_TYPE_DISK)
        return 1;
    if (type != FILE_TYPE_PIPE || interrupted() != 0)
        return -1;
    // Succeeds while the writer is there, whatever the pipe holds (PeekNamedPipe).
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, nullptr, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 1 : -1;
    if (!renew_descriptor(stream, input))
        return -1;
    std::clearerr(stream);
    return 0;
}

// No other program may write the software file while this run holds it (open_software).
int software_intact(std::FILE * /*p_sw_file*/)
{
    return 0;
}
