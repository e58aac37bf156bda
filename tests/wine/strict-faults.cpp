// The strict layer's faults: see strict-faults.h.
#include "strict-faults.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int CALLS = 32;
const char *names[CALLS]; // the calls seen, in the order of their first call
long counts[CALLS];
char fail_call[64];
long fail_at = -1; // read from STRICT_FAIL on the first call; 0 when none is to fail
char break_call[64];
long break_at = 0;
PHANDLER_ROUTINE handler = nullptr;

long target(const char *var, char *call)
{
    char value[64];
    const DWORD len = GetEnvironmentVariableA(var, value, sizeof value);
    char *colon = len > 0 && len < sizeof value ? std::strchr(value, ':') : nullptr;
    if (colon == nullptr)
        return 0;
    *colon = '\0';
    std::strcpy(call, value);
    return std::atol(colon + 1);
}

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
    if (file != INVALID_HANDLE_VALUE)
        WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &put, nullptr);
    CloseHandle(file);
}

// Ctrl-C as Windows delivers it, to the handler on a thread of its own; with none, or one that
// passes it on, the default handler ends the process. The call goes on once the handler has had
// a moment, as after a key press just before it.
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
    if (fail_at < 0) {
        fail_at = target("STRICT_FAIL", fail_call);
        break_at = target("STRICT_BREAK", break_call);
    }
    int i = 0;
    while (i < CALLS - 1 && names[i] != nullptr && std::strcmp(names[i], call) != 0)
        ++i;
    names[i] = call;
    const long nth = ++counts[i];
    write_counts();
    if (nth == break_at && std::strcmp(call, break_call) == 0) {
        HANDLE thread = CreateThread(nullptr, 0, deliver_ctrl_c, nullptr, 0, nullptr);
        if (thread != nullptr && WaitForSingleObject(thread, 50) != WAIT_FAILED)
            CloseHandle(thread);
    }
    if (nth != fail_at || std::strcmp(call, fail_call) != 0)
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
