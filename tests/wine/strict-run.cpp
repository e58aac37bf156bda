// strict-run.exe: runs a program with strict.dll, found beside this launcher, loaded into it before
// the program's first instruction, and ends as the program ends, with its exit code. The rest of
// this launcher's own command line, after its name, becomes the program's command line as it
// stands; the program shares the console and the standard handles.
//   strict-run PROGRAM.exe [ARGS...]
// A copy of this launcher can stand in for the program, where another program (cmd) starts it by
// the program's name: STRICT_RUN_PROGRAM then names the program, and the whole rest of the
// command line is its arguments.
// Test infrastructure only: the end-to-end suite runs every Windows case of the tool through it.
#include <windows.h>

#include <cstdio>
#include <initializer_list>
#include <cwchar>

namespace {

constexpr UINT LAYER_FAILED = 125; // as a shell reports a program it could not run

UINT fail(const char *what)
{
    std::fprintf(stderr, "strict-run: %s (error %lu)\n", what, GetLastError());
    return LAYER_FAILED;
}

// The command line after its first word, parsed as the C runtime parses a program's own name:
// up to the closing quote when it opens with one, else up to the first blank.
const wchar_t *after_own_name(const wchar_t *line)
{
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

// Ctrl-C and closing the console reach the program itself, which decides how it ends; this
// launcher outlives it to pass its exit code on.
BOOL WINAPI outlive_program(DWORD /*event*/)
{
    return TRUE;
}

// Handles that the program is to share are made inheritable; the others stay this process's own.
void share_standard_handles(STARTUPINFOW *startup)
{
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup->hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup->hStdInput, startup->hStdOutput, startup->hStdError})
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            (void)SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

// Loads strict.dll into the suspended process through a thread of its own that calls LoadLibraryW
// on the library's full name; false unless the library says, through the event, that it is in.
bool load_layer(HANDLE process, HANDLE ready)
{
    wchar_t dll[MAX_PATH];
    const DWORD len = GetModuleFileNameW(nullptr, dll, MAX_PATH);
    wchar_t *slash = std::wcsrchr(dll, L'\\');
    if (len == 0 || len >= MAX_PATH || slash == nullptr || slash - dll + 11 >= MAX_PATH)
        return false;
    std::wcscpy(slash + 1, L"strict.dll");
    const SIZE_T bytes = (std::wcslen(dll) + 1) * sizeof(wchar_t);
    void *remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr || !WriteProcessMemory(process, remote, dll, bytes, nullptr))
        return false;
    // kernel32.dll lies at one address in every process of a bitness, and so does LoadLibraryW.
    FARPROC load = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(
                                                                reinterpret_cast<void *>(load)),
                                       remote, 0, nullptr);
    if (thread == nullptr)
        return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return WaitForSingleObject(ready, 0) == WAIT_OBJECT_0;
}

// A job that ends the program when this launcher ends, however it ends (a kill included), as the
// program would end if it had been started directly.
HANDLE job_ending_with_launcher()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

} // namespace

int wmain()
{
    static wchar_t line[32768];
    static wchar_t program[MAX_PATH];
    constexpr int units = sizeof line / sizeof line[0];
    const wchar_t *tail = after_own_name(GetCommandLineW());
    const DWORD stand_in = GetEnvironmentVariableW(L"STRICT_RUN_PROGRAM", program, MAX_PATH);
    if (stand_in > 0 && stand_in < MAX_PATH) {
        if (std::swprintf(line, units, L"\"%ls\" %ls", program, tail) < 0)
            return static_cast<int>(fail("the command line is too long"));
    } else if (*tail == L'\0' || std::wcslen(tail) >= units) {
        return static_cast<int>(fail("usage: strict-run PROGRAM.exe [ARGS...]"));
    } else {
        std::wcscpy(line, tail);
    }
    (void)SetConsoleCtrlHandler(outlive_program, TRUE);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    share_standard_handles(&startup);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &child))
        return static_cast<int>(fail("cannot start the program"));
    HANDLE job = job_ending_with_launcher();
    if (job == nullptr || !AssignProcessToJobObject(job, child.hProcess)) {
        TerminateProcess(child.hProcess, LAYER_FAILED);
        return static_cast<int>(fail("cannot tie the program to this launcher"));
    }
    wchar_t event_name[64];
    std::swprintf(event_name, 64, L"strict-run-%lu", child.dwProcessId);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name);
    if (ready == nullptr || !load_layer(child.hProcess, ready)) {
        TerminateProcess(child.hProcess, LAYER_FAILED);
        return static_cast<int>(fail("cannot load strict.dll into the program"));
    }
    CloseHandle(ready);
    ResumeThread(child.hThread);
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = LAYER_FAILED;
    if (!GetExitCodeProcess(child.hProcess, &code))
        code = fail("cannot read the program's exit code");
    ExitProcess(code);
}
