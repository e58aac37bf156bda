// Windows side of the platform layer: the key wait at the end of an interactive run.
#include "platform.h"

#include <conio.h>
#include <io.h>
#include <windows.h>

void wait_for_key()
{
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        _getch();
        return;
    }
    // Input from a pipe or a file: one byte, and end of input ends the wait.
    unsigned char key = 0;
    _read(0, &key, 1);
}
