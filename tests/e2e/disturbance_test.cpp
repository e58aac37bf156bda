// Runs that fail or are cut short leave no broken image and no wait behind.
#include "harness.h"

#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>

namespace {

using namespace e2e;

enum class Disturb {
    signal_mid_copy,   // a signal while the tool reads a slow pipe
    ignored_signal_mid_copy, // the same, with the signal ignored by whoever started the tool
    file_size_limit,   // writes fail part-way, as on a full disk
    image_locked,      // another run is writing the image
    image_flocked,     // a wrapper such as flock(1) holds a lock on the image
    image_bytes_locked, // another program holds an fcntl lock on the image's bytes
    fifo_reader_quits, // the image is a FIFO whose reader goes away
    fifo_two_runs,     // two runs write one FIFO, which one reader reads
    signal_before_read, // a signal after the image is opened, before the first read of a silent pipe
    stdout_closed,     // interactive, and the prompt cannot be printed
    nonblocking_stdin, // interactive, with standard input left non-blocking
    software_cut,      // the software file is truncated while the tool reads it
    software_rewritten, // part of the software file is rewritten while the tool reads it
    software_chmod,    // the software file's mode changes while the tool reads it
    image_removed,     // the image's name is removed while the tool writes it
    image_moved,       // the image is renamed while the tool writes it
    null_image_locked, // the image is /dev/null, which another process holds a lock on
    lone_cr_key,       // interactive, the key a lone CR on a pipe that stays open
    size_limit_undeletable, // writes fail part-way, and a reader keeps the image from being deleted
    size_limit_linked, // writes fail part-way, and the image is a second name of target.bin
    image_held,        // a second program has the image open for writing
    software_held,     // a second program has the software file open for writing
    software_written_by_second_run, // a second run tries to write the software file while the tool reads it
    // The software file is a named pipe that stalls after its first 100000 bytes, then:
    ctrl_c_on_stalled_pipe,  // Ctrl-C on the tool's console
    ctrl_c_image_undeletable, // the same, with the image held by a reader that denies deleting it
    ctrl_c_image_linked,     // the same, with the image a second name (hard link) of target.bin
    killed_on_stalled_pipe,  // the process is killed
    image_renamed_on_stalled_pipe, // the image is renamed, then the pipe ends
    pipe_server_hangs_up, // the software file is a named pipe whose server disconnects after its data
    played,            // a run on a Windows that the strict layer plays (strict_as)
};

struct DisturbanceCase {
    const char *what;
    Disturb how;
    int signal = 0;              // sent mid-copy
    int status = 0;              // by default, 128 + the signal when one is sent
    bool old_image_kept = false; // else no img.bin is left, or an empty one
    const char *posix_only = nullptr; // why the case has no meaning on Windows
    bool windows_only = false;        // it needs a second Windows process
    bool image_emptied = false;       // an empty img.bin is left
    Prepare prepare = limit_file_size; // for file_size_limit
    bool needs_root = false;
    bool image_written = false;       // img.bin holds the image
    const char *strict_as = nullptr;  // the Windows that the strict layer plays
    std::string img = "img.bin";      // the image's argument; img.bin is the file checked
    bool appended = false;            // img.bin holds the old image, then the image
};

const char no_signals[] = "a Windows program gets no POSIX signals";

// The same, with no /dev/null to fill the closed descriptors with, as in a bare chroot: an empty
// /dev in a mount namespace of the tool's own.
bool hide_dev_null()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") == 0;
}
void without_dev_null_stdin_stdout()
{
    if (!hide_dev_null())
        _exit(126);
    limit_file_size_without_stdin_stdout();
}
// Root may lack the right to do so (CAP_SYS_ADMIN), as in many containers: a child tries.
bool may_hide_dev_null()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(hide_dev_null() ? 0 : 1);
    int status = -1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Writes fail part-way, and standard error appends to img.bin, as a shell's "2>>" leaves it.
void limit_file_size_stderr_appends_to_image()
{
    limit_file_size();
    image_as_descriptor<2, O_APPEND>();
}

// Writes fail part-way, and SIGHUP is ignored, as nohup starts a program.
void limit_file_size_ignoring_sighup()
{
    limit_file_size();
    if (signal(SIGHUP, SIG_IGN) == SIG_ERR)
        _exit(126);
}

class Disturbance : public Swug, public ::testing::WithParamInterface<DisturbanceCase> {};

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
    if (c.windows_only && !windows)
        GTEST_SKIP() << "a second Windows process holds the file or serves the pipe";
    SKIP_UNLESS(!c.windows_only || helper_missing() == nullptr, helper_missing());
    SKIP_UNLESS(!c.needs_root || may_hide_dev_null(),
                "needs root with CAP_SYS_ADMIN, to hide /dev/null in a mount namespace of its own");
    // A service's log-off and shutdown reach the tool as console control events too.
    const bool control_event = c.status == ctrl_c_exit || std::string(c.strict_as ? c.strict_as : "").rfind("service-", 0) == 0;
    if (i386_emulated && control_event)
        GTEST_SKIP() << "qemu's user-mode emulation crashes on a console control event";
    PLAY_AS(c.strict_as);
    const std::string sw = pattern(300000);
    const std::string old_img = body_of(pattern(178)); // an earlier run's image
    write_file(dir / "sw.bin", sw);
    write_file(dir / "img.bin", old_img);
    // Removing one name of a file with two leaves its content under the other.
    const bool linked = c.how == Disturb::size_limit_linked || c.how == Disturb::ctrl_c_image_linked;
    if (linked)
        fs::create_hard_link(dir / "img.bin", dir / "target.bin");
    const auto until = Clock::now() + deadline;
    int status = -1;

    const bool signalled = c.how == Disturb::signal_mid_copy ||
                           c.how == Disturb::ignored_signal_mid_copy || c.how == Disturb::image_locked;
    if (signalled || c.how == Disturb::image_removed || c.how == Disturb::image_moved) {
        auto [pid, feed] = start_on_pipe(dir, {"/dev/stdin", c.img}, 0,
                                         c.how == Disturb::ignored_signal_mid_copy || c.img != "img.bin" ? c.prepare : nullptr);
        ASSERT_TRUE(write_all(feed, sw.substr(0, 100000), until));
        // The image is emptied once the tool has opened it; then it waits for more input.
        while (fs::file_size(dir / "img.bin") == old_img.size() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // A second run onto the image is refused while the first writes it.
        if (c.how == Disturb::image_locked) {
            EXPECT_EQ(run(dir, {"sw.bin", "img.bin"}).status, 1) << c.what;
        }
        if (signalled)
            kill(pid, c.signal);
        else if (c.how == Disturb::image_removed)
            fs::remove(dir / "img.bin");
        else
            fs::rename(dir / "img.bin", dir / "moved.bin");
        EXPECT_TRUE(signalled || write_all(feed, sw.substr(100000), until));
        // A signal that is not ignored ends the run while the pipe's writer is still there.
        const bool ends_run = signalled && c.how != Disturb::ignored_signal_mid_copy;
        if (!ends_run)
            close(feed);
        status = wait_exit(pid, ends_run ? Clock::now() + std::chrono::seconds(5) : until);
        close(feed);
        std::error_code ec;
        EXPECT_TRUE(c.how != Disturb::image_moved || fs::file_size(dir / "moved.bin", ec) == 0u)
            << c.what << ": the moved image kept content";
    } else if (c.how == Disturb::file_size_limit || c.how == Disturb::size_limit_linked ||
               c.how == Disturb::played) {
        status = run(dir, {"sw.bin", c.img}, nullptr, c.prepare).status;
    } else if (c.how == Disturb::software_cut || c.how == Disturb::software_rewritten ||
               c.how == Disturb::software_chmod) {
        SKIP_UNLESS(access(strace_exe, X_OK) == 0, "needs strace, to slow the tool's reads");
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
        } else if (c.how == Disturb::software_chmod) {
            fs::permissions(dir / "big.bin", fs::perms::owner_read);
        } else {
            std::fstream file(dir / "big.bin", std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(3u << 20);
            file.write("changed", 7);
        }
        status = wait_exit(pid, until);
    } else if (c.how == Disturb::null_image_locked || c.how == Disturb::image_flocked ||
               c.how == Disturb::image_bytes_locked) {
        const std::string img = c.how == Disturb::null_image_locked ? "/dev/null" : (dir / "img.bin").string();
        const int held = open(img.c_str(), O_RDWR | O_CLOEXEC);
        struct flock bytes{};
        bytes.l_type = F_WRLCK;
        bytes.l_len = static_cast<off_t>(sw.size());
        ASSERT_EQ(c.how == Disturb::image_bytes_locked ? fcntl(held, F_SETLK, &bytes) : flock(held, LOCK_EX), 0);
        status = run(dir, {"sw.bin", img}).status;
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
    } else if (c.how == Disturb::fifo_two_runs) {
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
        const std::string other(200000, 'o');
        write_file(dir / "other.bin", other);
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t first = start(dir, {"sw.bin", "fifo"}, none, none);
        const pid_t second = start(dir, {"other.bin", "fifo"}, none, none);
        close(none);
        // Both wait for the reader.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string got = read_file(dir / "fifo").value_or("");
        status = wait_exit(first, until) + wait_exit(second, until);
        EXPECT_TRUE(got == body_of(sw) || got == body_of(other)) << c.what << ": the reader got a mixed stream";
    } else if (c.how == Disturb::signal_before_read) {
        SKIP_UNLESS(access(strace_exe, X_OK) == 0, "needs strace, to slow the tool's status reads");
        auto [tracer, feed] = start_on_pipe(dir, {"/dev/stdin", "img.bin"}, 0, nullptr,
                                            traced("newfstatat:delay_exit=300000"));
        const pid_t tool = traced_child(tracer, until);
        // Once the image is open, the status reads before the first read of the pipe take a second.
        EXPECT_TRUE(tool > 0 && wait_until_open(tool, fs::canonical(dir) / "img.bin", until));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (tool > 0)
            kill(tool, c.signal);
        status = wait_exit(tracer, Clock::now() + std::chrono::seconds(5));
        close(feed);
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
    } else if (c.how == Disturb::pipe_server_hangs_up) {
        Helper serve = start_helper(dir, "hangup", dir.filename().string());
        std::thread feeder([&] {
            write_all(serve.input, sw, until);
            stop_helper(serve);
        });
        status = run(dir, {pipe_path(dir), "img.bin"}).status;
        feeder.join();
    } else {
        status = end_on_stalled_pipe(dir, c.how, sw, old_img.size());
    }

    EXPECT_EQ(status, c.status != 0 || c.signal == 0 ? c.status : 128 + c.signal) << c.what;
    EXPECT_EQ(read_file(dir / "sw.bin"), sw) << c.what;
    EXPECT_EQ(read_file(dir / "img.bin"), c.image_written    ? std::optional((c.appended ? old_img : "") + body_of(sw))
                                          : c.old_image_kept ? std::optional(old_img)
                                          : c.image_emptied  ? std::optional(std::string())
                                                             : std::nullopt)
        << c.what;
    EXPECT_TRUE(!linked || read_file(dir / "target.bin") == std::string()) << c.what << ": target.bin kept part of the image";
}

// Each row names only what differs from a plain run.
const DisturbanceCase disturbances[] = {
    {.what = "SIGINT mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGINT, .posix_only = no_signals},
    {.what = "SIGTERM mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGTERM, .posix_only = no_signals},
    {.what = "SIGHUP mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGHUP, .posix_only = no_signals},
    // The other signals whose default action ends the process, bar those that dump core.
    {.what = "SIGUSR1 mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGUSR1, .posix_only = no_signals},
    {.what = "SIGUSR2 mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGUSR2, .posix_only = no_signals},
    {.what = "SIGALRM mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGALRM, .posix_only = no_signals},
    {.what = "SIGPWR mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGPWR, .posix_only = no_signals},
    {.what = "SIGVTALRM mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGVTALRM, .posix_only = no_signals},
    {.what = "SIGPROF mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGPROF, .posix_only = no_signals},
    {.what = "SIGPOLL mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGPOLL, .posix_only = no_signals},
    {.what = "real-time signal mid-copy", .how = Disturb::signal_mid_copy, .signal = SIGRTMAX,
     .posix_only = no_signals},
    // A signal that the tool was started to ignore is ignored: the run goes on, and fails alone.
    {.what = "ignored SIGHUP mid-copy, then write fails part-way", .how = Disturb::ignored_signal_mid_copy,
     .signal = SIGHUP, .status = 1, .posix_only = no_signals, .prepare = limit_file_size_ignoring_sighup},
    {.what = "write fails part-way", .how = Disturb::file_size_limit, .status = 1},
    // An image that a descriptor of the shell holds keeps its name; ">>" keeps what it held.
    {.what = "SIGTERM mid-copy, image standard output", .how = Disturb::signal_mid_copy, .signal = SIGTERM,
     .posix_only = no_signals, .image_emptied = true, .prepare = image_as_descriptor<1, O_TRUNC>, .img = "/dev/stdout"},
    {.what = "image standard output appending", .how = Disturb::played, .posix_only = "no /dev/stdout on Windows",
     .prepare = stdout_appends_to_image, .image_written = true, .img = "/dev/stdout", .appended = true},
    {.what = "write fails part-way, image standard error appending", .how = Disturb::file_size_limit, .status = 1,
     .old_image_kept = true, .posix_only = "no /dev/stderr on Windows",
     .prepare = limit_file_size_stderr_appends_to_image, .img = "/dev/stderr"},
    {.what = "write fails part-way, started without stdin and stdout", .how = Disturb::file_size_limit, .status = 1,
     .posix_only = "a Windows program's standard handles are wine's",
     .prepare = limit_file_size_without_stdin_stdout},
    {.what = "write fails part-way, started without stdin and stdout, and no dev null",
     .how = Disturb::file_size_limit, .status = 1, .posix_only = "a Windows program's standard handles are wine's",
     .prepare = without_dev_null_stdin_stdout, .needs_root = true},
    {.what = "software file cut short mid-copy", .how = Disturb::software_cut, .status = 1,
     .posix_only = "strace slows the POSIX program"},
    {.what = "software file rewritten mid-copy", .how = Disturb::software_rewritten, .status = 1,
     .posix_only = "strace slows the POSIX program"},
    {.what = "software file's mode changed mid-copy", .how = Disturb::software_chmod, .status = 1,
     .posix_only = "strace slows the POSIX program"},
    {.what = "image removed mid-copy", .how = Disturb::image_removed, .status = 1,
     .posix_only = "no /dev/stdin on Windows"},
    {.what = "image renamed mid-copy", .how = Disturb::image_moved, .status = 1,
     .posix_only = "no /dev/stdin on Windows"},
    {.what = "dev null image that another process has locked", .how = Disturb::null_image_locked,
     .old_image_kept = true, .posix_only = "no /dev/null on Windows"},
    // The first run ends by the signal and removes the image it emptied.
    {.what = "image busy", .how = Disturb::image_locked, .signal = SIGTERM,
     .posix_only = "no /dev/stdin on Windows"},
    {.what = "image under a wrapper's flock", .how = Disturb::image_flocked,
     .posix_only = "wine's share modes do not see this test's POSIX lock", .image_written = true},
    {.what = "image whose bytes another program has locked", .how = Disturb::image_bytes_locked,
     .posix_only = "wine's share modes do not see this test's POSIX lock", .image_written = true},
    {.what = "FIFO image whose reader quits", .how = Disturb::fifo_reader_quits, .status = 1, .old_image_kept = true,
     .posix_only = "no FIFOs on Windows"},
    {.what = "FIFO image that two runs write", .how = Disturb::fifo_two_runs, .status = 1, .old_image_kept = true,
     .posix_only = "no FIFOs on Windows"},
    {.what = "SIGTERM before the first read of a silent pipe", .how = Disturb::signal_before_read, .signal = SIGTERM,
     .old_image_kept = true, .posix_only = no_signals},
    {.what = "prompt to a closed pipe", .how = Disturb::stdout_closed, .old_image_kept = true},
    {.what = "non-blocking standard input", .how = Disturb::nonblocking_stdin, .old_image_kept = true},
    {.what = "a lone CR as the key", .how = Disturb::lone_cr_key, .old_image_kept = true},
    // Windows lets no other program rename the image while it is written; a Linux one can.
    {.what = "image renamed before its end", .how = Disturb::image_renamed_on_stalled_pipe, .status = 1,
     .windows_only = true},
    // The image cannot be removed, so it is emptied.
    {.what = "write fails part-way, image not deletable", .how = Disturb::size_limit_undeletable, .status = 1,
     .windows_only = true, .image_emptied = true},
    // A second name keeps the file when the image's name goes, so it is emptied.
    {.what = "write fails part-way, image has a second name", .how = Disturb::size_limit_linked, .status = 1,
     .image_emptied = true},
    {.what = "image open for writing elsewhere", .how = Disturb::image_held, .status = 1, .old_image_kept = true,
     .windows_only = true},
    {.what = "software file open for writing elsewhere", .how = Disturb::software_held, .status = 1,
     .old_image_kept = true, .windows_only = true},
    {.what = "second run writes the software file", .how = Disturb::software_written_by_second_run, .status = 1,
     .old_image_kept = true, .windows_only = true},
    {.what = "Ctrl-C on a stalled pipe", .how = Disturb::ctrl_c_on_stalled_pipe, .status = ctrl_c_exit,
     .windows_only = true},
    {.what = "killed on a stalled pipe", .how = Disturb::killed_on_stalled_pipe, .status = 128 + SIGKILL,
     .windows_only = true},
    {.what = "Ctrl-C on a stalled pipe, image not deletable", .how = Disturb::ctrl_c_image_undeletable,
     .status = ctrl_c_exit, .windows_only = true, .image_emptied = true},
    {.what = "Ctrl-C on a stalled pipe, image has a second name", .how = Disturb::ctrl_c_image_linked,
     .status = ctrl_c_exit, .windows_only = true, .image_emptied = true},
    // The client cannot tell whether the disconnect threw away data it had not read.
    {.what = "pipe server disconnects after its data", .how = Disturb::pipe_server_hangs_up, .status = 1,
     .windows_only = true},
    // The bytes reach the share only after the close, where a failure would be seen by nobody.
    {.what = "image on a network share that is lost before its flush", .how = Disturb::played, .status = 1,
     .prepare = nullptr, .strict_as = "lost-share"},
    {.what = "image on a fixed disk whose write-back fails", .how = Disturb::played, .status = 1, .prepare = nullptr,
     .strict_as = "failing-disk"},
    // Nothing there keeps the software file from opening as the image; an old image that begins otherwise is no copy.
    {.what = "old image on NFS", .how = Disturb::played, .prepare = nullptr, .image_written = true,
     .strict_as = "nfs-volume"},
    // Only a service's console programs see these, and its default handler ignores them.
    {.what = "user logs off mid-copy, under a service", .how = Disturb::played, .prepare = nullptr,
     .image_written = true, .strict_as = "service-logoff"},
    {.what = "system shuts down mid-copy, under a service", .how = Disturb::played, .prepare = nullptr,
     .image_written = true, .strict_as = "service-shutdown"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Disturbance, ::testing::ValuesIn(disturbances), described<DisturbanceCase>);

} // namespace
