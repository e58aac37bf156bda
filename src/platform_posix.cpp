// POSIX side of the platform layer.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The backslash is an ordinary character of a POSIX name.
const bool backslash_separates_dirs = false;

// The signals that end a run. Each only marks it interrupted, so that the image is removed and the
// terminal restored on the normal way out.
static const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
static volatile std::sig_atomic_t caught_signal = 0;

// How long input must stay quiet after the key before the wait ends: the rest of a paste arrives
// in pieces, and whatever is left would run in the shell.
constexpr long QUIET_NSEC = 100000000;
constexpr int MAX_QUIET_WAITS = 50;

// The image that open_image opened, kept ready for removal.
static struct stat image_st;
static bool image_removable = false;

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

static void on_signal(int sig)
{
    caught_signal = sig;
}

void set_up_process()
{
    // A prompt or image that cannot be written is a failed write, not the end of the process.
    (void)std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked read or wait returns
    for (const int sig : ending_signals) {
        struct sigaction old{};
        // A signal ignored by whoever started the tool (nohup, a background job) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            (void)sigaction(sig, &action, nullptr);
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

// Waits until standard input is ready, or timeout passes (nullptr: no limit), with the ending
// signals let through only during the wait. 1 when ready, 0 on timeout, -1 on a signal or error.
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

// Discards input until it has been quiet for a while, within a bound.
static void discard_paste(const sigset_t *wait_mask)
{
    char rest[4096];
    for (int waits = 0; waits < MAX_QUIET_WAITS; ++waits) {
        const timespec quiet{0, QUIET_NSEC};
        if (wait_for_input(&quiet, wait_mask) <= 0 || read(STDIN_FILENO, rest, sizeof rest) == 0)
            return;
    }
}

void wait_for_key()
{
    // The ending signals are held back outside the waits, so none slips in between a check of
    // the flag and the wait that it should cut short.
    sigset_t held;
    sigset_t wait_mask;
    sigemptyset(&held);
    for (const int sig : ending_signals)
        sigaddset(&held, sig);
    (void)sigprocmask(SIG_BLOCK, &held, &wait_mask);

    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        (void)read_key_byte(&wait_mask);
    } else {
        // Every key counts, Ctrl-C, Ctrl-Z and Ctrl-S included, as on the Windows console.
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0 && read_key_byte(&wait_mask) == 0)
            discard_paste(&wait_mask);
        // TCSAFLUSH drops the rest of a key that sends several bytes, so the shell never sees it.
        (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    (void)sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
}

std::FILE *open_software(const char *name)
{
    return std::fopen(name, "rb");
}

int is_disk_file(std::FILE *stream)
{
    struct stat st{};
    return fstat(fileno(stream), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) ? 1 : 0;
}

int is_directory(std::FILE *stream)
{
    struct stat st{};
    return fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

long long file_size(std::FILE *stream)
{
    struct stat st{};
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}

static bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens without emptying, so that a busy image or the software file itself is left as it was.
std::FILE *open_image(const char *name, std::FILE *p_sw_file)
{
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat img{};
    struct stat sw{};
    struct stat named{};
    struct stat out{};
    bool usable = fstat(fd, &img) == 0 && fstat(fileno(p_sw_file), &sw) == 0 && !same_file(img, sw);
    // One writer at a time. A file system without locks still gets its image.
    usable = usable && (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK);
    // A run that finished meanwhile may have removed the name this run opened.
    usable = usable && stat(name, &named) == 0 && same_file(img, named);
    std::FILE *p_img_file = usable ? fdopen(fd, "wb") : nullptr;
    if (p_img_file == nullptr) {
        (void)close(fd);
        return nullptr;
    }
    // Only a regular file is ever removed: never a device, a FIFO or standard output.
    image_st = img;
    image_removable =
        S_ISREG(img.st_mode) && !(fstat(STDOUT_FILENO, &out) == 0 && same_file(img, out));
    return p_img_file;
}

int empty_image(std::FILE *p_img_file)
{
    struct stat img{};
    if (fstat(fileno(p_img_file), &img) != 0)
        return -1;
    // An empty file is not truncated: ext4 would write a truncated file back when it is closed.
    return !S_ISREG(img.st_mode) || img.st_size == 0 || ftruncate(fileno(p_img_file), 0) == 0 ? 0 : -1;
}

int software_intact(std::FILE * /*p_sw_file*/, long long /*body_bytes*/)
{
    return 0;
}

// Removes the image, only when the name itself still holds it, never through a symbolic link.
// close_image calls it while the image is still open and locked, so that no other run has taken
// the name over; only a close that fails after a clean flush leaves it to run after the close.
static void remove_image(const char *name)
{
    struct stat named{};
    if (image_removable && lstat(name, &named) == 0 && same_file(image_st, named))
        (void)unlink(name);
    image_removable = false;
}

int close_image(std::FILE *p_img_file, const char *name, bool keep)
{
    bool kept = keep && std::fflush(p_img_file) == 0 && std::ferror(p_img_file) == 0;
    if (!kept)
        remove_image(name);
    if (std::fclose(p_img_file) != 0 && kept) {
        kept = false;
        remove_image(name);
    }
    image_removable = false;
    return kept ? 0 : -1;
}
