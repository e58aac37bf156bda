// The end-to-end suite's harness: it runs the built tool in temporary folders, so that each case
// checks what a user sees: the image's bytes, the console text, the exit status and the files left
// on disk.
#ifndef SWUG_E2E_HARNESS_H
#define SWUG_E2E_HARNESS_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/loop.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto deadline = std::chrono::seconds(60);
constexpr char prompt[] = "Press any key to exit!";

inline std::string env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

inline const std::string launcher = env_or("SWUG_LAUNCHER", "");
// Where the kernel runs no i386 code, tests/wine/wine32 runs the 32-bit loader under qemu's
// user-mode emulation, which crashes on a console control event such as Ctrl-C.
inline const bool i386_emulated = launcher.find("wine32") != std::string::npos &&
                                  std::system("/usr/lib/wine/wine --version >/dev/null 2>&1") != 0;
// There strict-run.exe cannot start the tool (see no_second_process): the suite runs instead the
// build with the strict layer linked in (tests/wine/strict-linked.cpp) that SWUG_STRICT_LINKED names.
inline const bool linked_layer = i386_emulated && !env_or("SWUG_STRICT_LINKED", "").empty();
inline const std::string exe = env_or(linked_layer ? "SWUG_STRICT_LINKED" : "SWUG_EXE", SWUG_DEFAULT_EXE);
inline const bool windows = exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".exe") == 0;
inline const std::string newline = windows ? "\r\n" : "\n";

inline const bool in_ci = env_or("CI", "") == "true";
// Under that emulation wine cannot start a second 32-bit process (the kernel refuses to run the
// loader again): the tool runs there alone, and a case that needs the strict layer, cmd or the
// helper program skips, also under CI, where the next machine may run i386 code itself.
// Every such skip says which way the tool met the strict layer there.
inline const char *const no_second_process =
    !i386_emulated ? nullptr
    : linked_layer ? "qemu's user-mode emulation starts no second 32-bit process (the strict layer "
                     "is linked into the tool instead)"
                   : "qemu's user-mode emulation starts no second 32-bit process (the tool runs "
                     "without the strict layer)";

// The strict layer (tests/wine/strict-run.cpp), when SWUG_STRICT names its launcher: every run of
// the Windows tool goes through it, so that the tool meets Windows rules that wine lacks. layer:
// the tool meets them, through the launcher or linked in.
inline const std::string strict = no_second_process != nullptr ? "" : env_or("SWUG_STRICT", "");
inline const bool layer = !strict.empty() || linked_layer;

// Sets an environment variable for the programs started while this lives, and then puts it back;
// a null value leaves it as it is.
struct EnvFor {
    EnvFor(const char *var, const char *value) : name(var), set(value != nullptr)
    {
        if (const char *was = std::getenv(var))
            old = std::make_unique<std::string>(was);
        if (set)
            setenv(var, value, 1);
    }
    ~EnvFor()
    {
        if (set)
            (void)(old != nullptr ? setenv(name, old->c_str(), 1) : unsetenv(name));
    }
    const char *name;
    bool set;
    std::unique_ptr<std::string> old;
};

// Skips a case whose need is not met here, saying what is missing; under CI, where nothing may
// be missing but a second 32-bit process under qemu, fails it instead. Cases that have no meaning for the build under test use
// GTEST_SKIP.
#define SKIP_UNLESS(met, why)                                                                      \
    do {                                                                                           \
        if (!(met)) {                                                                              \
            if (::e2e::in_ci && ::e2e::no_second_process == nullptr)                               \
                FAIL() << "CI must run this case, but it " << (why);                                \
            GTEST_SKIP() << (why);                                                                 \
        }                                                                                          \
    } while (false)

// Plays the case on a Windows that wine cannot be, which as names (STRICT_AS in tests/wine/strict.cpp),
// for the rest of the case; nullptr plays none. Such a case has no meaning outside Windows, and needs
// the strict layer there. Whole suites run so when STRICT_AS is set around them.
#define PLAY_AS(as)                                                                                \
    if ((as) != nullptr && !::e2e::windows)                                                        \
        GTEST_SKIP() << "for Windows alone: it imitates a Windows setup that wine lacks";          \
    SKIP_UNLESS((as) == nullptr || ::e2e::layer, "needs the strict layer to play it");     \
    const ::e2e::EnvFor played("STRICT_AS", as)

// Bytes that differ from their neighbours, so a shifted or reordered copy shows.
inline std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251 + 7) & 0xff);
    return bytes;
}

inline std::string body_of(const std::string &sw) { return sw.size() > 128 ? sw.substr(128) : ""; }

inline void write_file(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::optional<std::string> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || fs::is_directory(path))
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A relative name of exactly n characters, in folders below the test folder.
inline std::string name_of_length(std::size_t n)
{
    std::string name;
    while (n - name.size() > 100)
        name += std::string(99, 'd') + "/";
    return name + std::string(n - name.size(), 'f');
}

inline const std::string name299 = name_of_length(299);

struct Outcome {
    int status = -1; // the exit status, or -1 when killed or timed out
    std::string out;
};

// What a case does to the tool's process before it starts; only calls that are safe after fork.
using Prepare = void (*)();

// STATUS_CONTROL_C_EXIT, 0xC000013A, as wine hands its low byte to the parent.
constexpr int ctrl_c_exit = 0x3a;

// What every run must leave, whatever failed or came during it: the software file as it was;
// exit 0 only with the whole body as the image; else exit 1, or ended_by (the status a signal or
// Ctrl-C gives, 0 when none came), and an image that is absent, as it was, empty or whole, never
// part of the body. What broke, or an empty string when all holds.
inline std::string broken_by_run(int status, int ended_by, const std::optional<std::string> &sw_now,
                                 const std::string &sw, const std::optional<std::string> &img,
                                 const std::optional<std::string> &old_img)
{
    if (sw_now != sw)
        return "the software file changed";
    if (status == 0)
        return img == body_of(sw) ? "" : "exit 0 without the whole image";
    if (status != 1 && (ended_by == 0 || status != ended_by))
        return "exit status " + std::to_string(status);
    if (img && !img->empty() && img != old_img && *img != body_of(sw))
        return "part of the image left, " + std::to_string(img->size()) + " bytes";
    return "";
}

// Names a test case after its description.
template <class Case> std::string described(const ::testing::TestParamInfo<Case> &info)
{
    std::string name = info.param.what;
    for (char &c : name)
        if (std::isalnum(static_cast<unsigned char>(c)) == 0)
            c = '_';
    return name;
}

class Swug : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        std::string templ = (fs::temp_directory_path() / "swug-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

// Writes bytes, waiting while the reader catches up, until the deadline.
inline bool write_all(int fd, const std::string &bytes, Clock::time_point until)
{
    std::size_t at = 0;
    while (at < bytes.size() && Clock::now() < until) {
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t put = write(fd, bytes.data() + at, bytes.size() - at);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        at += put > 0 ? static_cast<std::size_t>(put) : 0;
    }
    return at == bytes.size();
}

// Reads from a terminal or a pipe until text has appeared, or the deadline passes, after what was
// already seen.
inline std::string read_until(int master, const std::string &text, Clock::time_point until,
                              std::string seen = {})
{
    char chunk[256];
    pollfd pfd{master, POLLIN, 0};
    while (seen.find(text) == std::string::npos && Clock::now() < until) {
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0)
            break;
        seen.append(chunk, static_cast<std::size_t>(got));
    }
    return seen;
}
} // namespace e2e

#include "harness_run.h"
#include "harness_windows.h"
#include "harness_mounts.h"

#endif
