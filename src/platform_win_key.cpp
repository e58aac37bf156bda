// Windows side of the platform layer: the key wait at the end of an interactive run.
#include "platform.h"

#include <conio.h>
#include <windows.h>

// A paste arrives in pieces a few tens of milliseconds apart, and may be long.
constexpr DWORD RECORDS = 64;

// Discards console input until it has been quiet for a while, for a few seconds at most, so that
// no part of a paste reaches the shell, which would run it.
static void discard_paste(HANDLE console)
{
    const ULONGLONG start = GetTickCount64();
    INPUT_RECORD records[RECORDS];
    while (GetTickCount64() - start < static_cast<ULONGLONG>(PASTE_DISCARD_MS) &&
           WaitForSingleObject(console, static_cast<DWORD>(PASTE_QUIET_MS)) == WAIT_OBJECT_0) {
        DWORD waiting = 0;
        DWORD got = 0;
        if (!GetNumberOfConsoleInputEvents(console, &waiting))
            break;
        // Signalled with nothing to read: wait for the next event instead of spinning.
        if (waiting == 0)
            Sleep(1);
        else if (!ReadConsoleInputW(console, records, waiting < RECORDS ? waiting : RECORDS, &got))
            break;
    }
    (void)FlushConsoleInputBuffer(console);
}

void wait_for_key()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    // _getch reads with the console's processed input off: Ctrl-C arrives as the key code 3 and
    // ends the wait as any key does, while Ctrl-Break is always a signal (CTRL+C and CTRL+BREAK
    // Signals).
    if (GetConsoleMode(input, &mode)) {
        (void)_getch();
        discard_paste(input);
        return;
    }
    // Input from a pipe or a file: one byte as it is, not through text mode, which would hold a
    // lone CR until it sees whether an LF follows. End of input or an error ends the wait. A
    // pipe's writer that writes zero bytes completes the read with none and success (ReadFile,
    // Remarks, Pipes); only its close ends a pipe's input, and PeekNamedPipe fails once it has.
    unsigned char key = 0;
    DWORD got = 0;
    while (ReadFile(input, &key, 1, &got, nullptr) && got == 0 && GetFileType(input) == FILE_TYPE_PIPE &&
           PeekNamedPipe(input, nullptr, 0, nullptr, nullptr, nullptr)) {
    }
}
