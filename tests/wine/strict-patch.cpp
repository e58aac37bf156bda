// The strict layer's patching: the hooks by the calls they replace, the tool's and msvcrt.dll's
// imports pointed at them, and DllMain, which does it as the layer loads.
#include "strict.h"

#include "strict-faults.h"

#include <cstring>
#include <cwchar>

namespace strict {

namespace {

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

} // namespace strict

// Patches the tool and msvcrt.dll, and tells strict-run.exe through its event that the layer is
// in place; without both, loading fails and strict-run.exe ends the tool.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID static_load)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    InitializeCriticalSection(&strict::table_lock);
    if (!strict::read_setting())
        return FALSE;
    HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
    if (crt != nullptr)
        strict::crt_descriptors = reinterpret_cast<strict::CrtDescriptor **>(
            reinterpret_cast<ULONG_PTR>(GetProcAddress(crt, "__pioinfo")));
    if (crt == nullptr || strict::patch_imports(GetModuleHandleW(nullptr)) == 0 ||
        strict::patch_imports(crt) == 0)
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
