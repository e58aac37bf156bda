// The Windows that the strict layer plays: STRICT_AS's volumes, drives and service events (Rules D
// to H, see strict.cpp), and Rule B's zero-byte writes on pipes, with the fread that follows them.
#include "strict.h"

#include "strict-faults.h"

#include <wnnc.h>

#include <io.h>

#include <cstring>
#include <cwchar>

namespace strict {

Setting setting = Setting::windows;

// A descriptor's entry in wine's msvcrt (its ioinfo, laid out as Microsoft's msvcrt.dll lays its
// own), found through the exported __pioinfo, in blocks of 32.
struct CrtDescriptor {
    HANDLE handle;
    unsigned char flags;
    char lookahead[3];
    int exflag;
    CRITICAL_SECTION lock;
};
CrtDescriptor **crt_descriptors = nullptr;

namespace {

constexpr DWORD FAT_INDEX = 0x4020; // the one 64-bit index of every file on the FAT volume
PHANDLER_ROUTINE console_handler = nullptr;
volatile LONG event_played = 0;
volatile LONG zero_writes_played = 0;
constexpr unsigned char CRT_AT_END = 0x02; // wine's WX_ATEOF

} // namespace

// The Windows that STRICT_AS names; a name the layer does not know fails the load.
bool read_setting()
{
    const wchar_t *const names[] = {L"", L"fat-volume", L"lost-share", L"service-logoff", L"service-shutdown",
                                    L"failing-disk", L"nfs-volume"};
    wchar_t as[32] = L"";
    if (GetEnvironmentVariableW(L"STRICT_AS", as, 32) >= 32)
        return false;
    int named = 0;
    while (named < 7 && std::wcscmp(as, names[named]) != 0)
        ++named;
    if (named == 7)
        return false;
    setting = static_cast<Setting>(named);
    return true;
}

BOOL WINAPI strict_get_file_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    if (strict_fault("GetFileInformationByHandle", ERROR_INVALID_FUNCTION)) return FALSE;
    if (!GetFileInformationByHandle(file, info))
        return FALSE;
    const DWORD error = GetLastError();
    info->nNumberOfLinks = unmarked_links(info->nNumberOfLinks, *info);
    if (setting == Setting::fat_volume && GetFileType(file) == FILE_TYPE_DISK) {
        info->nFileIndexHigh = 0;
        info->nFileIndexLow = FAT_INDEX;
    }
    SetLastError(error);
    return TRUE;
}

BOOL WINAPI strict_get_file_information_ex(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (strict_fault("GetFileInformationByHandleEx", ERROR_INVALID_PARAMETER)) return FALSE;
    const bool played_volume = setting == Setting::fat_volume || setting == Setting::nfs_volume;
    if (played_volume && kind == FileIdInfo && GetFileType(file) == FILE_TYPE_DISK)
        return (SetLastError(ERROR_INVALID_PARAMETER), FALSE);
    if (setting == Setting::nfs_volume && kind == FileRemoteProtocolInfo && GetFileType(file) == FILE_TYPE_DISK &&
        size >= sizeof(FILE_REMOTE_PROTOCOL_INFO)) {
        auto *remote = static_cast<FILE_REMOTE_PROTOCOL_INFO *>(info);
        *remote = FILE_REMOTE_PROTOCOL_INFO{};
        remote->StructureVersion = 1;
        remote->StructureSize = sizeof *remote;
        remote->Protocol = WNNC_NET_MS_NFS;
        return TRUE;
    }
    if (!GetFileInformationByHandleEx(file, kind, info, size))
        return FALSE;
    BY_HANDLE_FILE_INFORMATION id{};
    if (kind == FileStandardInfo && size >= sizeof(FILE_STANDARD_INFO) && GetFileInformationByHandle(file, &id)) {
        auto *standard = static_cast<FILE_STANDARD_INFO *>(info);
        standard->NumberOfLinks = unmarked_links(standard->NumberOfLinks, id);
        standard->DeletePending = standard->DeletePending || standard->NumberOfLinks == 0;
    }
    return TRUE;
}

BOOL WINAPI strict_get_volume_information(HANDLE file, LPWSTR label, DWORD label_size, LPDWORD serial,
                                          LPDWORD max_component, LPDWORD flags, LPWSTR fs_name, DWORD fs_size)
{
    if (strict_fault("GetVolumeInformationByHandleW", ERROR_INVALID_FUNCTION)) return FALSE;
    if (!GetVolumeInformationByHandleW(file, label, label_size, serial, max_component, flags, fs_name, fs_size))
        return FALSE;
    if (setting != Setting::fat_volume && setting != Setting::nfs_volume)
        return TRUE;
    const wchar_t *played_name = setting == Setting::fat_volume ? L"FAT32" : L"NFS";
    if (fs_name != nullptr && fs_size <= std::wcslen(played_name))
        return (SetLastError(ERROR_BAD_LENGTH), FALSE);
    if (fs_name != nullptr)
        std::wcscpy(fs_name, played_name);
    if (flags != nullptr && setting == Setting::fat_volume)
        *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    return TRUE;
}

UINT WINAPI strict_get_drive_type(LPCWSTR root)
{
    if (strict_fault("GetDriveTypeW", ERROR_SUCCESS)) return DRIVE_UNKNOWN;
    if (setting == Setting::failing_disk)
        return DRIVE_FIXED;
    return setting == Setting::lost_share || setting == Setting::nfs_volume ? DRIVE_REMOTE : GetDriveTypeW(root);
}

BOOL WINAPI strict_flush_file_buffers(HANDLE file)
{
    if (strict_fault("FlushFileBuffers", ERROR_IO_DEVICE)) return FALSE;
    if (setting == Setting::lost_share && GetFileType(file) == FILE_TYPE_DISK)
        return (SetLastError(ERROR_NETNAME_DELETED), FALSE);
    if (setting == Setting::failing_disk && GetFileType(file) == FILE_TYPE_DISK)
        return (SetLastError(ERROR_IO_DEVICE), FALSE);
    return FlushFileBuffers(file);
}

BOOL WINAPI strict_set_console_ctrl_handler(PHANDLER_ROUTINE handler, BOOL add)
{
    strict_fault_handler(handler, add);
    const BOOL ok = SetConsoleCtrlHandler(handler, add);
    if (ok && handler != nullptr)
        console_handler = add ? handler : nullptr;
    return ok;
}

namespace {

// Rule F: the tool's handler meets the event on a thread of its own.
DWORD WINAPI deliver_event(LPVOID)
{
    const DWORD event = setting == Setting::service_logoff ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT;
    if (console_handler != nullptr && console_handler(event))
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return 0;
}

void play_service_event(HANDLE file)
{
    if ((setting != Setting::service_logoff && setting != Setting::service_shutdown) ||
        GetFileType(file) != FILE_TYPE_DISK || InterlockedExchange(&event_played, 1) != 0)
        return;
    HANDLE thread = CreateThread(nullptr, 0, deliver_event, nullptr, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
}

// True when the writer of this pipe is to be played writing zero bytes now.
bool zero_write_due(HANDLE handle)
{
    Guard guard;
    for (Pipe &p : pipes)
        if (p.handle == handle && p.zero_writes > 0 && p.fresh) {
            --p.zero_writes;
            p.fresh = false;
            return true;
        }
    return false;
}

} // namespace

BOOL WINAPI strict_read_file(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (strict_fault("ReadFile", ERROR_IO_DEVICE)) return FALSE;
    play_service_event(file);
    if (overlapped == nullptr && wanted > 0 && zero_write_due(file)) {
        if (got != nullptr)
            *got = 0;
        InterlockedIncrement(&zero_writes_played);
        return TRUE;
    }
    DWORD read = 0;
    const BOOL ok = ReadFile(file, buffer, wanted, got != nullptr ? got : &read, overlapped);
    if (ok && overlapped == nullptr && (got != nullptr ? *got : read) > 0) {
        const DWORD error = GetLastError();
        Guard guard;
        for (Pipe &p : pipes)
            if (p.handle == file)
                p.fresh = true;
        SetLastError(error);
    }
    return ok;
}

// The tool's fread, after which a descriptor that a played zero-byte write left at its end is
// taken off it again; only where the entry is the descriptor's own, checked by its handle.
size_t __cdecl strict_fread(void *buffer, size_t size, size_t count, std::FILE *stream)
{
    const LONG before = InterlockedCompareExchange(&zero_writes_played, 0, 0);
    const size_t got = std::fread(buffer, size, count, stream);
    const int fd = stream != nullptr ? _fileno(stream) : -1;
    if (InterlockedCompareExchange(&zero_writes_played, 0, 0) != before && fd >= 0 &&
        crt_descriptors != nullptr && crt_descriptors[fd >> 5] != nullptr) {
        CrtDescriptor &entry = crt_descriptors[fd >> 5][fd & 31];
        if (entry.handle == reinterpret_cast<HANDLE>(_get_osfhandle(fd)))
            entry.flags = static_cast<unsigned char>(entry.flags & ~CRT_AT_END);
    }
    return got;
}

} // namespace strict
