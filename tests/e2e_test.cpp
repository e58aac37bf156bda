// Runs the built tool in temporary folders and checks what a user sees: the image's bytes, the
// console text, the exit status and the files left on disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto deadline = std::chrono::seconds(60);
const char prompt[] = "Press any key to exit!";

std::string env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

const std::string exe = env_or("SWUG_EXE", SWUG_DEFAULT_EXE);
const std::string launcher = env_or("SWUG_LAUNCHER", "");
const bool windows = exe.size() > 4 && exe.compare(exe.size() - 4, 4, ".exe") == 0;
const std::string newline = windows ? "\r\n" : "\n";

// Bytes that differ from their neighbours, so a shifted or reordered copy shows.
std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251 + 7) & 0xff);
    return bytes;
}

std::string body_of(const std::string &sw) { return sw.size() > 128 ? sw.substr(128) : ""; }

void write_file(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || fs::is_directory(path))
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
    int status = -1; // the exit status, or -1 when killed or timed out
    std::string out;
};

// What a case does to the tool's process before it starts; only calls that are safe after fork.
using Prepare = void (*)();

// The tool as an ordinary user, who may not search the test folder. When nobody_argv is set, that
// user starts it instead: the same run, with a copy of the tool that the user can reach.
std::vector<char *> nobody_argv;
void as_nobody()
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
fs::path copy_for_nobody()
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
void limit_file_size()
{
    const rlimit limit{64 * 1024, 64 * 1024};
    if (signal(SIGXFSZ, windows ? SIG_IGN : SIG_DFL) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(126);
}

// The same, started with standard input and output closed, as a careless parent may start it.
// SIGXFSZ is ignored for it, so that only the closed descriptors are under test.
void limit_file_size_without_stdin_stdout()
{
    const rlimit limit{64 * 1024, 64 * 1024};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0 || close(0) != 0 ||
        close(1) != 0)
        _exit(126);
}

// Runs the tool under strace, which delays every read by 50 ms, so that a test can act mid-copy.
// LeakSanitizer cannot work in a traced process, so a sanitized build runs without it there.
const char strace_exe[] = "/usr/bin/strace";
const std::vector<std::string> slow_reads = {strace_exe, "-f", "-o", "/dev/null", "-e",
                                             "inject=read:delay_exit=50000", "-E",
                                             "ASAN_OPTIONS=detect_leaks=0"};

// Starts the program that words name, with its arguments, in dir with the given standard input and
// output. On its own terminal it leads a new session, as a shell's job does.
pid_t start_words(const fs::path &dir, std::vector<std::string> words, int in, int out,
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
// the words of prefix (a tracer) before them; see start_words.
pid_t start(const fs::path &dir, const std::vector<std::string> &args, int in, int out,
            bool own_terminal = false, Prepare prepare = nullptr,
            const std::vector<std::string> &prefix = {}, const std::string &program = exe)
{
    std::vector<std::string> words = prefix;
    if (!launcher.empty())
        words.push_back(launcher);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return start_words(dir, words, in, out, own_terminal, prepare);
}

// Waits for the child to end and returns its exit status, 128 + the signal that ended it, as a
// shell shows it, or -1 when it had to be killed at the deadline. Meanwhile it collects what the child writes to out_fd, if given; it does
// not wait for the end of that output, which programs the child started (wine's) may hold open.
int wait_exit(pid_t pid, Clock::time_point until, int out_fd = -1, std::string *out = nullptr)
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
Outcome run(const fs::path &dir, const std::vector<std::string> &args,
            const std::string *input = nullptr, Prepare prepare = nullptr)
{
    // Close-on-exec, so that the tool holds only its own ends, as fds 0 and 1.
    int out_pipe[2] = {-1, -1};
    int in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || (input != nullptr && pipe2(in_pipe, O_CLOEXEC) != 0))
        return {};
    const int in = input != nullptr ? in_pipe[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = start(dir, args, in, out_pipe[1], false, prepare);
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

const char no_copy_for_nobody[] = "no folder that every user may search can hold a copy of the tool";

// Runs the tool as an ordinary user, from a copy that the user can reach, as run does; nullopt
// when no such copy can be made.
std::optional<Outcome> run_as_nobody(const fs::path &dir, const std::vector<std::string> &args)
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

// --- A second Windows process (tests/wine/hold.cpp), built beside the Windows tool. ---

const std::string helper_exe =
    env_or("SWUG_HELPER", (fs::path(exe).parent_path() / "tests" / "hold.exe").string().c_str());

struct Helper {
    pid_t pid = -1;
    int input = -1;  // it ends when this is closed
    int output = -1;
    std::string said;
};

// Reads what the helper says until text has appeared, or the deadline passes.
bool helper_says(Helper &h, const std::string &text)
{
    const auto until = Clock::now() + deadline;
    while (h.said.find(text) == std::string::npos && Clock::now() < until) {
        pollfd pfd{h.output, POLLIN, 0};
        char chunk[256];
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t got = read(h.output, chunk, sizeof chunk);
        if (got <= 0)
            break;
        h.said.append(chunk, static_cast<std::size_t>(got));
    }
    return h.said.find(text) != std::string::npos;
}

// Starts "hold MODE NAME" in dir and waits until its file or pipe is ready.
Helper start_helper(const fs::path &dir, const std::string &mode, const std::string &name)
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
void stop_helper(Helper &h)
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

// Why a case that needs the helper cannot run here, or nullptr when it can.
const char *helper_missing()
{
    if (!windows)
        return "a second Windows process holds the file or serves the pipe";
    if (!fs::exists(helper_exe))
        return "no helper program beside the tool (tests/hold.exe; set SWUG_HELPER)";
    return nullptr;
}

// A named pipe's name for the tool, unique to the test's folder.
std::string pipe_path(const fs::path &dir)
{
    return R"(\\.\pipe\)" + dir.filename().string();
}

// --- Command mode: the image is the software file without its leading block. ---

class Conversion : public Swug, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Conversion, ImageIsTheBodyAndReplacesAnOldImage)
{
    const std::string sw = pattern(GetParam());
    write_file(dir / "sw.bin", sw);
    write_file(dir / "img.bin", pattern(GetParam() + 4000)); // longer than the new image
    const Outcome o = run(dir, {"sw.bin", "img.bin"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_file(dir / "img.bin"), body_of(sw));
    EXPECT_EQ(read_file(dir / "sw.bin"), sw);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Conversion,
                         ::testing::Values(0, 1, 127, 128, 129, 1000, 128 + 1024, 128 + 1024 + 1,
                                           (3u << 20) + 77));

// --- Names: the "./" rule, other relative and absolute names, and the length bound. ---

struct NameCase {
    const char *what;
    std::string run_in; // below the test folder
    std::string sw;     // argument, and the file it names below the test folder
    std::string sw_at;
    std::string img;
    std::string img_at;
    bool posix_only;
    std::string decoy = "";    // an existing file, below the test folder, that must stay as it was
    bool unprivileged = false; // run as an ordinary user, who may not search the test folder
};

class Names : public Swug, public ::testing::WithParamInterface<NameCase> {};

TEST_P(Names, TheNamedFilesAreUsed)
{
    const NameCase &c = GetParam();
    if (c.posix_only && windows)
        GTEST_SKIP() << "a POSIX case";
    if (c.unprivileged && geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as an ordinary user";
    const std::string sw = pattern(700);
    const std::string old = pattern(40);
    write_file(dir / c.sw_at, sw);
    if (!c.decoy.empty())
        write_file(dir / c.decoy, old);
    fs::create_directories(dir / c.run_in);
    fs::create_directories((dir / c.img_at).parent_path());
    if (c.unprivileged) {
        fs::permissions(dir / c.run_in, fs::perms::all); // the test folder itself stays 0700
        fs::permissions(dir / c.sw_at, fs::perms::others_read, fs::perm_options::add); // any umask
    }
    const std::optional<Outcome> o =
        c.unprivileged ? run_as_nobody(dir / c.run_in, {c.sw, c.img}) : run(dir / c.run_in, {c.sw, c.img});
    if (!o)
        GTEST_SKIP() << no_copy_for_nobody;
    EXPECT_EQ(o->status, 0) << c.what;
    EXPECT_EQ(read_file(dir / c.img_at), body_of(sw)) << c.what;
    if (!c.decoy.empty()) {
        EXPECT_EQ(read_file(dir / c.decoy), old) << c.what << ": a look-alike was written";
    }
}

// A relative name of exactly n characters, in folders below the test folder.
std::string name_of_length(std::size_t n)
{
    std::string name;
    while (n - name.size() > 100)
        name += std::string(99, 'd') + "/";
    return name + std::string(n - name.size(), 'f');
}

const std::string name299 = name_of_length(299);
const std::string dot_long = "./" + name_of_length(297);
// Below the test folder their full paths pass the 260 characters of Windows' MAX_PATH.
const std::string long_sw = name_of_length(240);
const std::string long_img = name_of_length(245);

INSTANTIATE_TEST_SUITE_P(
    Forms, Names,
    ::testing::Values(
        NameCase{"dot-slash", "", "./sw.bin", "sw.bin", "./out/img.bin", "out/img.bin", false},
        NameCase{"plain", "", "fw/sw.bin", "fw/sw.bin", "img.bin", "img.bin", false},
        NameCase{"parent", "sub", "../sw.bin", "sw.bin", "../img.bin", "img.bin", false},
        NameCase{"dot-backslash is a plain name", "", R"(.\sw.bin)", R"(.\sw.bin)", "img.bin",
                 "img.bin", true},
        NameCase{"299 characters", "", name299, name299, "img.bin", "img.bin", false},
        // Joined with the folder the name passes 299 characters, so it is used as given.
        NameCase{"dot-slash too long to join", "", dot_long, dot_long.substr(2), "./img.bin",
                 "img.bin", false},
        // On Windows only the full path opens names this long: its slashes become backslashes
        // and "." and ".." are resolved before it is used as it stands.
        NameCase{"long names through the parent folder", "sub", "../" + long_sw, long_sw,
                 "./.././" + long_img, long_img, false},
        // The code page's best-fit mapping turns U+3000 into a space and U+FF02 into a quote,
        // which would split a narrow command line into other words.
        NameCase{"names holding an ideographic space", "", "sw　1.bin", "sw　1.bin", "img　1.bin",
                 "img　1.bin", false, "1.bin"},
        NameCase{"names holding full-width quotes", "", "sw＂1.bin", "sw＂1.bin", "＂img 1.bin",
                 "＂img 1.bin", false, "img 1.bin"},
        // Names outside a Windows code page, which the narrow calls would swap for look-alikes.
        NameCase{"CJK names", "", "固件.bin", "固件.bin", "镜像.bin", "镜像.bin", false},
        NameCase{"Cyrillic names", "", "прошивка.bin", "прошивка.bin", "образ.bin", "образ.bin", false},
        NameCase{"Latin Extended name beside its look-alike", "", "sw.bin", "sw.bin", "img-Ā.bin",
                 "img-Ā.bin", false, "img-A.bin"},
        NameCase{"full-width name beside its look-alike", "", "sw.bin", "sw.bin", "img-ｂ.bin",
                 "img-ｂ.bin", false, "img-b.bin"},
        NameCase{"dot-slash in a folder named outside the code page", "目录-Ж", "./sw.bin",
                 "目录-Ж/sw.bin", "./img.bin", "目录-Ж/img.bin", false},
        NameCase{"dot-slash in a full-width folder beside its look-alike", "ａ", "./sw.bin",
                 "ａ/sw.bin", "./img.bin", "ａ/img.bin", false, "a/img.bin"},
        // The current folder is fine, but the absolute name runs through one the user may not
        // search.
        NameCase{"dot-slash below a folder the user may not search", "w", "./sw.bin", "w/sw.bin",
                 "./img.bin", "w/img.bin", true, "", true}),
    described<NameCase>);

// Absolute names depend on the test folder, so they are not in the table above.
TEST_F(Swug, AbsoluteNames)
{
    const std::string sw = pattern(500);
    write_file(dir / "sw.bin", sw);
    EXPECT_EQ(run(dir, {(dir / "sw.bin").string(), (dir / "abs.bin").string()}).status, 0);
    EXPECT_EQ(read_file(dir / "abs.bin"), body_of(sw));
}

// A current folder longer than 299 characters does not fit the name buffer: "./x" is used as
// given, which still names the file in it.
TEST_F(Swug, DotSlashNamesInACurrentFolderTooLongToRead)
{
    if (windows)
        GTEST_SKIP() << "a Windows current folder is at most 260 characters";
    const std::string sw = pattern(500);
    const fs::path deep = dir / std::string(120, 'a') / std::string(120, 'b') / std::string(120, 'c');
    write_file(deep / "sw.bin", sw);
    EXPECT_EQ(run(deep, {"./sw.bin", "./img.bin"}).status, 0);
    EXPECT_EQ(read_file(deep / "img.bin"), body_of(sw));
}

// Under wine the current folder is a backslash folder such as Z:\tmp\swug-test-1a2b3c: "./" names
// are joined to it once its backslashes are slashes, and backslash names are used as given.
TEST_F(Swug, WindowsNamesInABackslashFolder)
{
    if (!windows)
        GTEST_SKIP() << "a backslash is part of a POSIX file name";
    const std::string sw = pattern(900);
    write_file(dir / "fw/sw.bin", sw);
    fs::create_directories(dir / "out");
    EXPECT_EQ(run(dir, {"./fw/sw.bin", "./out/a.bin"}).status, 0);
    EXPECT_EQ(run(dir, {R"(.\fw\sw.bin)", R"(out\b.bin)"}).status, 0);
    EXPECT_EQ(run(dir / "fw", {"./sw.bin", R"(..\out\c.bin)"}).status, 0);
    for (const char *img : {"a.bin", "b.bin", "c.bin"})
        EXPECT_EQ(read_file(dir / "out" / img), body_of(sw)) << img;
}

// --- Command mode refusals: exit status 1, nothing printed, the user's files intact. ---

struct RefusalCase {
    const char *what;
    std::string sw;  // argument
    std::string img; // argument
    bool posix_only;
    bool windows_only = false; // a name that only Windows gives a device
};

class Refusal : public Swug, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, FailsSilentlyAndKeepsTheFiles)
{
    const RefusalCase &c = GetParam();
    if (c.posix_only && windows)
        GTEST_SKIP() << "needs a POSIX device";
    if (c.windows_only && !windows)
        GTEST_SKIP() << "an ordinary file name outside Windows";
    const std::string sw = pattern(5000);
    const std::string old_img = pattern(33);
    write_file(dir / "sw.bin", sw);
    write_file(dir / "old.bin", old_img);
    fs::create_directories(dir / "folder");
    fs::create_hard_link(dir / "sw.bin", dir / "hard.bin");
    fs::create_symlink("sw.bin", dir / "soft.bin");
    fs::create_directories((dir / name299).parent_path());
    const auto before = std::distance(fs::recursive_directory_iterator(dir), {});

    const Outcome o = run(dir, {c.sw, c.img});
    EXPECT_EQ(o.status, 1) << c.what;
    EXPECT_EQ(o.out, "") << c.what;
    EXPECT_EQ(read_file(dir / "sw.bin"), sw) << c.what;
    EXPECT_EQ(read_file(dir / "old.bin"), old_img) << c.what;
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir), {}), before)
        << c.what << ": a file was created";
}

const std::string too_long = name_of_length(300);

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        RefusalCase{"missing software file", "none.bin", "new.bin", false},
        RefusalCase{"missing software file, old image", "none.bin", "old.bin", false},
        RefusalCase{"missing full-width look-alike of the software file", "ｓw.bin", "new.bin", false},
        RefusalCase{"software file is a folder", "folder", "old.bin", false},
        RefusalCase{"image folder missing", "sw.bin", "nowhere/img.bin", false},
        RefusalCase{"image is a folder", "sw.bin", "folder", false},
        RefusalCase{"same name", "sw.bin", "sw.bin", false},
        RefusalCase{"same file through ./", "./sw.bin", "sw.bin", false},
        RefusalCase{"same file through a folder", "sw.bin", "folder/../sw.bin", false},
        RefusalCase{"same file through a hard link", "sw.bin", "hard.bin", false},
        RefusalCase{"same file through a symlink", "soft.bin", "sw.bin", false},
        // Cut to 299 characters the image name would be a new file in an existing folder.
        RefusalCase{"image name of 300 characters", "sw.bin", name299 + "x", false},
        RefusalCase{"software name of 300 characters", too_long, "new.bin", false},
        RefusalCase{"write fails (disk full)", "sw.bin", "/dev/full", true},
        // Windows opens these names, whatever their extension, as devices.
        RefusalCase{"image named as the null device", "sw.bin", "nul.bin", false, true},
        RefusalCase{"software file named as the null device", "nul.bin", "old.bin", false, true},
        RefusalCase{"software file is the null device", "NUL", "old.bin", false, true},
        RefusalCase{"image named as a serial port", "sw.bin", "aux.bin", false, true},
        RefusalCase{"software file named as a serial port", "aux.bin", "old.bin", false, true},
        RefusalCase{"image named as the console", "sw.bin", "con.bin", false, true}),
    described<RefusalCase>);

// A write or read failure is never reported as written, and a broken image is removed.
TEST_F(Swug, FailuresAfterTheImageIsOpenedAreNotSuccess)
{
    if (windows)
        GTEST_SKIP() << "no /dev/full or /proc on Windows";
    write_file(dir / "big.bin", pattern(5u << 20));
    EXPECT_EQ(run(dir, {"big.bin", "/dev/full"}).status, 1);
    EXPECT_EQ(run(dir, {"/proc/self/mem", "mem.bin"}).status, 1);
    EXPECT_FALSE(fs::exists(dir / "mem.bin")) << "a broken image was left";
    // A software file that opens but gives nothing leaves an old image as it was.
    const std::string old_img = pattern(77);
    write_file(dir / "old.bin", old_img);
    EXPECT_EQ(run(dir, {"/proc/self/mem", "old.bin"}).status, 1);
    EXPECT_EQ(read_file(dir / "old.bin"), old_img) << "the old image was lost";
}

// --- Disturbances: the run fails or is cut short, and leaves no broken image or wait behind. ---

enum class Disturb {
    signal_mid_copy,   // a signal while the tool reads a slow pipe
    file_size_limit,   // writes fail part-way, as on a full disk
    image_locked,      // another run is writing the image
    fifo_reader_quits, // the image is a FIFO whose reader goes away
    stdout_closed,     // interactive, and the prompt cannot be printed
    nonblocking_stdin, // interactive, with standard input left non-blocking
    software_cut,      // the software file is truncated while the tool reads it
    software_rewritten, // part of the software file is rewritten while the tool reads it
    image_removed,     // the image's name is removed while the tool writes it
    image_moved,       // the image is renamed while the tool writes it
    null_image_locked, // the image is /dev/null, which another process holds a lock on
    lone_cr_key,       // interactive, the key a lone CR on a pipe that stays open
    size_limit_undeletable, // writes fail part-way, and a reader keeps the image from being deleted
    image_held,        // a second program has the image open for writing
    software_held,     // a second program has the software file open for writing
    software_written_by_second_run, // a second run tries to write the software file while the tool reads it
    // The software file is a named pipe that stalls after its first 100000 bytes, then:
    ctrl_c_on_stalled_pipe,  // Ctrl-C on the tool's console
    ctrl_c_image_undeletable, // the same, with the image held by a reader that denies deleting it
    killed_on_stalled_pipe,  // the process is killed
    image_renamed_on_stalled_pipe, // the image is renamed, then the pipe ends
};

struct DisturbanceCase {
    const char *what;
    Disturb how;
    int signal; // sent mid-copy
    int status; // 128 + the signal when ended by one
    bool old_image_kept; // else no img.bin is left, or an empty one
    const char *posix_only = nullptr; // why the case has no meaning on Windows
    bool windows_only = false;        // it needs a second Windows process
    bool image_emptied = false;       // an empty img.bin is left
    Prepare prepare = limit_file_size; // for file_size_limit
};

const char no_signals[] = "a Windows program gets no POSIX signals";
// STATUS_CONTROL_C_EXIT, 0xC000013A, as wine hands its low byte to the parent.
const int ctrl_c_exit = 0x3a;

class Disturbance : public Swug, public ::testing::WithParamInterface<DisturbanceCase> {};

// Writes bytes, waiting while the reader catches up, until the deadline.
bool write_all(int fd, const std::string &bytes, Clock::time_point until)
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

// Reads from a terminal or a pipe until text has appeared, or the deadline passes.
std::string read_until(int master, const std::string &text, Clock::time_point until)
{
    std::string seen;
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
std::pair<pid_t, int> start_on_pipe(const fs::path &dir, const std::vector<std::string> &args,
                                    int in_flags = 0)
{
    int in_pipe[2] = {-1, -1};
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || fcntl(in_pipe[0], F_SETFL, in_flags) != 0)
        return {-1, -1};
    const int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = start(dir, args, in_pipe[0], out);
    close(in_pipe[0]);
    close(out);
    return {pid, in_pipe[1]};
}

// Runs the tool on its own console with a named pipe as its software file, which gives most of sw
// and then stalls; once the old image is emptied and the image's first 256 KiB are on disk, ends
// the run as how says. The run must end within a few seconds; returns its status.
int end_on_stalled_pipe(const fs::path &dir, Disturb how, const std::string &sw, std::uintmax_t old_size)
{
    const auto until = Clock::now() + deadline;
    const std::uintmax_t flushed = 256 * 1024;
    int master = -1;
    int terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0)
        return -2;
    Helper reader;
    if (how == Disturb::ctrl_c_image_undeletable)
        reader = start_helper(dir, "read", "img.bin");
    Helper serve = start_helper(dir, "serve", dir.filename().string());
    const pid_t pid = start(dir, {pipe_path(dir), "img.bin"}, terminal, terminal, true);
    EXPECT_TRUE(write_all(serve.input, sw.substr(0, 128 + flushed + 5000), until));
    std::error_code error;
    for (std::uintmax_t size = old_size; (size == old_size || size < flushed) && Clock::now() < until;
         size = fs::file_size(dir / "img.bin", error))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (how == Disturb::killed_on_stalled_pipe) {
        kill(pid, SIGKILL);
    } else if (how == Disturb::image_renamed_on_stalled_pipe) {
        fs::rename(dir / "img.bin", dir / "moved.bin", error);
        EXPECT_FALSE(error) << error.message();
        stop_helper(serve);
    } else {
        EXPECT_EQ(write(master, "\x03", 1), 1);
    }
    const int status = wait_exit(pid, Clock::now() + std::chrono::seconds(10));
    stop_helper(serve);
    stop_helper(reader);
    close(master);
    close(terminal);
    return status;
}

TEST_P(Disturbance, LeavesNoBrokenImage)
{
    const DisturbanceCase &c = GetParam();
    if (windows && c.posix_only != nullptr)
        GTEST_SKIP() << c.posix_only;
    if (c.windows_only && helper_missing() != nullptr)
        GTEST_SKIP() << helper_missing();
    const std::string sw = pattern(300000);
    const std::string old_img = pattern(50);
    write_file(dir / "sw.bin", sw);
    write_file(dir / "img.bin", old_img);
    const auto until = Clock::now() + deadline;
    int status = -1;

    if (c.how == Disturb::signal_mid_copy) {
        auto [pid, feed] = start_on_pipe(dir, {"/dev/stdin", "img.bin"});
        ASSERT_TRUE(write_all(feed, sw.substr(0, 100000), until));
        // The image is emptied once the tool has opened it; then it waits for more input.
        while (fs::file_size(dir / "img.bin") == old_img.size() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, c.signal);
        status = wait_exit(pid, until);
        close(feed);
    } else if (c.how == Disturb::file_size_limit) {
        status = run(dir, {"sw.bin", "img.bin"}, nullptr, c.prepare).status;
    } else if (c.how == Disturb::software_cut || c.how == Disturb::software_rewritten) {
        if (access(strace_exe, X_OK) != 0)
            GTEST_SKIP() << "needs strace, to slow the tool's reads";
        const std::string big = pattern(4u << 20);
        write_file(dir / "big.bin", big);
        const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t pid = start(dir, {"big.bin", "img.bin"}, null_fd, null_fd, false, nullptr, slow_reads);
        close(null_fd);
        // Once the image has its first bytes, most of the software file is still to be read.
        std::error_code ec;
        while (fs::file_size(dir / "img.bin", ec) <= old_img.size() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (c.how == Disturb::software_cut) {
            fs::resize_file(dir / "big.bin", 1u << 20);
        } else {
            std::fstream file(dir / "big.bin", std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(3u << 20);
            file.write("changed", 7);
        }
        status = wait_exit(pid, until);
    } else if (c.how == Disturb::image_removed || c.how == Disturb::image_moved) {
        auto [pid, feed] = start_on_pipe(dir, {"/dev/stdin", "img.bin"});
        ASSERT_TRUE(write_all(feed, sw.substr(0, 100000), until));
        while (fs::file_size(dir / "img.bin") == old_img.size() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (c.how == Disturb::image_removed)
            fs::remove(dir / "img.bin");
        else
            fs::rename(dir / "img.bin", dir / "moved.bin");
        EXPECT_TRUE(write_all(feed, sw.substr(100000), until));
        close(feed);
        status = wait_exit(pid, until);
        if (c.how == Disturb::image_moved) {
            std::error_code ec;
            EXPECT_EQ(fs::file_size(dir / "moved.bin", ec), 0u) << c.what << ": the moved image kept content";
        }
    } else if (c.how == Disturb::null_image_locked) {
        const int held = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        status = run(dir, {"sw.bin", "/dev/null"}).status;
        close(held);
    } else if (c.how == Disturb::image_locked) {
        const int held = open((dir / "img.bin").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        status = run(dir, {"sw.bin", "img.bin"}).status;
        close(held);
    } else if (c.how == Disturb::fifo_reader_quits) {
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
        std::thread reader([&] {
            char some[100];
            const int fd = open((dir / "fifo").c_str(), O_RDONLY | O_CLOEXEC);
            EXPECT_GT(read(fd, some, sizeof some), 0);
            close(fd);
        });
        status = run(dir, {"sw.bin", "fifo"}).status;
        reader.join();
        EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    } else if (c.how == Disturb::stdout_closed) {
        int out_pipe[2] = {-1, -1};
        ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        close(out_pipe[0]);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const pid_t pid = start(dir, {}, in, out_pipe[1]);
        close(in);
        close(out_pipe[1]);
        status = wait_exit(pid, until);
    } else if (c.how == Disturb::nonblocking_stdin) {
        auto [pid, keys] = start_on_pipe(dir, {}, O_NONBLOCK);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_NE(waitpid(pid, nullptr, WNOHANG), pid) << "the wait ended without a key";
        ASSERT_EQ(write(keys, "k", 1), 1);
        status = wait_exit(pid, until);
        close(keys);
    } else if (c.how == Disturb::lone_cr_key) {
        int in_pipe[2] = {-1, -1};
        int out_pipe[2] = {-1, -1};
        ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        const pid_t pid = start(dir, {}, in_pipe[0], out_pipe[1]);
        close(in_pipe[0]);
        close(out_pipe[1]);
        EXPECT_NE(read_until(out_pipe[0], prompt, until).find(prompt), std::string::npos);
        ASSERT_EQ(write(in_pipe[1], "\r", 1), 1);
        // No more input comes, nor its end, until the tool has ended or been killed.
        status = wait_exit(pid, Clock::now() + std::chrono::seconds(2));
        close(in_pipe[1]);
        close(out_pipe[0]);
    } else if (c.how == Disturb::size_limit_undeletable) {
        Helper reader = start_helper(dir, "read", "img.bin");
        status = run(dir, {"sw.bin", "img.bin"}, nullptr, limit_file_size).status;
        stop_helper(reader);
    } else if (c.how == Disturb::software_held || c.how == Disturb::image_held) {
        Helper writer = start_helper(dir, "write", c.how == Disturb::image_held ? "img.bin" : "sw.bin");
        status = run(dir, {"sw.bin", "img.bin"}).status;
        stop_helper(writer);
    } else if (c.how == Disturb::software_written_by_second_run) {
        // The first run reads sw.bin and waits to write its image into a pipe nobody reads.
        write_file(dir / "other.bin", pattern(400));
        Helper sink = start_helper(dir, "sink", dir.filename().string());
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t first = start(dir, {"sw.bin", pipe_path(dir)}, none, none);
        close(none);
        EXPECT_TRUE(helper_says(sink, "connected"));
        status = run(dir, {"other.bin", "sw.bin"}).status;
        stop_helper(sink);
        EXPECT_EQ(wait_exit(first, until), 1) << "its image pipe was closed";
    } else {
        status = end_on_stalled_pipe(dir, c.how, sw, old_img.size());
    }

    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(read_file(dir / "sw.bin"), sw) << c.what;
    EXPECT_EQ(read_file(dir / "img.bin"), c.old_image_kept  ? std::optional(old_img)
                                          : c.image_emptied ? std::optional(std::string())
                                                            : std::nullopt)
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Disturbance,
    ::testing::Values(
        DisturbanceCase{"SIGINT mid-copy", Disturb::signal_mid_copy, SIGINT, 128 + SIGINT, false, no_signals},
        DisturbanceCase{"SIGTERM mid-copy", Disturb::signal_mid_copy, SIGTERM, 128 + SIGTERM, false,
                        no_signals},
        DisturbanceCase{"SIGHUP mid-copy", Disturb::signal_mid_copy, SIGHUP, 128 + SIGHUP, false, no_signals},
        DisturbanceCase{"write fails part-way", Disturb::file_size_limit, 0, 1, false},
        DisturbanceCase{"write fails part-way, started without stdin and stdout",
                        Disturb::file_size_limit, 0, 1, false,
                        "a Windows program's standard handles are wine's", false, false,
                        limit_file_size_without_stdin_stdout},
        DisturbanceCase{"software file cut short mid-copy", Disturb::software_cut, 0, 1, false,
                        "strace slows the POSIX program"},
        DisturbanceCase{"software file rewritten mid-copy", Disturb::software_rewritten, 0, 1, false,
                        "strace slows the POSIX program"},
        DisturbanceCase{"image removed mid-copy", Disturb::image_removed, 0, 1, false,
                        "no /dev/stdin on Windows"},
        DisturbanceCase{"image renamed mid-copy", Disturb::image_moved, 0, 1, false,
                        "no /dev/stdin on Windows"},
        DisturbanceCase{"dev null image that another process has locked", Disturb::null_image_locked,
                        0, 0, true, "no /dev/null on Windows"},
        DisturbanceCase{"image busy", Disturb::image_locked, 0, 1, true,
                        "wine's share modes do not see this test's POSIX lock"},
        DisturbanceCase{"FIFO image whose reader quits", Disturb::fifo_reader_quits, 0, 1, true,
                        "no FIFOs on Windows"},
        DisturbanceCase{"prompt to a closed pipe", Disturb::stdout_closed, 0, 0, true},
        DisturbanceCase{"non-blocking standard input", Disturb::nonblocking_stdin, 0, 0, true},
        DisturbanceCase{"a lone CR as the key", Disturb::lone_cr_key, 0, 0, true},
        // Windows lets no other program rename the image while it is written; a Linux one can.
        DisturbanceCase{"image renamed before its end", Disturb::image_renamed_on_stalled_pipe, 0, 1,
                        false, nullptr, true},
        // The image cannot be removed, so it is emptied.
        DisturbanceCase{"write fails part-way, image not deletable", Disturb::size_limit_undeletable,
                        0, 1, false, nullptr, true, true},
        DisturbanceCase{"image open for writing elsewhere", Disturb::image_held, 0, 1, true, nullptr, true},
        DisturbanceCase{"software file open for writing elsewhere", Disturb::software_held, 0, 1,
                        true, nullptr, true},
        DisturbanceCase{"second run writes the software file", Disturb::software_written_by_second_run, 0, 1,
                        true, nullptr, true},
        DisturbanceCase{"Ctrl-C on a stalled pipe", Disturb::ctrl_c_on_stalled_pipe, 0, ctrl_c_exit,
                        false, nullptr, true},
        DisturbanceCase{"killed on a stalled pipe", Disturb::killed_on_stalled_pipe, 0, 128 + SIGKILL,
                        false, nullptr, true},
        DisturbanceCase{"Ctrl-C on a stalled pipe, image not deletable",
                        Disturb::ctrl_c_image_undeletable, 0, ctrl_c_exit, false, nullptr, true, true}),
    described<DisturbanceCase>);

// --- Files on file systems of their own, which the test mounts as root. ---

class OwnFileSystems : public Swug {
protected:
    void TearDown() override
    {
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
            umount2(at->c_str(), MNT_DETACH);
        Swug::TearDown();
    }

    // Mounts a file system at a folder below the test folder; false when it cannot.
    bool mount_at(const fs::path &at, const char *type, const std::string &options)
    {
        fs::create_directories(at);
        if (mount(type, at.c_str(), type, 0, options.c_str()) != 0)
            return false;
        mounts.push_back(at);
        return true;
    }

    std::vector<fs::path> mounts;
};

enum class Holder {
    symlink,           // the image's name is a symbolic link to the file
    hard_link,         // the file has another name
    unwritable_folder, // the user may not change the image's folder
    sticky_folder,     // the folder is sticky and the image someone else's
};

struct FullDiskCase {
    const char *what;
    Holder how;
    std::string img; // argument, below the test folder
};

class FullDisk : public OwnFileSystems, public ::testing::WithParamInterface<FullDiskCase> {};

// The image fills a 1 MiB file system, and its name cannot be removed: it is emptied instead, so
// that no name holds part of it.
TEST_P(FullDisk, NoNameKeepsAPartialImage)
{
    const FullDiskCase &c = GetParam();
    if (windows)
        GTEST_SKIP() << "mounts a POSIX file system";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to mount a small file system";
    const fs::path small = dir / "small";
    if (!mount_at(small, "tmpfs", "size=1m,mode=0755"))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string old_img = pattern(50);
    write_file(dir / "sw.bin", pattern(2u << 20));
    const bool unprivileged = c.how == Holder::unwritable_folder || c.how == Holder::sticky_folder;
    if (c.how == Holder::symlink) {
        write_file(small / "target.bin", old_img);
        fs::create_symlink("target.bin", small / "img.bin");
    } else if (c.how == Holder::hard_link) {
        write_file(small / "other.bin", old_img);
        fs::create_hard_link(small / "other.bin", small / "img.bin");
    } else {
        const auto rw = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
        write_file(small / "folder/img.bin", old_img);
        fs::permissions(small / "folder/img.bin", rw);
        fs::permissions(small / "folder", c.how == Holder::sticky_folder
                                              ? fs::perms::all | fs::perms::sticky_bit
                                              : fs::perms::owner_all | fs::perms::group_read |
                                                    fs::perms::group_exec | fs::perms::others_read |
                                                    fs::perms::others_exec);
        // The ordinary user reaches the software file through the test folder, whatever the umask.
        fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(dir / "sw.bin", fs::perms::others_read, fs::perm_options::add);
    }
    const std::optional<Outcome> o =
        unprivileged ? run_as_nobody(dir, {"sw.bin", c.img}) : run(dir, {"sw.bin", c.img});
    if (!o)
        GTEST_SKIP() << no_copy_for_nobody;
    EXPECT_EQ(o->status, 1) << c.what;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(small)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(entry.file_size(), 0u) << c.what << ": " << entry.path() << " holds part of the image";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FullDisk,
    ::testing::Values(FullDiskCase{"image name is a symbolic link", Holder::symlink, "small/img.bin"},
                      FullDiskCase{"image has another hard link", Holder::hard_link, "small/img.bin"},
                      FullDiskCase{"image in a folder the user may not change",
                                   Holder::unwritable_folder, "small/folder/img.bin"},
                      FullDiskCase{"image of someone else in a sticky folder", Holder::sticky_folder,
                                   "small/folder/img.bin"}),
    described<FullDiskCase>);

// An overlay shows its lower files under another device number: the software file seen through it
// and the same file in the lower folder are still one file, whichever is named first.
TEST_F(OwnFileSystems, AFileAndItsOverlayViewAreOneFile)
{
    if (windows)
        GTEST_SKIP() << "mounts a POSIX file system";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to mount an overlay";
    const fs::path base = dir / "fs";
    if (!mount_at(base, "tmpfs", "size=16m"))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    for (const char *sub : {"lower", "upper", "work", "merged"})
        fs::create_directories(base / sub);
    const std::string sw = pattern(5000);
    write_file(base / "lower/sw.bin", sw);
    const std::string layers = "lowerdir=" + (base / "lower").string() + ",upperdir=" +
                               (base / "upper").string() + ",workdir=" + (base / "work").string();
    if (!mount_at(base / "merged", "overlay", layers))
        GTEST_SKIP() << "cannot mount an overlay here";

    for (const auto &[from, to] : {std::pair{"merged/sw.bin", "lower/sw.bin"}, std::pair{"lower/sw.bin", "merged/sw.bin"}}) {
        EXPECT_EQ(run(base, {from, to}).status, 1) << from << " to " << to;
        EXPECT_TRUE(read_file(base / "lower/sw.bin") == sw) << from << " to " << to;
        EXPECT_TRUE(read_file(base / "merged/sw.bin") == sw) << from << " to " << to;
    }
    EXPECT_TRUE(fs::is_empty(base / "upper")) << "the lower file was copied up";
}

// --- Input that cannot seek: the leading block is read and dropped. ---

class Pipe : public Swug, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Pipe, LeadingBlockIsDroppedFromShortReads)
{
    const std::string sw = pattern(GetParam());
    Outcome o;
    if (windows) {
        // No /dev/stdin there: a named pipe that a second process serves.
        if (const char *why = helper_missing())
            GTEST_SKIP() << why;
        Helper serve = start_helper(dir, "serve", dir.filename().string());
        std::thread feeder([&] {
            write_all(serve.input, sw, Clock::now() + deadline);
            stop_helper(serve);
        });
        o = run(dir, {pipe_path(dir), "img.bin"});
        feeder.join();
    } else {
        o = run(dir, {"/dev/stdin", "img.bin"}, &sw);
    }
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(read_file(dir / "img.bin"), body_of(sw));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Pipe, ::testing::Values(0, 100, 128, 129, 3000));

// --- Interactive mode and wrong argument counts. ---

struct InteractiveCase {
    const char *what;
    std::vector<std::string> args;
    bool sw_present;
    bool out_present;
    std::string printed; // before the prompt
};

class Interactive : public Swug, public ::testing::WithParamInterface<InteractiveCase> {};

TEST_P(Interactive, PromptsAndExitsZero)
{
    const InteractiveCase &c = GetParam();
    const std::string sw = pattern(2000);
    const std::string old_img = pattern(10);
    if (c.sw_present)
        write_file(dir / "data/TOVRIK_SW.bin", sw);
    if (c.out_present)
        write_file(dir / "out/TOVRIK_UPGRADE_SW.bin", old_img);
    write_file(dir / "b", old_img);

    const Outcome o = run(dir, c.args);
    EXPECT_EQ(o.status, 0) << c.what;
    EXPECT_EQ(o.out, c.printed + prompt) << c.what;
    const bool converted = c.args.empty() && c.sw_present && c.out_present;
    EXPECT_EQ(read_file(dir / "out/TOVRIK_UPGRADE_SW.bin"),
              converted ? std::optional(body_of(sw))
                        : c.out_present ? std::optional(old_img) : std::nullopt)
        << c.what;
    EXPECT_EQ(read_file(dir / "b"), old_img) << c.what;
}

const std::vector<std::string> no_args;

INSTANTIATE_TEST_SUITE_P(
    Cases, Interactive,
    ::testing::Values(InteractiveCase{"defaults", no_args, true, true, ""},
                      InteractiveCase{"default software file missing", no_args, false, true, ""},
                      InteractiveCase{"no out folder", no_args, true, false, ""},
                      InteractiveCase{"one argument", {"a"}, true, true, "Parameter Error [2]" + newline},
                      InteractiveCase{"three arguments", {"a", "b", "c"}, true, true,
                                      "Parameter Error [4]" + newline},
                      InteractiveCase{"four arguments", {"a", "b", "c", "d"}, true, true,
                                      "Parameter Error [5]" + newline},
                      // The count comes from the parse the names come from. The code page's
                      // best-fit mapping turns U+3000 into a space and U+FF02 into a quote, and
                      // would split or join these words.
                      InteractiveCase{"one argument holding an ideographic space", {"a　b"}, true, true,
                                      "Parameter Error [2]" + newline},
                      InteractiveCase{"one argument holding a full-width quote", {"a＂ b"}, true,
                                      true, "Parameter Error [2]" + newline},
                      InteractiveCase{"three arguments, two holding full-width quotes",
                                      {"a＂", "b", "＂c"}, true, true, "Parameter Error [4]" + newline}),
                         described<InteractiveCase>);

// --- The key press on a terminal. ---

struct KeyCase {
    const char *what;
    std::string key; // the bytes the terminal sends
    int signal = 0;  // sent from outside instead of the key
    bool stopped_first = false; // stopped (SIGTSTP) and continued (SIGCONT) from outside first
    int gap_ms = 0;  // between the key's bytes, as a slow paste sends them
};

class KeyPress : public Swug, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyPress, OneKeyEndsTheWaitUnechoedAndTheTerminalIsRestored)
{
    const KeyCase &c = GetParam();
    if (windows && (c.signal != 0 || c.stopped_first || c.key.size() > 3))
        GTEST_SKIP() << "POSIX signals, and a paste left for a POSIX shell";
    if (windows && c.key == "\x03")
        GTEST_SKIP() << "wine leaves the terminal's ISIG on: ^C arrives as SIGINT, whatever the console mode";
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(terminal, &before), 0);
    const pid_t pid = start(dir, {}, terminal, terminal, true);
    const auto until = Clock::now() + deadline;
    // wine's console draws text a character at a time between cursor escapes: there the prompt's
    // last character shows that it is out.
    const std::string shown = windows ? "!" : prompt;
    EXPECT_NE(read_until(master, shown, until).find(shown), std::string::npos)
        << "the prompt must show before the wait";
    if (windows) {
        // The console's own modes are not the terminal's; the wait needs a moment to set them.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_TRUE(write_all(master, c.key, until));
        EXPECT_EQ(wait_exit(pid, until), 0);
        close(master);
        close(terminal);
        return;
    }
    const auto raw_modes = [&] {
        termios waiting{};
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            tcgetattr(terminal, &waiting);
        } while ((waiting.c_lflag & (ICANON | ECHO | ISIG)) != 0 && Clock::now() < until);
        return (waiting.c_lflag & (ICANON | ECHO | ISIG)) == 0;
    };
    EXPECT_TRUE(raw_modes());

    if (c.stopped_first) {
        // While stopped, the terminal is the shell's again, with its modes as before.
        kill(pid, SIGTSTP);
        int status = 0;
        const auto soon = Clock::now() + std::chrono::seconds(5);
        while (waitpid(pid, &status, WUNTRACED | WNOHANG) != pid && Clock::now() < soon)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(WIFSTOPPED(status)) << "SIGTSTP did not stop the wait";
        termios stopped{};
        tcgetattr(terminal, &stopped);
        EXPECT_EQ(stopped.c_lflag, before.c_lflag) << "the terminal stayed raw while stopped";
        kill(pid, SIGCONT);
        EXPECT_TRUE(raw_modes()) << "the terminal is not raw again once continued";
    }
    if (c.signal != 0) {
        kill(pid, c.signal);
    } else if (c.gap_ms > 0) {
        for (const char byte : c.key) {
            EXPECT_EQ(write(master, &byte, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms));
        }
    } else {
        EXPECT_TRUE(write_all(master, c.key, until));
    }
    EXPECT_EQ(wait_exit(pid, until), c.signal != 0 ? 128 + c.signal : 0);
    EXPECT_EQ(read_until(master, "never printed", Clock::now() + std::chrono::milliseconds(200)), "")
        << "the key was echoed";
    termios after{};
    tcgetattr(terminal, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    // What a shell would read next: a canonical terminal hides an unfinished line, so look raw.
    cfmakeraw(&after);
    tcsetattr(terminal, TCSANOW, &after);
    pollfd left{terminal, POLLIN, 0};
    EXPECT_EQ(poll(&left, 1, 50), 0) << "part of the key was left for the shell";
    close(master);
    close(terminal);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyPress,
                         ::testing::Values(KeyCase{"letter", "x"}, KeyCase{"ctrl C", "\x03"},
                                           KeyCase{"arrow", "\x1b[A"},
                                           // More than the terminal's 4 KiB queue holds.
                                           KeyCase{"paste", std::string(9000, 'p') + "\necho LEAKED\n"},
                                           KeyCase{"SIGTERM", "", SIGTERM},
                                           KeyCase{"SIGHUP", "", SIGHUP},
                                           KeyCase{"SIGINT", "", SIGINT},
                                           KeyCase{"SIGQUIT", "", SIGQUIT},
                                           KeyCase{"stopped and continued from outside", "x", 0, true},
                                           // Longer than 50 reads, but shorter than the bound.
                                           KeyCase{"paste of 300 KB", std::string(300000, 'p') + "\necho LEAKED\n"},
                                           KeyCase{"slow paste of one byte every 40 ms",
                                                   std::string(59, 'p') + "\n", 0, false, 40}),
                         described<KeyCase>);

// --- The key press in a Windows console, with cmd as the shell that reads what is left. ---

struct ConsoleKeyCase {
    const char *what;
    std::vector<std::string> pieces; // typed or pasted into the console, 30 ms apart
};

class ConsoleKey : public Swug, public ::testing::WithParamInterface<ConsoleKeyCase> {};

// cmd runs the tool as a user types its name at the prompt; what the console still holds when the
// tool ends, cmd reads and runs.
TEST_P(ConsoleKey, TheRestOfAPasteDoesNotRunInCmd)
{
    if (!windows)
        GTEST_SKIP() << "a Windows console and cmd";
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    // wine's console takes the terminal's bytes as keys: Enter is a CR, as a console sends it.
    termios raw{};
    ASSERT_EQ(tcgetattr(terminal, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
    fs::copy_file(exe, dir / "swug.exe");
    std::vector<std::string> words{"cmd"};
    if (!launcher.empty())
        words.insert(words.begin(), launcher);
    const pid_t pid = start_words(dir, words, terminal, terminal, true);
    const auto until = Clock::now() + deadline;
    const std::string cmd_prompt = dir.filename().string() + ">";
    EXPECT_NE(read_until(master, cmd_prompt, until).find(cmd_prompt), std::string::npos);
    EXPECT_TRUE(write_all(master, "swug.exe\r", until));
    // wine's console draws the prompt a character at a time, between cursor controls.
    EXPECT_NE(read_until(master, "!", until).find('!'), std::string::npos);

    for (const std::string &piece : GetParam().pieces) {
        EXPECT_TRUE(write_all(master, piece, until));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_NE(read_until(master, cmd_prompt, until).find(cmd_prompt), std::string::npos)
        << "the wait did not end";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(write_all(master, "exit\r", until));
    EXPECT_EQ(wait_exit(pid, until), 0) << "cmd did not take the exit command whole";
    EXPECT_FALSE(fs::exists(dir / "pasted.txt")) << "cmd ran the rest of the paste";
    pollfd left{terminal, POLLIN, 0};
    EXPECT_EQ(poll(&left, 1, 50), 0) << "part of the paste was left on the terminal";
    close(master);
    close(terminal);
}

// A key, then a long paste of command lines, in pieces that arrive for about a second.
std::vector<std::string> long_paste()
{
    std::vector<std::string> pieces{"x"};
    pieces.insert(pieces.end(), 30, "echo hi> pasted.txt\r");
    return pieces;
}

INSTANTIATE_TEST_SUITE_P(
    Pastes, ConsoleKey,
    ::testing::Values(ConsoleKeyCase{"paste", {"xecho hi> pasted.txt\r"}},
                      ConsoleKeyCase{"long paste in pieces", long_paste()},
                      ConsoleKeyCase{"paste in pieces", {"x", "echo", " hi>", " pasted", ".txt\r"}},
                      ConsoleKeyCase{"arrow key then a paste", {"\x1b[A", "echo hi> pasted.txt\r"}}),
    described<ConsoleKeyCase>);

} // namespace
