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

// The tool as an ordinary user, who may not search the test folder. When nobody_argv is set, that
// user starts it instead: the same run, with a copy of the tool that the user can reach.
inline std::vector<char *> nobody_argv;
inline void as_nobody()
{
    const gid_t nogroup = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(65534) != 0)
        _exit(126);
    if (!nobody_argv.empty())
        execv(nobody_argv[0], nobody_argv.data());
}

// The build may lie in a folder that other users may not search (a clone in /root), so a run as
// nobody starts a copy of the tool in a folder of its own below the temporary folder. Returns that
// folder, or an empty path when some folder above it is closed to other users.
inline fs::path copy_for_nobody()
{
    std::string templ = (fs::temp_directory_path() / "swug-tool-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        return {};
    const fs::path folder = fs::canonical(templ);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(exe, folder / "swug");
    fs::permissions(folder / "swug", fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    for (fs::path at = folder; at != at.root_path(); at = at.parent_path())
        if ((fs::status(at).permissions() & fs::perms::others_exec) == fs::perms::none) {
            fs::remove_all(folder);
            return {};
        }
    return folder;
}

// Writes past 64 KiB raise SIGXFSZ, which the tool must ignore so that they fail with EFBIG. A
// Windows program cannot choose its POSIX signals, so under wine the signal is ignored for it.
inline void limit_file_size()
{
    const rlimit limit{64 * 1024, 64 * 1024};
    if (signal(SIGXFSZ, windows ? SIG_IGN : SIG_DFL) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(126);
}

// Standard output appends to img.bin, as a shell's ">>" leaves it.
inline void stdout_appends_to_image()
{
    const int fd = open("img.bin", O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || dup2(fd, 1) < 0)
        _exit(126);
}

// Started with standard output closed, as a careless parent may start it.
inline void close_stdout()
{
    if (close(1) != 0)
        _exit(126);
}

// Started with standard input closed.
inline void close_stdin()
{
    if (close(0) != 0)
        _exit(126);
}

// The same, started with standard input and output closed, as a careless parent may start it.
// SIGXFSZ is ignored for it, so that only the closed descriptors are under test.
inline void limit_file_size_without_stdin_stdout()
{
    const rlimit limit{64 * 1024, 64 * 1024};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0 || close(0) != 0 ||
        close(1) != 0)
        _exit(126);
}

// The words that run the tool under strace, which injects a fault or a delay into a system call
// (strace's -e inject=; none when inject is empty), so that a test can act mid-copy. LeakSanitizer
// cannot work in a traced process, so a sanitized build runs without it there.
inline const char strace_exe[] = "/usr/bin/strace";
inline std::vector<std::string> traced(const std::string &inject, const std::string &log = "/dev/null")
{
    std::vector<std::string> words{strace_exe, "-f", "-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0"};
    if (!inject.empty())
        words.insert(words.end(), {"-e", "inject=" + inject});
    return words;
}
// Every read takes 50 ms longer.
inline const std::vector<std::string> slow_reads = traced("read:delay_exit=50000");

// Starts the program that words name, with its arguments, in dir with the given standard input and
// output. On its own terminal it leads a new session, as a shell's job does.
inline pid_t start_words(const fs::path &dir, std::vector<std::string> words, int in, int out,
                  bool own_terminal = false, Prepare prepare = nullptr)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        if (own_terminal && (setsid() < 0 || ioctl(in, TIOCSCTTY, 0) < 0))
            _exit(126);
        if (chdir(dir.c_str()) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0)
            _exit(126);
        signal(SIGPIPE, SIG_DFL); // as a shell starts it
        if (prepare != nullptr)
            prepare();
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Starts the tool, or another program of its build, through the launcher if there is one, with
// the words of prefix (a tracer) before them; the tool itself through the strict layer too. See
// start_words.
inline pid_t start(const fs::path &dir, const std::vector<std::string> &args, int in, int out,
            bool own_terminal = false, Prepare prepare = nullptr,
            const std::vector<std::string> &prefix = {}, const std::string &program = exe)
{
    std::vector<std::string> words = prefix;
    if (!launcher.empty())
        words.push_back(launcher);
    if (!strict.empty() && program == exe)
        words.push_back(strict);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return start_words(dir, words, in, out, own_terminal, prepare);
}

// Waits for the child to end and returns its exit status, 128 + the signal that ended it, as a
// shell shows it, or -1 when it had to be killed at the deadline. Meanwhile it collects what the child writes to out_fd, if given; it does
// not wait for the end of that output, which programs the child started (wine's) may hold open.
inline int wait_exit(pid_t pid, Clock::time_point until, int out_fd = -1,
                     std::string *out = nullptr)
{
    int status = 0;
    bool ended = false;
    char chunk[4096];
    while (!ended && Clock::now() < until) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        pollfd pfd{out_fd, POLLIN, 0};
        if (out_fd < 0 || poll(&pfd, 1, 5) <= 0 || (pfd.revents & POLLIN) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(out_fd < 0 ? 5 : 1));
            continue;
        }
        ssize_t got = 0;
        while ((got = read(out_fd, chunk, sizeof chunk)) > 0)
            out->append(chunk, static_cast<std::size_t>(got));
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the tool in dir with standard input from /dev/null, or from a pipe that delivers input a
// few bytes at a time. A run that does not end within the deadline is killed.
inline Outcome run(const fs::path &dir, const std::vector<std::string> &args,
            const std::string *input = nullptr, Prepare prepare = nullptr,
            const std::vector<std::string> &prefix = {})
{
    // Close-on-exec, so that the tool holds only its own ends, as fds 0 and 1.
    int out_pipe[2] = {-1, -1};
    int in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || (input != nullptr && pipe2(in_pipe, O_CLOEXEC) != 0))
        return {};
    const int in = input != nullptr ? in_pipe[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = start(dir, args, in, out_pipe[1], false, prepare, prefix);
    close(in);
    close(out_pipe[1]);
    std::thread feeder;
    if (input != nullptr) {
        feeder = std::thread([fd = in_pipe[1], input] {
            for (std::size_t at = 0; at < input->size(); at += 7) {
                if (write(fd, input->data() + at, std::min<std::size_t>(7, input->size() - at)) < 0)
                    break;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            close(fd);
        });
    }
    Outcome outcome;
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    outcome.status = wait_exit(pid, Clock::now() + deadline, out_pipe[0], &outcome.out);
    close(out_pipe[0]);
    if (feeder.joinable())
        feeder.join();
    return outcome;
}

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

inline const char no_copy_for_nobody[] =
    "no folder that every user may search can hold a copy of the tool";

// Runs the tool as an ordinary user, from a copy that the user can reach, as run does; nullopt
// when no such copy can be made.
inline std::optional<Outcome> run_as_nobody(const fs::path &dir,
                                            const std::vector<std::string> &args)
{
    const fs::path tool_copy = copy_for_nobody();
    if (tool_copy.empty())
        return std::nullopt;
    std::vector<std::string> words = {(tool_copy / "swug").string()};
    words.insert(words.end(), args.begin(), args.end());
    for (std::string &word : words)
        nobody_argv.push_back(word.data());
    nobody_argv.push_back(nullptr);
    const Outcome o = run(dir, args, nullptr, as_nobody);
    nobody_argv.clear();
    fs::remove_all(tool_copy);
    return o;
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

// Starts the tool with a fresh pipe as standard input, its file status flags set to in_flags, and
// /dev/null as standard output; returns its pid and the pipe's write end.
inline std::pair<pid_t, int> start_on_pipe(const fs::path &dir,
                                           const std::vector<std::string> &args, int in_flags = 0,
                                           Prepare prepare = nullptr,
                                           const std::vector<std::string> &prefix = {})
{
    int in_pipe[2] = {-1, -1};
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || fcntl(in_pipe[0], F_SETFL, in_flags) != 0)
        return {-1, -1};
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = start(dir, args, in_pipe[0], out, false, prepare, prefix);
    close(in_pipe[0]);
    close(out);
    return {pid, in_pipe[1]};
}

// Waits until the process has file open, or the deadline passes; true when it has.
inline bool wait_until_open(pid_t pid, const fs::path &file, Clock::time_point until)
{
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (; Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::error_code ec;
        for (const fs::directory_entry &fd : fs::directory_iterator(fds, ec)) {
            if (fs::read_symlink(fd.path(), ec) == file)
                return true;
        }
    }
    return false;
}

// The tool's process that a tracer started, once it runs the tool; -1 at the deadline. strace
// starts a helper process of its own first.
inline pid_t traced_child(pid_t tracer, Clock::time_point until)
{
    const std::string children = "/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children";
    std::error_code ec;
    for (; Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::ifstream list(children);
        for (pid_t child = 0; list >> child;) {
            if (fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec) == fs::canonical(exe, ec))
                return child;
        }
    }
    return -1;
}

// --- A second Windows process (tests/wine/hold.cpp), built beside the Windows tool. ---

inline const std::string helper_exe =
    env_or("SWUG_HELPER", (fs::path(exe).parent_path() / "tests" / "hold.exe").string().c_str());

struct Helper {
    pid_t pid = -1;
    int input = -1;  // it ends when this is closed
    int output = -1;
    std::string said;
};

// Reads what the helper says until text has appeared, or the deadline passes.
inline bool helper_says(Helper &h, const std::string &text)
{
    h.said = read_until(h.output, text, Clock::now() + deadline, std::move(h.said));
    return h.said.find(text) != std::string::npos;
}

// Starts "hold MODE NAME" in dir and waits until its file or pipe is ready.
inline Helper start_helper(const fs::path &dir, const std::string &mode, const std::string &name)
{
    Helper h;
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        return h;
    h.pid = start(dir, {mode, name}, in_pipe[0], out_pipe[1], false, nullptr, {}, helper_exe);
    close(in_pipe[0]);
    close(out_pipe[1]);
    h.input = in_pipe[1];
    h.output = out_pipe[0];
    if (!helper_says(h, "ready"))
        ADD_FAILURE() << "hold " << mode << " " << name << " did not get ready";
    return h;
}

// Ends the helper: closing its input ends it.
inline void stop_helper(Helper &h)
{
    if (h.input >= 0)
        close(h.input);
    h.input = -1;
    if (h.pid > 0)
        wait_exit(h.pid, Clock::now() + deadline);
    h.pid = -1;
    if (h.output >= 0)
        close(h.output);
    h.output = -1;
}

// Why a Windows case that needs the helper cannot run here, or nullptr when it can.
inline const char *helper_missing()
{
    if (no_second_process != nullptr)
        return no_second_process;
    if (!fs::exists(helper_exe))
        return "no helper program beside the tool (tests/hold.exe; set SWUG_HELPER)";
    return nullptr;
}

// A named pipe's name for the tool, unique to the test's folder.
inline std::string pipe_path(const fs::path &dir)
{
    return R"(\\.\pipe\)" + dir.filename().string();
}

// File systems and loop devices of the case's own, which it mounts and binds as root, and which go
// when it ends.
class OwnFileSystems : public Swug {
protected:
    void SetUp() override
    {
        if (windows)
            GTEST_SKIP() << "mounts a POSIX file system";
        SKIP_UNLESS(geteuid() == 0, "needs root, to mount file systems");
        Swug::SetUp();
    }

    void TearDown() override
    {
        // A loop device bound to another goes first.
        for (auto device = loops.rbegin(); device != loops.rend(); ++device) {
            const int fd = open(device->c_str(), O_RDONLY | O_CLOEXEC);
            ioctl(fd, LOOP_CLR_FD, 0);
            close(fd);
        }
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
            umount2(at->c_str(), MNT_DETACH);
        Swug::TearDown();
    }

    // Mounts a file system at a folder below the test folder; false when it cannot.
    bool mount_at(const fs::path &at, const char *type, const std::string &options, const std::string &from = "")
    {
        fs::create_directories(at);
        if (mount(from.empty() ? type : from.c_str(), at.c_str(), type, 0, options.c_str()) != 0)
            return false;
        mounts.push_back(at);
        return true;
    }

    // Shows the folder from at through bindfs, a FUSE file system that passes every file on.
    bool bindfs_at(const fs::path &from, const fs::path &at, const char *option = nullptr)
    {
        fs::create_directories(at);
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        std::vector<std::string> words{bindfs_exe, from.string(), at.string()};
        if (option != nullptr)
            words.insert(words.begin() + 1, option);
        const pid_t pid = start_words(dir, words, none, none);
        close(none);
        if (wait_exit(pid, Clock::now() + deadline) != 0)
            return false;
        mounts.push_back(at);
        return true;
    }

    // Binds a free loop device to file, from offset on; its name, or an empty string when none can
    // be had.
    std::string loop_device_on(const fs::path &file, unsigned offset = 0)
    {
        const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        const int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
        std::string device;
        // Another program may take the free device first.
        for (int tries = 0; device.empty() && control >= 0 && backing >= 0 && tries < 10; ++tries) {
            const int number = ioctl(control, LOOP_CTL_GET_FREE);
            const std::string name = "/dev/loop" + std::to_string(number);
            const int fd = number >= 0 ? open(name.c_str(), O_RDWR | O_CLOEXEC) : -1;
            loop_info64 info{};
            info.lo_offset = offset;
            if (fd >= 0 && ioctl(fd, LOOP_SET_FD, backing) == 0 && ioctl(fd, LOOP_SET_STATUS64, &info) == 0)
                device = name;
            close(fd);
        }
        close(control);
        close(backing);
        if (!device.empty())
            loops.push_back(device);
        return device;
    }

    // Makes an ext4 file system, with no journal, on a loop device bound to file, and mounts it at
    // at; false when it cannot.
    bool ext4_at(const fs::path &file, const fs::path &at)
    {
        const std::string disk = loop_device_on(file);
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t pid = disk.empty() ? -1 : start_words(dir, {"/sbin/mkfs.ext4", "-q", "-O", "^has_journal", disk}, none, none);
        close(none);
        return pid > 0 && wait_exit(pid, Clock::now() + deadline) == 0 && mount_at(at, "ext4", "", disk);
    }

    static constexpr char bindfs_exe[] = "/usr/bin/bindfs";
    std::vector<fs::path> mounts;
    std::vector<std::string> loops;
};
} // namespace e2e

#endif
