// Windows side of the platform layer: whether the image is the software file. A file id says so
// only where the volume promises that it names one file; elsewhere the software file's share mode
// keeps any name of it from opening for writing, but only where one file system sees every open
// of the file; where neither holds, the files' first bytes are compared.
#include "platform.h"
#include "platform_win.h"

#include <wnnc.h>

#include <cstring>
#include <cwchar>

// A 128-bit id names one file of its volume, unless it is 0 (the file system has none) or all ones
// (none could be made unique for the file): FILE_ID_INFORMATION; MS-FSCC 2.1.10.
static bool id_names_one_file(const FILE_ID_128 &id)
{
    bool zero = true;
    bool ones = true;
    for (const BYTE part : id.Identifier) {
        zero = zero && part == 0;
        ones = ones && part == 0xff;
    }
    return !zero && !ones;
}

// The type of the drive that holds the file, from its volume's root (GetFinalPathNameByHandleW,
// GetVolumePathNameW, GetDriveTypeW); DRIVE_UNKNOWN when it cannot be told.
static UINT drive_type_of(HANDLE file)
{
    wchar_t path[PATH_UNITS];
    wchar_t root[PATH_UNITS];
    const DWORD len = GetFinalPathNameByHandleW(file, path, PATH_UNITS, VOLUME_NAME_DOS);
    if (len == 0 || len >= static_cast<DWORD>(PATH_UNITS) || !GetVolumePathNameW(path, root, PATH_UNITS))
        return DRIVE_UNKNOWN;
    return GetDriveTypeW(root);
}

// A volume of this machine's own, whose file system sees every open of its files; a network drive
// (DRIVE_REMOTE) is served elsewhere, and a drive of unknown type counts as one.
static bool on_local_volume(HANDLE file)
{
    const UINT type = drive_type_of(file);
    return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_CDROM || type == DRIVE_RAMDISK;
}

// The 64-bit index "uniquely identifies a file in NTFS. On other file systems, this file ID is not
// guaranteed to be unique" (ZwQueryInformationFile, FileInternalInformation): FAT makes it from the
// folder's first cluster plus the entry's offset (fastfat, FatGenerateFileIdFromDirentOffset), so
// a folder past its first cluster repeats the ids of another; ReFS's needs its 128-bit id. A share
// that calls itself NTFS is no NTFS volume: Samba names every share so by default (smb.conf
// "fstype") and makes the index from the inode, off the share's own device from the device's and
// the inode's low 32 bits (source3/modules/vfs_default.c, vfswrap_fs_file_id), so that a nested
// mount, or an inode past 2^32, repeats another file's.
static bool index_names_one_file(HANDLE file)
{
    wchar_t fs_name[MAX_PATH + 1];
    return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fs_name, MAX_PATH + 1) &&
           std::wcscmp(fs_name, L"NTFS") == 0 && on_local_volume(file);
}

// Only an id that the volume promises names one file is trusted: ReFS and NTFS give a 128-bit one;
// FAT, exFAT and Samba do not (Samba answers FileIdInformation with NT_STATUS_INVALID_LEVEL, its
// default for a level it does not know). Windows 7 has no 128-bit ids, and fails the call.
int same_file(HANDLE a, HANDLE b)
{
    FILE_ID_INFO a_id{};
    FILE_ID_INFO b_id{};
    if (GetFileInformationByHandleEx(a, FileIdInfo, &a_id, sizeof a_id) &&
        GetFileInformationByHandleEx(b, FileIdInfo, &b_id, sizeof b_id) && id_names_one_file(a_id.FileId) &&
        id_names_one_file(b_id.FileId))
        return a_id.VolumeSerialNumber == b_id.VolumeSerialNumber &&
               std::memcmp(&a_id.FileId, &b_id.FileId, sizeof a_id.FileId) == 0;
    BY_HANDLE_FILE_INFORMATION a_info{};
    BY_HANDLE_FILE_INFORMATION b_info{};
    if (!index_names_one_file(a) || !index_names_one_file(b) || !GetFileInformationByHandle(a, &a_info) ||
        !GetFileInformationByHandle(b, &b_info) || (a_info.nFileIndexHigh | a_info.nFileIndexLow) == 0 ||
        (b_info.nFileIndexHigh | b_info.nFileIndexLow) == 0)
        return -1;
    return a_info.dwVolumeSerialNumber == b_info.dwVolumeSerialNumber &&
           a_info.nFileIndexHigh == b_info.nFileIndexHigh && a_info.nFileIndexLow == b_info.nFileIndexLow;
}

// Share modes hold where one file system checks every open of the file against the others: a local
// volume, and an SMB share, whose server checks each client's open against every open of the file
// (MS-SMB2 3.3.5.9 opens through the object store, which checks sharing, MS-FSA 2.1.5.1.2.2;
// Samba, source3/smbd/open.c, open_mode_check). A redirector of another protocol (NFS, WebDAV) or
// a user-mode file system on a network drive may see one file under two names as two files
// (FILE_REMOTE_PROTOCOL_INFO, whose Protocol is WNNC_NET_SMB for SMB; a local volume answers no such
// query).
static bool share_modes_hold(HANDLE file)
{
    FILE_REMOTE_PROTOCOL_INFO remote{};
    if (GetFileInformationByHandleEx(file, FileRemoteProtocolInfo, &remote, sizeof remote))
        return remote.Protocol == WNNC_NET_SMB;
    return on_local_volume(file);
}

// Up to cap bytes, read on to the block's end or the file's; -1 when a read fails.
static long read_block(HANDLE file, char *bytes, DWORD cap)
{
    DWORD total = 0;
    DWORD got = 0;
    while (total < cap) {
        if (!ReadFile(file, bytes + total, cap - total, &got, nullptr))
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return static_cast<long>(total);
}

// Two names of one file hold the same bytes. They are compared over the shorter file, as on POSIX:
// a redirector that keeps a file's size for a while shows less of a file that grew, and a start
// that repeats (erased flash) is told apart further on. Each is read through an open of its own,
// which leaves the run's handles where they are (ReOpenFile). Two files that hold nothing lose
// nothing and count as two; bytes that cannot be read count as the same.
static bool same_bytes(HANDLE a, HANDLE b)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE again[2] = {ReOpenFile(a, GENERIC_READ, share, 0), ReOpenFile(b, GENERIC_READ, share, 0)};
    static char bytes[2][4096];
    bool same = true;
    for (bool more = again[0] != INVALID_HANDLE_VALUE && again[1] != INVALID_HANDLE_VALUE, first = true; more;
         first = false) {
        const long a_got = read_block(again[0], bytes[0], sizeof bytes[0]);
        const long b_got = read_block(again[1], bytes[1], sizeof bytes[1]);
        const long got = a_got < b_got ? a_got : b_got;
        if (a_got < 0 || b_got < 0)
            break;
        same = got > 0 ? std::memcmp(bytes[0], bytes[1], static_cast<std::size_t>(got)) == 0 : !first;
        more = same && got == static_cast<long>(sizeof bytes[0]);
    }
    for (const HANDLE file : again) {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return same;
}

// A pipe is no file on disk, and its bytes are not to be read twice.
bool other_than_software(HANDLE image, HANDLE software, bool created)
{
    if (GetFileType(software) != FILE_TYPE_DISK)
        return true;
    const int same = same_file(image, software);
    if (same >= 0)
        return same == 0;
    if (created || (share_modes_hold(image) && share_modes_hold(software)))
        return true;
    return !same_bytes(image, software);
}
