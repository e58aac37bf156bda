// POSIX side of the platform layer: the command line, the current folder, signals, what the
// process inherited and its set-up. The files' life is in platform_posix_image.cpp, the key wait in
// platform_posix_key.cpp.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef SWUG_HAVE_FSETLOCKING
#include <stdio_ext.h>
#endif

// The backslash is an ordinary character of a POSIX name.
const bool backslash_separates_dirs = false;

// Every signal whose default action ends the process and that can be caught, but for SIGPIPE and
// SIGXFSZ, which set_up_process ignores, and the real-time ones, which have no names. The signals
// that report a fault of the process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
// SIGABRT) are left alone: a handler would clean up from a state that the fault may have broken,
// and the core dump shows that state untouched.
static const int named_ending_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPROF, SIGVTALRM, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

sigset_t ending_signals;
volatile std::sig_atomic_t caught_signal = 0;
static volatile std::sig_atomic_t watched_fds[WATCHED_FILES] = {-1, -1};
// Set while the run opens a file and has changed nothing: a signal then ends the process at once.
static volatile std::sig_atomic_t end_at_once = 0;

int command_count(int argc)
{
    return argc;
}

char *command_word(char **argv, int i, char * /*word*/, std::size_t /*cap*/)
{
    return argv[i];
}

int read_current_dir(char *dir, std::size_t cap)
{
    if (getcwd(dir, cap) != nullptr)
        return 0;
    std::memset(dir, 0, cap);
    return -1;
}

void catch_signal(int sig, void (*handler)(int), struct sigaction *old)
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    // One call where the signal was not ignored, the usual case: start-up catches some forty.
    if (sigaction(sig, &action, old) == 0 && old->sa_handler == SIG_IGN)
        (void)sigaction(sig, old, nullptr);
}

void skip_stream_locks(std::FILE *stream)
{
#ifdef SWUG_HAVE_FSETLOCKING
    (void)__fsetlocking(stream, FSETLOCKING_BYCALLER);
#else
    (void)stream;
#endif
}

static void stop_waiting_on(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_NONBLOCK) == 0)
        (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Ends the process by sig. In its handler, which holds sig blocked, the signal is taken again as
// the handler returns.
static void end_by(int sig)
{
    (void)std::signal(sig, SIG_DFL);
    (void)raise(sig);
}

static void on_signal(int sig)
{
    const int saved_errno = errno;
    caught_signal = sig;
    if (end_at_once != 0)
        end_by(sig);
    for (const int fd : watched_fds) {
        if (fd >= 0)
            stop_waiting_on(fd);
    }
    errno = saved_errno;
}

void watch_descriptor(int role, int fd)
{
    watched_fds[role] = fd;
    // A signal that came before the watch found nothing to stop.
    if (fd >= 0 && caught_signal != 0)
        stop_waiting_on(fd);
}

int open_before_changes(const char *name, int flags, mode_t mode)
{
    end_at_once = 1;
    end_if_interrupted();
    const int fd = open(name, flags, mode);
    end_at_once = 0;
    return fd;
}

static void catch_ending_signal(int sig)
{
    struct sigaction old{};
    (void)sigaddset(&ending_signals, sig);
    catch_signal(sig, on_signal, &old);
}

// Fills each standard descriptor that is closed with the root folder, read only, so that neither
// file of the run becomes one and is taken for standard input or output. A read or write of it
// fails, as it would on the closed descriptor, and /dev/stdin or /dev/stdout then names a folder:
// never an empty input, nor an image that goes nowhere.
static void fill_standard_fds()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int root_fd = open("/", O_RDONLY | O_DIRECTORY);
        if (root_fd >= 0 && root_fd != fd) {
            (void)dup2(root_fd, fd);
            (void)close(root_fd);
        }
    }
}

// The descriptor that a name such as /dev/fd/3 or /proc/self/fd/3 leads to, or -1.
static int named_descriptor(const char *name)
{
    const char *const prefixes[] = {"/dev/fd/", "/proc/self/fd/"};
    for (const char *prefix : prefixes) {
        const std::size_t len = std::strlen(prefix);
        char *end = nullptr;
        const long fd = std::strncmp(name, prefix, len) == 0 ? std::strtol(name + len, &end, 10) : -1;
        if (end != nullptr && end != name + len && *end == '\0' && fd >= 0 && fd <= INT_MAX)
            return static_cast<int>(fd);
    }
    return -1;
}

int inherited_flags(const struct stat &st, const char *name)
{
    const int candidates[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, named_descriptor(name)};
    for (const int fd : candidates) {
        struct stat held{};
        if (fd < 0)
            continue;
        if (fstat(fd, &held) != 0) {
            if (errno == EBADF)
                continue;
            return CANNOT_TELL;
        }
        if (same_inode(held, st)) {
            const int flags = fcntl(fd, F_GETFL);
            return flags == -1 ? CANNOT_TELL : flags;
        }
    }
    return NOT_INHERITED;
}

void set_up_process()
{
    fill_standard_fds();
    // A prompt or image that cannot be written is a failed write, not the end of the process; so
    // is a write past the file size limit, which then fails with EFBIG.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    // Held back while they are caught: a signal the tool was started to ignore stays ignored.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &before);
    sigemptyset(&ending_signals);
    for (const int sig : named_ending_signals)
        catch_ending_signal(sig);
#ifdef SIGRTMIN
    // SIGRTMIN leaves out those that the C library keeps for its threads.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        catch_ending_signal(sig);
#endif
    (void)sigprocmask(SIG_SETMASK, &before, nullptr);
}

int interrupted()
{
    return caught_signal != 0 ? 1 : 0;
}

void end_if_interrupted()
{
    const int sig = caught_signal;
    if (sig != 0)
        end_by(sig);
}
