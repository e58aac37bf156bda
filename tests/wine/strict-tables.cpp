// The strict layer's tables: the tool's file objects on disk files with their delete marks, and the
// pipes it opened by name, which Rule A's hooks (strict.cpp) keep and read; and Rule C's count.
#include "strict.h"

#include <cwchar>

namespace strict {

Open opens[OPENS];
Pipe pipes[PIPES];
CRITICAL_SECTION table_lock;

namespace {

bool any_pending = false;

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

} // namespace

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

namespace {

void recount_pending()
{
    any_pending = false;
    for (const Open &o : opens)
        any_pending = any_pending || (o.count != 0 && o.pending);
}

} // namespace

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

} // namespace strict
