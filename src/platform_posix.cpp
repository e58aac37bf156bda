// POSIX side of the platform layer.
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The backslash is an ordinary character of a POSIX name.
const bool backslash_separates_dirs = false;

int read_current_dir(char *dir, std::size_t cap)
{
    if (getcwd(dir, cap) != nullptr)
        return 0;
    std::memset(dir, 0, cap);
    return -1;
}

static void read_one_byte()
{
    unsigned char key = 0;
    ssize_t got = 0;
    do
        got = read(STDIN_FILENO, &key, 1);
    while (got < 0 && errno == EINTR);
}

void wait_for_key()
{
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        read_one_byte();
        return;
    }
    // Every key counts, Ctrl-C, Ctrl-Z and Ctrl-S included, as on the Windows console.
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0)
        read_one_byte();
    // TCSAFLUSH drops the rest of a key that sends several bytes, so the shell never sees it.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
}

int is_directory(std::FILE *stream)
{
    struct stat st{};
    return fstat(fileno(stream), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int is_same_file(std::FILE *stream, const char *name)
{
    struct stat opened{};
    struct stat named{};
    if (fstat(fileno(stream), &opened) != 0 || stat(name, &named) != 0)
        return 0;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino ? 1 : 0;
}
