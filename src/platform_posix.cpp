// POSIX side of the platform layer: the command line, the current folder, signals and the
// process's set-up. The files' life is in platform_posix_image.cpp, the key wait in
// platform_posix_key.cpp.
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The backslash is an ordinary character of a POSIX name.
const bool backslash_separates_dirs = false;

const int ending_signals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile std::sig_atomic_t caught_signal = 0;

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
    if (sigaction(sig, nullptr, old) == 0 && old->sa_handler != SIG_IGN)
        (void)sigaction(sig, &action, nullptr);
}

static void on_signal(int sig)
{
    caught_signal = sig;
}

// Opens the null device on each of the standard descriptors that is closed, so that neither file
// of the run becomes one and is taken for standard output. Without one (a bare chroot), the root
// folder, read only, holds the place: it can never be the image.
static void fill_standard_fds()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0)
            null_fd = open("/", O_RDONLY | O_DIRECTORY);
        if (null_fd >= 0 && null_fd != fd) {
            (void)dup2(null_fd, fd);
            (void)close(null_fd);
        }
    }
}

void set_up_process()
{
    fill_standard_fds();
    // A prompt or image that cannot be written is a failed write, not the end of the process; so
    // is a write past the file size limit, which then fails with EFBIG.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    for (const int sig : ending_signals) {
        struct sigaction old{};
        catch_signal(sig, on_signal, &old);
    }
}

int interrupted()
{
    return caught_signal != 0 ? 1 : 0;
}

void end_if_interrupted()
{
    const int sig = caught_signal;
    if (sig == 0)
        return;
    (void)std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);
    (void)raise(sig);
}
