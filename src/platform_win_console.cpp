// Windows side of the platform layer: Ctrl-C, Ctrl-Break and closing the console.
//
// The console handler runs on a thread of its own. While the run has an image open it lets the
// run's thread deal with it: it cancels the thread's blocking I/O (a read of a stalled pipe), and
// the run then removes or empties the image and ends the process itself. The handler does no I/O
// on the image: synchronous I/O on one file object is serialised, so a call through the run's
// handle would wait behind a write of the run's thread for as long as that write takes.
#include "platform.h"
#include "platform_win.h"

static volatile LONG caught_event = 0;
static volatile LONG run_phase = RUN_IDLE;
// The thread that runs the conversion, whose I/O the console handler cancels.
static HANDLE run_thread = nullptr;

// How long the run may take to deal with its image after Ctrl-C. Windows ends a process whose
// handler has not returned 5 seconds after the console was closed (HandlerRoutine, Remarks).
constexpr ULONGLONG CLEANUP_MS = 3000;
constexpr DWORD CANCEL_EVERY_MS = 10;

void set_run_phase(LONG phase)
{
    for (;;) {
        const LONG seen = InterlockedCompareExchange(&run_phase, RUN_IDLE, RUN_IDLE);
        if (seen != RUN_CANCELLING && InterlockedCompareExchange(&run_phase, phase, seen) == seen)
            return;
        (void)SwitchToThread();
    }
}

// Cancels the run's blocking I/O again and again, for the thread may begin a read just after a
// cancel finds none to cancel (CancelSynchronousIo, ERROR_NOT_FOUND), until the run has dealt with
// its image or its time is up. The process ends here for Ctrl-C, Ctrl-Break and closing the
// console: Windows' default action under wine ends it with status 0, as if the run succeeded.
// Log-off and shutdown reach a console program only where a service started it, whose default
// handler ignores both (HandlerRoutine, Remarks): they pass on to it, and the run goes on. An
// interactive run is terminated at log-off with the rest of the session, as a kill ends it
// (HandlerRoutine, CTRL_LOGOFF_EVENT; Logging Off): its delete mark removes its image.
static BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    InterlockedExchange(&caught_event, 1);
    const ULONGLONG start = GetTickCount64();
    while (InterlockedCompareExchange(&run_phase, RUN_IDLE, RUN_IDLE) != RUN_IDLE &&
           GetTickCount64() - start < CLEANUP_MS) {
        if (run_thread != nullptr &&
            InterlockedCompareExchange(&run_phase, RUN_CANCELLING, RUN_WRITING) == RUN_WRITING) {
            (void)CancelSynchronousIo(run_thread);
            InterlockedExchange(&run_phase, RUN_WRITING);
        }
        Sleep(CANCEL_EVERY_MS);
    }
    // Not ExitProcess: the C runtime's shutdown would flush the streams, under locks that the
    // run's thread may hold. A run still busy here is in a write that its device does not finish,
    // which holds the process until it does, whatever the handler does; the image is then left to
    // its delete mark, as after a kill.
    (void)TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void set_up_process()
{
    // CancelSynchronousIo needs THREAD_TERMINATE on the thread's handle.
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &run_thread,
                         THREAD_TERMINATE, FALSE, 0))
        run_thread = nullptr;
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
