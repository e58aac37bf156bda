// Windows side of the platform layer. The narrow calls pass names through the code page, which
// swaps characters it lacks for look-alikes; every name here goes through the wide calls instead,
// converted from and to UTF-8 without loss or not at all.
#include "platform.h"
#include "platform_win.h"

#include <direct.h>

#include <cstring>

const bool backslash_separates_dirs = true;

// Longer than any current directory Windows allows.
constexpr int DIR_UNITS = 1024;
// How long closing the console waits for the run to remove its image, in steps of 100 ms.
constexpr int CLOSE_WAITS = 40;

// msvcrt's own parse of the UTF-16 command line, the one that gives main its argv.
struct startup_info {
    int newmode;
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***envp, int expand,
                              startup_info *info);

static volatile LONG caught_event = 0;
volatile LONG image_open = 0;

static int to_utf8(const wchar_t *wide, char *utf8, std::size_t cap)
{
    const int got = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8,
                                        static_cast<int>(cap), nullptr, nullptr);
    if (got > 0)
        return 0;
    std::memset(utf8, 0, cap);
    return -1;
}

int to_wide(const char *utf8, wchar_t *wide, int units)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, units) > 0 ? 0 : -1;
}

int wide_path(const char *utf8, wchar_t *wide, int units)
{
    return to_wide(utf8, wide, units);
}

int command_count(int argc)
{
    return argc;
}

char *command_word(char **argv, int i, char *word, std::size_t cap)
{
    int argc = 0;
    wchar_t **wargv = nullptr;
    wchar_t **wenvp = nullptr;
    startup_info info{0};
    (void)argv;
    if (__wgetmainargs(&argc, &wargv, &wenvp, 0, &info) != 0 || i >= argc || wargv == nullptr)
        return nullptr;
    return to_utf8(wargv[i], word, cap) == 0 ? word : nullptr;
}

int read_current_dir(char *dir, std::size_t cap)
{
    wchar_t wide[DIR_UNITS];
    if (_wgetcwd(wide, DIR_UNITS) != nullptr && to_utf8(wide, dir, cap) == 0)
        return 0;
    std::memset(dir, 0, cap);
    return -1;
}

// Runs on a thread of its own. With no image open there is nothing to clean up, and the event
// ends the process as it always does.
static BOOL WINAPI on_console_event(DWORD event)
{
    if (InterlockedCompareExchange(&image_open, 0, 0) == 0)
        return FALSE;
    InterlockedExchange(&caught_event, 1);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // Closing the console ends the process when this returns: give the run time to remove the
    // image; its own end comes first.
    for (int i = 0; i < CLOSE_WAITS && InterlockedCompareExchange(&image_open, 0, 0) != 0; ++i)
        Sleep(100);
    Sleep(100);
    return FALSE;
}

void set_up_process()
{
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

int interrupted()
{
    return InterlockedCompareExchange(&caught_event, 0, 0) != 0 ? 1 : 0;
}

void end_if_interrupted()
{
    if (interrupted() != 0)
        ExitProcess(STATUS_CONTROL_C_EXIT); // as a process that Ctrl-C ends
}
