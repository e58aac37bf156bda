// POSIX side of the platform layer: the wait for a key at the end of an interactive run.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

// How long input must stay quiet after the key before the wait ends: the rest of a paste arrives
// in pieces, and whatever is left would run in the shell. Input that never goes quiet is discarded
// for PASTE_DISCARD_MS at most, however fast it comes.
constexpr long QUIET_NSEC = PASTE_QUIET_MS * 1000000L;
constexpr long long MAX_DISCARD_NSEC = PASTE_DISCARD_MS * 1000000LL;

// The terminal's modes before the wait, and the raw ones of the wait.
static termios saved_modes;
static termios raw_modes;
static volatile std::sig_atomic_t stop_asked = 0;
static volatile std::sig_atomic_t continued = 0;

static void on_stop(int /*sig*/)
{
    stop_asked = 1;
}

static void on_continue(int /*sig*/)
{
    continued = 1;
}

// Stops as SIGTSTP from outside asks, with the terminal as it was before the wait, and makes it
// raw again when continued, as full-screen programs do. The raw modes make Ctrl-Z a key.
static void follow_job_control()
{
    if (stop_asked != 0) {
        stop_asked = 0;
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
        // SIGSTOP cannot be caught, and unlike a default SIGTSTP it is not dropped in a process
        // group that no shell controls.
        (void)kill(getpid(), SIGSTOP);
        continued = 1;
    }
    if (continued != 0) {
        continued = 0;
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &raw_modes);
    }
}

// Waits until standard input is ready, or timeout passes (nullptr: no limit), with the signals
// let through only during the wait. 1 when ready, 0 on timeout, -1 on an ending signal or error.
static int wait_for_input(const timespec *timeout, const sigset_t *wait_mask)
{
    for (;;) {
        if (caught_signal != 0)
            return -1;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(STDIN_FILENO, &ready);
        const int got = pselect(STDIN_FILENO + 1, &ready, nullptr, nullptr, timeout, wait_mask);
        if (got >= 0)
            return got > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
        follow_job_control();
    }
}

// Reads one byte of standard input, waiting first, so that input left non-blocking by an earlier
// program does not end the wait at once. 0 when a byte came, -1 at end of input or on a signal.
static int read_key_byte(const sigset_t *wait_mask)
{
    for (;;) {
        if (wait_for_input(nullptr, wait_mask) < 0)
            return -1;
        unsigned char key = 0;
        const ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got >= 0)
            return got == 1 ? 0 : -1;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
    }
}

// Nanoseconds since start on the monotonic clock; the largest value when the clock fails.
static long long nsec_since(const timespec &start)
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return LLONG_MAX;
    return (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000000000LL +
           (now.tv_nsec - start.tv_nsec);
}

// Discards input until it has been quiet for a while, for a few seconds at most.
static void discard_paste(const sigset_t *wait_mask)
{
    char rest[4096];
    timespec start{};
    if (clock_gettime(CLOCK_MONOTONIC, &start) != 0)
        return;
    while (nsec_since(start) < MAX_DISCARD_NSEC) {
        const timespec quiet{0, QUIET_NSEC};
        if (wait_for_input(&quiet, wait_mask) <= 0 || read(STDIN_FILENO, rest, sizeof rest) == 0)
            return;
    }
}

// Waits for the key with the terminal raw, and restores its modes on every way out.
static void wait_on_terminal(const sigset_t *wait_mask)
{
    // Every key counts, Ctrl-C, Ctrl-Z and Ctrl-S included, as on the Windows console.
    raw_modes = saved_modes;
    raw_modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw_modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
    raw_modes.c_cc[VMIN] = 1;
    raw_modes.c_cc[VTIME] = 0;
    struct sigaction old_stop{};
    struct sigaction old_continue{};
    catch_signal(SIGTSTP, on_stop, &old_stop);
    catch_signal(SIGCONT, on_continue, &old_continue);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw_modes) == 0 && read_key_byte(wait_mask) == 0)
        discard_paste(wait_mask);
    // TCSAFLUSH drops the rest of a key that sends several bytes, so the shell never sees it.
    (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_modes);
    (void)sigaction(SIGTSTP, &old_stop, nullptr);
    (void)sigaction(SIGCONT, &old_continue, nullptr);
}

void wait_for_key()
{
    // The signals are held back outside the waits, so none slips in between a check of the flag
    // and the wait that it should cut short.
    sigset_t held = ending_signals;
    sigset_t wait_mask;
    sigaddset(&held, SIGTSTP);
    sigaddset(&held, SIGCONT);
    (void)sigprocmask(SIG_BLOCK, &held, &wait_mask);

    if (tcgetattr(STDIN_FILENO, &saved_modes) != 0)
        (void)read_key_byte(&wait_mask);
    else
        wait_on_terminal(&wait_mask);
    (void)sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
}
