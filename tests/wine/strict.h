// The strict layer's shared state: the tables of the tool's file objects and pipes, the Windows that
// STRICT_AS plays, and the hooks that DllMain points the tool's imports at. See strict.cpp.
// Test infrastructure only: never shipped.
#ifndef STRICT_H
#define STRICT_H

#include <windows.h>

#include <cstdio>

namespace strict {

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
extern Setting setting;

extern Open opens[OPENS];
extern Pipe pipes[PIPES];
extern CRITICAL_SECTION table_lock;

// A descriptor's entry in wine's msvcrt (strict-played.cpp), whose blocks DllMain finds.
struct CrtDescriptor;
extern CrtDescriptor **crt_descriptors;

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

// The tables (strict-tables.cpp).
Open *open_of(HANDLE handle);
Open *track(HANDLE handle, const wchar_t *name, bool delete_on_close);
void set_pending(const Open &by, bool pending);
void forget(HANDLE handle);
bool pending_by_name(const wchar_t *name);
DWORD unmarked_links(DWORD links, const BY_HANDLE_FILE_INFORMATION &info);

// Reads STRICT_AS into setting (strict-played.cpp); false for a name the layer does not know.
bool read_setting();

// The hooks: the NT rules on the tables (strict.cpp) and the Windows played (strict-played.cpp).
HANDLE WINAPI strict_create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE template_file);
DWORD WINAPI strict_get_file_attributes(LPCWSTR name);
BOOL WINAPI strict_get_file_attributes_ex(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info);
BOOL WINAPI strict_delete_file(LPCWSTR name);
BOOL WINAPI strict_move_file_ex(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL WINAPI strict_move_file(LPCWSTR from, LPCWSTR to);
BOOL WINAPI strict_set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
BOOL WINAPI strict_duplicate_handle(HANDLE from_process, HANDLE from, HANDLE to_process, LPHANDLE to,
                                    DWORD access, BOOL inherit, DWORD options);
BOOL WINAPI strict_close_handle(HANDLE handle);
BOOL WINAPI strict_get_file_information(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
BOOL WINAPI strict_get_file_information_ex(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
BOOL WINAPI strict_get_volume_information(HANDLE file, LPWSTR label, DWORD label_size, LPDWORD serial,
                                          LPDWORD max_component, LPDWORD flags, LPWSTR fs_name, DWORD fs_size);
UINT WINAPI strict_get_drive_type(LPCWSTR root);
BOOL WINAPI strict_flush_file_buffers(HANDLE file);
BOOL WINAPI strict_set_console_ctrl_handler(PHANDLER_ROUTINE handler, BOOL add);
BOOL WINAPI strict_read_file(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD got, LPOVERLAPPED overlapped);
size_t __cdecl strict_fread(void *buffer, size_t size, size_t count, std::FILE *stream);

} // namespace strict

#endif
