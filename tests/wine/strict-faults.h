// The strict layer's faults, for the Windows sweep (tests/e2e/sweep_windows_test.cpp): each file
// call of the tool's that a hook sees is counted by its name. STRICT_COUNT names a file that then
// holds the counts, a line "CALL N" each; STRICT_FAIL=CALL:K fails the Kth call of CALL with a
// fitting error and does nothing else; STRICT_BREAK=CALL:K plays Ctrl-C just before it.
// Test infrastructure only: never shipped.
#ifndef STRICT_FAULTS_H
#define STRICT_FAULTS_H

#include <windows.h>

// Counts a call of the tool's; true when it is to fail, with error set as its last error.
bool strict_fault(const char *call, DWORD error);

// The console handler that the tool registered, which a played Ctrl-C runs.
void strict_fault_handler(PHANDLER_ROUTINE handler, BOOL add);

// The calls that only the sweep hooks: the type, the call, what it returns when it fails, its
// error, and its parameters and arguments.
#define STRICT_FAULTY_CALLS(X)                                                                     \
    X(BOOL, WriteFile, FALSE, ERROR_DISK_FULL, (HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e), (a, b, c, d, e)) \
    X(BOOL, SetFilePointerEx, FALSE, ERROR_IO_DEVICE, (HANDLE a, LARGE_INTEGER b, PLARGE_INTEGER c, DWORD d), (a, b, c, d)) \
    X(DWORD, SetFilePointer, INVALID_SET_FILE_POINTER, ERROR_IO_DEVICE, (HANDLE a, LONG b, PLONG c, DWORD d), (a, b, c, d)) \
    X(BOOL, SetEndOfFile, FALSE, ERROR_DISK_FULL, (HANDLE a), (a))                                  \
    X(BOOL, GetFileSizeEx, FALSE, ERROR_IO_DEVICE, (HANDLE a, PLARGE_INTEGER b), (a, b))             \
    X(DWORD, GetFileType, FILE_TYPE_UNKNOWN, ERROR_INVALID_FUNCTION, (HANDLE a), (a))               \
    X(DWORD, GetFinalPathNameByHandleW, 0, ERROR_NOT_ENOUGH_MEMORY, (HANDLE a, LPWSTR b, DWORD c, DWORD d), (a, b, c, d)) \
    X(BOOL, GetVolumePathNameW, FALSE, ERROR_IO_DEVICE, (LPCWSTR a, LPWSTR b, DWORD c), (a, b, c))  \
    X(BOOL, PeekNamedPipe, FALSE, ERROR_PIPE_NOT_CONNECTED, (HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPDWORD e, LPDWORD f), (a, b, c, d, e, f))

#define STRICT_FAULTY_DECLARE(type, call, failed, error, params, args) type WINAPI strict_##call params;
STRICT_FAULTY_CALLS(STRICT_FAULTY_DECLARE)
#define STRICT_FAULTY_HOOK(type, call, failed, error, params, args)                                \
    {"kernel32.dll", #call, reinterpret_cast<ULONG_PTR>(&strict_##call)},

#endif
