// A second Windows process for the end-to-end tests under wine. Each mode prints "ready" once
// its file or pipe is set up ("connected" too, once a pipe's client has come), and ends when its
// standard input ends.
//   hold write FILE   holds FILE open for writing
//   hold read FILE    holds FILE open for reading, letting others write it but not delete it
//   hold serve NAME   serves the named pipe \\.\pipe\NAME with what arrives on standard input,
//                     each chunk after a write of zero bytes
//   hold hangup NAME  serves it as serve does, then flushes it and disconnects, as Microsoft's
//                     pipe server samples end, instead of closing it
//   hold sink NAME    serves the named pipe \\.\pipe\NAME and reads nothing from it
#include <windows.h>

#include <cstring>
#include <cwchar>

namespace {

HANDLE in = GetStdHandle(STD_INPUT_HANDLE);

void say_ready()
{
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &put, nullptr);
}

// Copies standard input to out until it ends; with no out, only waits for its end. Windows hands
// a write of zero bytes to the pipe's reader as a read of none, with the pipe still open (ReadFile,
// Remarks, Pipes), so each chunk follows one; wine 8.0 drops them.
void pass_input(HANDLE out)
{
    char chunk[4096];
    DWORD got = 0;
    DWORD put = 0;
    while (ReadFile(in, chunk, sizeof chunk, &got, nullptr) && got > 0)
        if (out != nullptr && (!WriteFile(out, chunk, 0, &put, nullptr) || !WriteFile(out, chunk, got, &put, nullptr)))
            out = nullptr;
}

HANDLE serve(const wchar_t *name, DWORD direction)
{
    wchar_t path[MAX_PATH];
    std::swprintf(path, MAX_PATH, L"\\\\.\\pipe\\%ls", name);
    // Buffers of 4 KiB, so that a writer that nobody reads soon waits.
    HANDLE pipe = CreateNamedPipeW(path, direction, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        ExitProcess(2);
    say_ready();
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        ExitProcess(3);
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "connected\n", 10, &put, nullptr);
    return pipe;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    const bool write = std::wcscmp(argv[1], L"write") == 0;
    if (write || std::wcscmp(argv[1], L"read") == 0) {
        HANDLE file = CreateFileW(argv[2], write ? GENERIC_WRITE : GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 3;
        say_ready();
        pass_input(nullptr);
        CloseHandle(file);
        return 0;
    }
    const bool hangup = std::wcscmp(argv[1], L"hangup") == 0;
    if (hangup || std::wcscmp(argv[1], L"serve") == 0) {
        HANDLE pipe = serve(argv[2], PIPE_ACCESS_OUTBOUND);
        pass_input(pipe);
        FlushFileBuffers(pipe);
        if (hangup)
            DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
        return 0;
    }
    if (std::wcscmp(argv[1], L"sink") == 0) {
        HANDLE pipe = serve(argv[2], PIPE_ACCESS_INBOUND);
        pass_input(nullptr);
        CloseHandle(pipe);
        return 0;
    }
    return 2;
}
