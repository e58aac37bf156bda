// strict.dll, loaded into the tool by strict-run.exe before the tool's first instruction. It
// applies to the tool's own calls the documented Windows rules below that wine 8.0 does not model,
// by patching the KERNEL32 imports of the tool and of msvcrt.dll (whose fread, _read and _wfopen
// reach the system through its own imports). Test infrastructure only: never shipped.
//
// Rule A, a file pending deletion: once a handle sets a file's delete disposition, every open of
// that file by name fails with ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING), whatever sharing it
// asks for, until the mark is cleared or the last handle closes and the file is gone.
//   - CreateFileW, Remarks: "If you call CreateFile on a file that is pending deletion as a result
//     of a previous call to DeleteFile, the function fails ... GetLastError returns
//     ERROR_ACCESS_DENIED." DeleteFileW, Remarks: the file is marked for deletion on close, and
//     "Subsequent calls to CreateFile to open the file fail with ERROR_ACCESS_DENIED."
//   - MS-FSA 2.1.5.15.3 FileDispositionInformation sets Open.Link.IsDeleted (TRUE) and clears it
//     (FALSE), through any open of the link; 2.1.5.12.27 then reports DeletePending; the Link's
//     IsDeleted means "New opens to the associated Stream MUST NOT be allowed" (MS-FSA 2.1.1).
//   - Microsoft's FAT driver sample, filesys/fastfat: FatSetDispositionInfo (fileinfo.c) sets
//     FCB_STATE_DELETE_ON_CLOSE at once; FatCommonCreate (create.c) fails an open of such a file
//     with STATUS_DELETE_PENDING before looking at the disposition or the share modes; and
//     FatCommonCleanup (cleanup.c) turns a FILE_FLAG_DELETE_ON_CLOSE open into the same state when
//     its file object's last handle closes.
//   - Samba, source4/torture/basic/delete.c: deltest4 ("no more opens once delete on close set")
//     expects NT_STATUS_DELETE_PENDING for an open that shares everything; deltest7 opens again
//     once the flag is reset; deltest13 resets it through a second open.
// Attributes, deletion and renaming open the file too, so they fail the same way. A folder's
// listing still holds the name until the file is gone, so FindFirstFileW is left alone.
//
// Rule B, a zero-byte write on a pipe: a synchronous ReadFile on a pipe returns TRUE with no bytes
// when the writer has written zero bytes, while the pipe stays open; only the writer's close
// (ERROR_BROKEN_PIPE) ends it. ReadFile, Remarks on pipes: "If the lpNumberOfBytesRead parameter
// is zero when ReadFile returns TRUE on a pipe, the other end of the pipe called the WriteFile
// function with nNumberOfBytesToWrite set to zero." CreatePipe, Remarks: ReadFile returns when "a
// write operation completes on the write end of the pipe". Seen by joyent/libuv#985 and
// microsoft/vcpkg-tool#299. The layer plays such a writer on the pipes that the tool opens by name
// (its software file): a zero-byte write comes before the first read and after the first data.
// The console's or a parent's standard input is left alone: there a zero-byte write would end the
// key wait, which is Windows' behaviour but no writer of the suite does it.
// Microsoft's msvcrt asks the system again on every _read of a binary descriptor: it remembers an
// end only at a CTRL+Z in text mode (_read, Remarks). wine's msvcrt instead marks the descriptor
// at its end after any empty read and from then on returns 0 without asking. So after an fread of
// the tool's during which a zero-byte write was played, that mark is taken off again, as
// Microsoft's runtime would have none.
//
// Rule C, links under a delete mark: a file counts only its links whose delete mark is not set, so
// a file whose one name is marked reports no links (MS-FSA 2.1.5.12.27: NumberOfLinks is "the
// number of not-deleted links to the file"); wine counts every link.
//
// STRICT_AS, set by a test case, makes the layer play a Windows that wine cannot be:
//   fat-volume  Rule D, a FAT32 volume, from Microsoft's FAT driver sample (filesys/fastfat): its
//     64-bit index is the folder's first cluster plus the entry's offset, which repeats across
//     folders (fatprocs.h, FatGenerateFileIdFromDirentOffset), here one index for every disk file;
//     FileIdInformation is not answered (fileinfo.c, FatCommonQueryInformation:
//     STATUS_INVALID_PARAMETER); the volume is "FAT32", with neither hard links nor open by id
//     (volinfo.c, FatQueryFsAttributeInfo: FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK).
//   lost-share  Rule E, a network share (GetDriveTypeW: DRIVE_REMOTE) that is gone before the
//     redirector writes out what it cached: FlushFileBuffers, which "causes all buffered data to be
//     written to a file", fails then (here ERROR_NETNAME_DELETED).
//   service-logoff, service-shutdown  Rule F, a service started the tool, and a user logs off or
//     the system shuts down at the tool's first read of a disk file. The event runs the console
//     handlers on a new thread; one that returns TRUE has the system end the process, and FALSE
//     passes the event on to the default handler, which in a program run as a service ignores
//     both (HandlerRoutine, Return value and Remarks).
//   failing-disk  Rule G, a disk that GetDriveTypeW calls DRIVE_FIXED, "a hard drive or flash drive",
//     whose deferred writes fail when FlushFileBuffers writes them out (ERROR_IO_DEVICE): an external
//     disk under "Better performance", or FAT on any hot-plug device (fastfat, strucsup.c,
//     FatCreateVcb: IOCTL_STORAGE_GET_HOTPLUG_INFO sets VCB_STATE_FLAG_DEFERRED_FLUSH).
//   nfs-volume  Rule H, an NFS export mounted as a network drive (DRIVE_REMOTE; file system "NFS";
//     FILE_REMOTE_PROTOCOL_INFO's Protocol WNNC_NET_MS_NFS) that gives no 128-bit ids, and whose
//     client sees one file under two names as two files: no open conflicts with another's share
//     mode, as if each asked to share everything.
#include <windows.h>
#include <wnnc.h>

#include "strict-faults.h"

#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr int OPENS = 32;       // file objects on disk files that the tool holds at once
constexpr int HANDLES = 8;      // handles of one file object (its own and its duplicates)
constexpr int PIPES = 8;        // pipes that the tool opened by name
constexpr DWORD PATH_UNITS = 1024;
constexpr int ZERO_WRITES = 2;  // zero-byte writes played on each pipe

// One file object: an open of a disk file and the handles that share it.
struct Open {
    HANDLE handles[HANDLES];
    int count;                 // 0: a free slot
    bool known;                // its identity could be read
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
    bool pending;              // its link's delete disposition is set
    bool delete_on_close;      // opened with FILE_FLAG_DELETE_ON_CLOSE
    wchar_t path[PATH_UNITS];  // the full name it was opened by, empty when not known
};

struct Pipe {
    HANDLE handle;    // nullptr: a free slot
    int zero_writes;  // still to be played
    bool fresh;       // no read yet, or data since the last zero-byte write
};

enum class Setting { windows, fat_volume, lost_share, service_logoff, service_shutdown, failing_disk, nfs_volume };
Setting setting = Setting::windows;
constexpr DWORD FAT_INDEX = 0x4020; // the one 64-bit index of every file on the FAT volume
PHANDLER_ROUTINE console_handler = nullptr;
volatile LONG event_played = 0;

Open opens[OPENS];
Pipe pipes[PIPES];
CRITICAL_SECTION table_lock;
bool any_pending = false;
volatile LONG zero_writes_played = 0;

// A descriptor's entry in wine's msvcrt (its ioinfo, laid out as Microsoft's msvcrt.dll lays its
// own), found through the exported __pioinfo, in blocks of 32.
struct CrtDescriptor {
    HANDLE handle;
    unsigned char flags;
    char lookahead[3];
    int exflag;
    CRITICAL_SECTION lock;
};
constexpr unsigned char CRT_AT_END = 0x02; // wine's WX_ATEOF
CrtDescriptor **crt_descriptors = nullptr;

// The tool's console handler may run while its main thread is stopped inside a hook: the table
// lock is then taken for a bounded time only, and the handler goes on without it.
struct Guard {
    bool held = false;
    Guard()
    {
        for (int tries = 0; tries < 200 && !held; ++tries) {
            held = TryEnterCriticalSection(&table_lock) != 0;
            if (!held)
                Sleep(1);
        }
    }
    ~Guard()
    {
        if (held)
            LeaveCriticalSection(&table_lock);
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

// The full path of name, without a verbatim "\\?\" prefix, in full; false when it has none.
bool full_path(const wchar_t *name, wchar_t *full)
{
    const DWORD got = GetFullPathNameW(name, PATH_UNITS, full, nullptr);
    if (got == 0 || got >= PATH_UNITS)
        return false;
    if (std::wcsncmp(full, L"\\\\?\\UNC\\", 8) == 0)
        std::wmemmove(full + 1, full + 7, std::wcslen(full + 7) + 1);
    else if (std::wcsncmp(full, L"\\\\?\\", 4) == 0)
        std::wmemmove(full, full + 4, std::wcslen(full + 4) + 1);
    return true;
}

bool same_identity(const Open &o, const BY_HANDLE_FILE_INFORMATION &info)
{
    return o.known && o.volume == info.dwVolumeSerialNumber && o.index_high == info.nFileIndexHigh &&
           o.index_low == info.nFileIndexLow;
}

// Two opens of one link: the same file, by the same name where both names are known.
bool same_link(const Open &a, const Open &b)
{
    const bool same_file = a.known && b.known ? a.volume == b.volume && a.index_high == b.index_high &&
                                                    a.index_low == b.index_low
                                              : a.path[0] != L'\0' && _wcsicmp(a.path, b.path) == 0;
    return same_file && (a.path[0] == L'\0' || b.path[0] == L'\0' || _wcsicmp(a.path, b.path) == 0);
}

Open *open_of(HANDLE handle)
{
    for (Open &o : opens)
        for (int i = 0; i < o.count; ++i)
            if (o.handles[i] == handle)
                return &o;
    return nullptr;
}

Open *track(HANDLE handle, const wchar_t *name, bool delete_on_close)
{
    for (Open &o : opens) {
        if (o.count != 0)
            continue;
        o = Open{};
        o.handles[0] = handle;
        o.count = 1;
        o.delete_on_close = delete_on_close;
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(handle, &info)) {
            o.known = true;
            o.volume = info.dwVolumeSerialNumber;
            o.index_high = info.nFileIndexHigh;
            o.index_low = info.nFileIndexLow;
        }
        if (name == nullptr || !full_path(name, o.path))
            o.path[0] = L'\0';
        return &o;
    }
    return nullptr;
}

void recount_pending()
{
    any_pending = false;
    for (const Open &o : opens)
        any_pending = any_pending || (o.count != 0 && o.pending);
}

// The mark belongs to the link, whichever of its opens set or cleared it.
void set_pending(const Open &by, bool pending)
{
    for (Open &o : opens)
        if (o.count != 0 && (&o == &by || same_link(o, by)))
            o.pending = pending;
    recount_pending();
}

// A handle is gone: its file object goes with its last handle, and a delete-on-close open then
// marks the link for the opens that remain.
void forget(HANDLE handle)
{
    Open *o = open_of(handle);
    if (o != nullptr) {
        int i = 0;
        while (o->handles[i] != handle)
            ++i;
        o->handles[i] = o->handles[--o->count];
        if (o->count == 0) {
            o->pending = false;
            if (o->delete_on_close)
                set_pending(*o, true);
            else
                recount_pending();
        }
    }
    for (Pipe &p : pipes)
        if (p.handle == handle)
            p.handle = nullptr;
}

// True when name leads to a link whose delete disposition is set. The file is opened with no
// access and every sharing, which neither conflicts with nor restricts any other open; device
// names and pipes are never opened, since opening a pipe would take its instance.
bool pending_by_name(const wchar_t *name)
{
    if (name == nullptr)
        return false;
    Guard guard;
    if (!any_pending)
        return false;
    wchar_t full[PATH_UNITS];
    if (!full_path(name, full) || std::wcsncmp(full, L"\\\\.\\", 4) == 0)
        return false;
    HANDLE probe = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool got = GetFileType(probe) == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &info);
    CloseHandle(probe);
    if (!got)
        return false;
    for (const Open &o : opens)
        if (o.count != 0 && o.pending && same_identity(o, info) &&
            (info.nNumberOfLinks <= 1 || o.path[0] == L'\0' || _wcsicmp(o.path, full) == 0))
            return true;
    return false;
}

BOOL deny()
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

HANDLE WINAPI strict_create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE template_file)
{
    if (strict_fault("CreateFileW", ERROR_ACCESS_DENIED)) return INVALID_HANDLE_VALUE;
    if (pending_by_name(name)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (setting == Setting::nfs_volume)
        share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(name, access, share, security, disposition, flags, template_file);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    const DWORD error = GetLastError(); // ERROR_ALREADY_EXISTS tells the caller what happened
    const DWORD type = GetFileType(file);
    Guard guard;
    if (type == FILE_TYPE_DISK) {
        track(file, name, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0);
    } else if (type == FILE_TYPE_PIPE) {
        for (Pipe &p : pipes)
            if (p.handle == nullptr) {
                p = Pipe{file, ZERO_WRITES, true};
                break;
            }
    }
    SetLastError(error);
    return file;
}

DWORD WINAPI strict_get_file_attributes(LPCWSTR name)
{
    if (strict_fault("GetFileAttributesW", ERROR_ACCESS_DENIED)) return INVALID_FILE_ATTRIBUTES;
    return pending_by_name(name) ? (deny(), INVALID_FILE_ATTRIBUTES) : GetFileAttributesW(name);
}

BOOL WINAPI strict_get_file_attributes_ex(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info)
{
    if (strict_fault("GetFileAttributesExW", ERROR_ACCESS_DENIED)) return FALSE;
    return pending_by_name(name) ? deny() : GetFileAttributesExW(name, level, info);
}

BOOL WINAPI strict_delete_file(LPCWSTR name)
{
    if (strict_fault("DeleteFileW", ERROR_ACCESS_DENIED)) return FALSE;
    return pending_by_name(name) ? deny() : DeleteFileW(name);
}

BOOL WINAPI strict_move_file_ex(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (strict_fault("MoveFileExW", ERROR_ACCESS_DENIED)) return FALSE;
    return pending_by_name(from) || pending_by_name(to) ? deny() : MoveFileExW(from, to, flags);
}

BOOL WINAPI strict_move_file(LPCWSTR from, LPCWSTR to)
{
    if (strict_fault("MoveFileW", ERROR_ACCESS_DENIED)) return FALSE;
    return pending_by_name(from) || pending_by_name(to) ? deny() : MoveFileW(from, to);
}

// FILE_DISPOSITION_INFO_EX's flags, for headers that lack them.
constexpr DWORD DISPOSE_DELETE = 0x1;
constexpr DWORD DISPOSE_POSIX = 0x2;
constexpr DWORD DISPOSE_ON_CLOSE = 0x8;

BOOL WINAPI strict_set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (strict_fault("SetFileInformationByHandle", ERROR_ACCESS_DENIED)) return FALSE;
    const BOOL ok = SetFileInformationByHandle(file, kind, info, size);
    if (!ok || info == nullptr)
        return ok;
    int mark = -1; // -1: no change; 0: cleared; 1: set
    if (kind == FileDispositionInfo && size >= sizeof(FILE_DISPOSITION_INFO)) {
        mark = static_cast<const FILE_DISPOSITION_INFO *>(info)->DeleteFile ? 1 : 0;
    } else if (static_cast<int>(kind) == 21 && size >= sizeof(DWORD)) { // FileDispositionInfoEx
        // POSIX semantics remove the name at once, and ON_CLOSE changes delete-on-close instead:
        // neither leaves a pending name, so both are left to wine.
        const DWORD flags = *static_cast<const DWORD *>(info);
        if ((flags & (DISPOSE_POSIX | DISPOSE_ON_CLOSE)) == 0)
            mark = (flags & DISPOSE_DELETE) != 0 ? 1 : 0;
    }
    if (mark < 0)
        return ok;
    const DWORD error = GetLastError();
    Guard guard;
    Open *o = open_of(file);
    if (o == nullptr && GetFileType(file) == FILE_TYPE_DISK)
        o = track(file, nullptr, false);
    if (o != nullptr)
        set_pending(*o, mark == 1);
    SetLastError(error);
    return ok;
}

bool is_this_process(HANDLE process)
{
    return process == GetCurrentProcess() || GetProcessId(process) == GetCurrentProcessId();
}

BOOL WINAPI strict_duplicate_handle(HANDLE from_process, HANDLE from, HANDLE to_process, LPHANDLE to,
                                    DWORD access, BOOL inherit, DWORD options)
{
    if (strict_fault("DuplicateHandle", ERROR_NO_SYSTEM_RESOURCES)) return FALSE;
    const BOOL ok = DuplicateHandle(from_process, from, to_process, to, access, inherit, options);
    if (!ok || !is_this_process(from_process))
        return ok;
    const DWORD error = GetLastError();
    Guard guard;
    Open *o = open_of(from);
    if (o != nullptr && to != nullptr && is_this_process(to_process) && o->count < HANDLES)
        o->handles[o->count++] = *to;
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0)
        forget(from);
    SetLastError(error);
    return ok;
}

BOOL WINAPI strict_close_handle(HANDLE handle)
{
    if (strict_fault("CloseHandle", ERROR_INVALID_HANDLE)) return FALSE;
    {
        Guard guard;
        forget(handle);
    }
    return CloseHandle(handle);
}

// Rule C: the file's links less those that the tool's opens hold marked, each counted once.
DWORD unmarked_links(DWORD links, const BY_HANDLE_FILE_INFORMATION &info)
{
    Guard guard;
    DWORD marked = 0;
    for (int i = 0; i < OPENS; ++i) {
        bool counted = !(opens[i].count != 0 && opens[i].pending && same_identity(opens[i], info));
        for (int j = 0; j < i && !counted; ++j)
            counted = opens[j].count != 0 && opens[j].pending && same_link(opens[j], opens[i]);
        marked += counted ? 0 : 1;
    }
    return links > marked ? links - marked : 0;
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

struct Hook {
    const char *dll;
    const char *name;
    ULONG_PTR replacement;
};

const Hook hooks[] = {
    {"kernel32.dll", "CreateFileW", reinterpret_cast<ULONG_PTR>(&strict_create_file)},
    {"kernel32.dll", "GetFileAttributesW", reinterpret_cast<ULONG_PTR>(&strict_get_file_attributes)},
    {"kernel32.dll", "GetFileAttributesExW", reinterpret_cast<ULONG_PTR>(&strict_get_file_attributes_ex)},
    {"kernel32.dll", "DeleteFileW", reinterpret_cast<ULONG_PTR>(&strict_delete_file)},
    {"kernel32.dll", "MoveFileExW", reinterpret_cast<ULONG_PTR>(&strict_move_file_ex)},
    {"kernel32.dll", "MoveFileW", reinterpret_cast<ULONG_PTR>(&strict_move_file)},
    {"kernel32.dll", "SetFileInformationByHandle", reinterpret_cast<ULONG_PTR>(&strict_set_file_information)},
    {"kernel32.dll", "DuplicateHandle", reinterpret_cast<ULONG_PTR>(&strict_duplicate_handle)},
    {"kernel32.dll", "CloseHandle", reinterpret_cast<ULONG_PTR>(&strict_close_handle)},
    {"kernel32.dll", "ReadFile", reinterpret_cast<ULONG_PTR>(&strict_read_file)},
    {"kernel32.dll", "GetFileInformationByHandle", reinterpret_cast<ULONG_PTR>(&strict_get_file_information)},
    {"kernel32.dll", "GetFileInformationByHandleEx", reinterpret_cast<ULONG_PTR>(&strict_get_file_information_ex)},
    {"kernel32.dll", "GetVolumeInformationByHandleW", reinterpret_cast<ULONG_PTR>(&strict_get_volume_information)},
    {"kernel32.dll", "GetDriveTypeW", reinterpret_cast<ULONG_PTR>(&strict_get_drive_type)},
    {"kernel32.dll", "FlushFileBuffers", reinterpret_cast<ULONG_PTR>(&strict_flush_file_buffers)},
    {"kernel32.dll", "SetConsoleCtrlHandler", reinterpret_cast<ULONG_PTR>(&strict_set_console_ctrl_handler)},
    {"msvcrt.dll", "fread", reinterpret_cast<ULONG_PTR>(&strict_fread)},
    STRICT_FAULTY_CALLS(STRICT_FAULTY_HOOK)
};

ULONG_PTR replacement_for(const char *dll, const char *name)
{
    for (const Hook &hook : hooks)
        if (_stricmp(hook.dll, dll) == 0 && std::strcmp(hook.name, name) == 0)
            return hook.replacement;
    return 0;
}

// Points module's imports that a hook replaces at the hook; returns how many.
int patch_imports(HMODULE module)
{
    auto *base = reinterpret_cast<BYTE *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return 0;
    int patched = 0;
    for (auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         desc->Name != 0; ++desc) {
        const char *dll = reinterpret_cast<const char *>(base + desc->Name);
        if (desc->OriginalFirstThunk == 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            const ULONG_PTR replacement = replacement_for(dll, reinterpret_cast<const char *>(by_name->Name));
            DWORD was = 0;
            if (replacement == 0 ||
                !VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was))
                continue;
            slots->u1.Function = replacement;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
            ++patched;
        }
    }
    return patched;
}

} // namespace

// Patches the tool and msvcrt.dll, and tells strict-run.exe through its event that the layer is
// in place; without both, loading fails and strict-run.exe ends the tool.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID static_load)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    InitializeCriticalSection(&table_lock);
    // The Windows that STRICT_AS names; a name the layer does not know fails the load.
    const wchar_t *const names[] = {L"", L"fat-volume", L"lost-share", L"service-logoff", L"service-shutdown",
                                    L"failing-disk", L"nfs-volume"};
    wchar_t as[32] = L"";
    if (GetEnvironmentVariableW(L"STRICT_AS", as, 32) >= 32)
        return FALSE;
    int named = 0;
    while (named < 7 && std::wcscmp(as, names[named]) != 0)
        ++named;
    if (named == 7)
        return FALSE;
    setting = static_cast<Setting>(named);
    HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
    if (crt != nullptr)
        crt_descriptors = reinterpret_cast<CrtDescriptor **>(
            reinterpret_cast<ULONG_PTR>(GetProcAddress(crt, "__pioinfo")));
    if (crt == nullptr || patch_imports(GetModuleHandleW(nullptr)) == 0 || patch_imports(crt) == 0)
        return FALSE;
    wchar_t event_name[64];
    std::swprintf(event_name, 64, L"strict-run-%lu", GetCurrentProcessId());
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
    // No launcher waits where the tool imports the layer (strict-linked.cpp): a static load, whose
    // lpvReserved is not NULL (DllMain, Parameters).
    if (ready == nullptr)
        return static_load != nullptr;
    SetEvent(ready);
    CloseHandle(ready);
    return TRUE;
}
