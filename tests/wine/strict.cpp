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
//
// This file holds Rule A's hooks, which keep the tables of file objects and pipes that
// strict-tables.cpp holds with Rule C's count; strict-played.cpp holds Rule B and the Windows that
// STRICT_AS plays, strict-patch.cpp the patching and DllMain, strict-faults.cpp the sweep's faults.
#include "strict.h"

#include "strict-faults.h"

namespace strict {

namespace {

BOOL deny()
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

} // namespace

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

namespace {

bool is_this_process(HANDLE process)
{
    return process == GetCurrentProcess() || GetProcessId(process) == GetCurrentProcessId();
}

} // namespace

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

} // namespace strict
