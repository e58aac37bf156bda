// Running the tool, or another program, and waiting for its end.
// Part of the end-to-end suite's harness: include harness.h, which includes this file.
#ifndef SWUG_E2E_HARNESS_RUN_H
#define SWUG_E2E_HARNESS_RUN_H

namespace e2e {

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

// Descriptor fd is img.bin, opened with flags, as a shell's ">" (O_TRUNC) or ">>" (O_APPEND) leaves it.
template <int fd, int flags> void image_as_descriptor()
{
    const int opened = open("img.bin", O_WRONLY | O_CLOEXEC | flags);
    if (opened < 0 || dup2(opened, fd) < 0)
        _exit(126);
}
inline constexpr Prepare stdout_appends_to_image = image_as_descriptor<1, O_APPEND>;

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
} // namespace e2e

#endif
