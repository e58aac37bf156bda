// The strict layer's faults: see strict-faults.h.
#include "strict-faults.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int CALLS = 32;
const char *names[CALLS]; // the calls seen, in the order of their first call
long counts[CALLS];
char fail_at[64]; // STRICT_FAIL and STRICT_BREAK, read at the first call
char break_at[64];
bool targets_read = false;
PHANDLER_ROUTINE handler = nullptr;

// Rewritten after every call, so that a run that ends any way leaves its counts.
void write_counts()
{
    char path[MAX_PATH];
    const DWORD len = GetEnvironmentVariableA("STRICT_COUNT", path, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return;
    char text[CALLS * 48] = "";
    for (int i = 0; i < CALLS && names[i] != nullptr; ++i)
        std::snprintf(text + std::strlen(text), 48, "%s %ld\n", names[i], counts[i]);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put = 0;
    if (file == INVALID_HANDLE_VALUE)
        return;
    (void)WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &put, nullptr);
    CloseHandle(file);
}

// Ctrl-C as Windows delivers it, to the handler on a thread of its own; with none, or one that
// passes it on, the default handler ends the process.
DWORD WINAPI deliver_ctrl_c(LPVOID)
{
    if (handler == nullptr || !handler(CTRL_C_EVENT))
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return 0;
}

} // namespace

// What swug-strict.exe imports, so that the loader loads the layer into it (strict-linked.cpp).
extern "C" {
__declspec(dllexport) int strict_linked = 1;
}

bool strict_fault(const char *call, DWORD error)
{
    if (!targets_read) {
        (void)GetEnvironmentVariableA("STRICT_FAIL", fail_at, sizeof fail_at);
        (void)GetEnvironmentVariableA("STRICT_BREAK", break_at, sizeof break_at);
        targets_read = true;
    }
    int i = 0;
    while (i < CALLS - 1 && names[i] != nullptr && std::strcmp(names[i], call) != 0)
        ++i;
    names[i] = call;
    char at[64];
    std::snprintf(at, sizeof at, "%s:%ld", call, ++counts[i]);
    write_counts();
    // The call goes on once the handler has had a moment, as after a key press just before it.
    HANDLE thread = std::strcmp(at, break_at) == 0 ? CreateThread(nullptr, 0, deliver_ctrl_c, nullptr, 0, nullptr)
                                                   : nullptr;
    if (thread != nullptr && WaitForSingleObject(thread, 50) != WAIT_FAILED)
        CloseHandle(thread);
    if (std::strcmp(at, fail_at) != 0)
        return false;
    SetLastError(error);
    return true;
}

void strict_fault_handler(PHANDLER_ROUTINE routine, BOOL add)
{
    handler = add ? routine : nullptr;
}

#define STRICT_FAULTY_DEFINE(type, call, failed, error, params, args)                              \
    type WINAPI strict_##call params { return strict_fault(#call, error) ? failed : call args; }
STRICT_FAULTY_CALLS(STRICT_FAULTY_DEFINE)
