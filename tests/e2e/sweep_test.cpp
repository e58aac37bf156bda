// Every failure of every system call, swept: a reference run under strace lists the tool's calls,
// then each occurrence of each call fails in turn, or meets SIGTERM on entry, and every run must
// leave what broken_by_run asks. A new failure path is covered here the day it is written.
#include "harness.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

namespace {

using namespace e2e;

struct Scenario {
    const char *what;
    bool old_image;               // an image is there before the run
    bool from_pipe;               // the software file is /dev/stdin, a pipe
    bool on_loop;                 // the image is a loop device
    const char *always = nullptr; // a fault that every run meets, as strace's inject= says it
    bool appended = false;        // the image is standard output, appending to the old image
};

const Scenario scenarios[] = {
    {"new image", false, false, false},
    {"old image", true, false, false},
    // As securityfs files do: the leading block is read and dropped instead.
    {"software file that cannot seek", false, false, false, "lseek:error=ESPIPE"},
    {"software file from a pipe", true, true, false},
    {"image on a loop device", true, false, true},
    {"image standard output appending to a file", true, false, false, nullptr, true},
};

bool among(const std::string &call, const std::string &calls)
{
    return (" " + calls + " ").find(" " + call + " ") != std::string::npos;
}

// The faults of a reference run's calls, one run each, from main's first call (a look at standard
// input) on: EIO; ENOSPC for writes, syncs and truncation; EINTR for reads, writes and opens;
// SIGTERM on entry. strace counts a call's occurrences from the start, the loader's too. The
// set-up's calls, before the first open, are the same in every scenario: only the first sweeps
// them. The allocator's calls are left out: the tool allocates nothing itself, and a sanitizer's
// allocator ends the process when one fails. So is the process's end, which cannot fail.
std::vector<std::string> faults_in(const std::string &log, const char *always, bool set_up)
{
    std::istringstream lines(log);
    std::map<std::string, int> seen;
    std::vector<std::string> faults;
    bool in_main = false;
    bool opened = false;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t from = line.find_first_not_of(' ', line.find(' ')); // past the process id
        const std::string call = line.substr(from, line.find('(') - from);
        if (call.empty() || call.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos)
            continue; // a signal, or the end
        in_main = in_main || line.compare(from, 17, "fcntl(0, F_GETFD)") == 0;
        opened = opened || (in_main && among(call, "open openat"));
        const std::string when = ":when=" + std::to_string(++seen[call]);
        if (!in_main || !(opened || set_up) || among(call, "brk mmap munmap mremap mprotect madvise exit_group") ||
            std::string(always != nullptr ? always : "").rfind(call + ":", 0) == 0)
            continue;
        faults.insert(faults.end(), {call + ":error=EIO" + when, call + ":signal=TERM" + when});
        if (among(call, "write pwrite64 writev fsync fdatasync ftruncate"))
            faults.push_back(call + ":error=ENOSPC" + when);
        if (among(call, "read pread64 readv write pwrite64 writev open openat"))
            faults.push_back(call + ":error=EINTR" + when);
    }
    return faults;
}

// A run: its exit status, whether its fault came, and what broke, or an empty string.
struct Played {
    int status;
    bool met;
    std::string broken;
};

class PosixSweep : public OwnFileSystems {
protected:
    void SetUp() override { Swug::SetUp(); } // root only for the loop devices

    // Plays one run in folder at, with fault injected (none when empty).
    Played play(const Scenario &s, const fs::path &at, const std::string &img, const std::string &fault)
    {
        const std::string old(body.size(), 'o');
        if (s.old_image)
            write_file(at / img, old);
        else
            fs::remove(at / img);
        std::vector<std::string> tracer = traced(fault, (at / "strace.log").string());
        if (s.always != nullptr)
            tracer.insert(tracer.end(), {"-e", std::string("inject=") + s.always});
        const auto until = Clock::now() + std::chrono::seconds(10);
        const auto [pid, feed] =
            start_on_pipe(at, {s.from_pipe ? "/dev/stdin" : "sw.bin", s.appended ? "/dev/stdout" : img}, 0,
                          s.appended ? stdout_appends_to_image : nullptr, tracer);
        // The tool may go before it has read it all.
        if (s.from_pipe && fcntl(feed, F_SETFL, O_NONBLOCK) == 0)
            (void)write_all(feed, sw, until);
        close(feed);
        Played p{wait_exit(pid, until), false, ""};
        const std::string log = read_file(at / "strace.log").value_or("");
        p.met = log.find("(INJECTED)") != std::string::npos || log.find("--- SIGTERM") != std::string::npos;
        std::optional<std::string> image = read_file(at / img);
        // A disk can be neither removed nor emptied: what a failed run left on it is not asked.
        if (s.on_loop)
            image = p.status == 0 ? std::optional(image.value_or("").substr(0, body.size())) : std::nullopt;
        // What was appended after the old image, which stays whole.
        if (s.appended)
            image = image.value_or("").rfind(old, 0) == 0 ? image->substr(old.size()) : "the old image harmed";
        const int ended_by = fault.find("signal=TERM") != std::string::npos ? 128 + SIGTERM : 0;
        p.broken = broken_by_run(p.status, ended_by, read_file(at / "sw.bin"), sw, image, old);
        if (!p.broken.empty())
            p.broken += ", exit status " + std::to_string(p.status) + ", image of " +
                        std::to_string(image.value_or("").size()) + " bytes";
        return p;
    }

    // A few blocks past the smallest stream buffer, and past a pipe's 64 KiB.
    const std::string sw = pattern(70000);
    const std::string body = body_of(sw);
};

TEST_F(PosixSweep, posix_sweep)
{
    if (windows)
        GTEST_SKIP() << "strace injects faults into the POSIX program";
    SKIP_UNLESS(access(strace_exe, X_OK) == 0, "needs strace, to inject faults");
    // Two runs at a time, each in a folder of its own, with a loop device of its own.
    const fs::path at[2] = {dir / "w0", dir / "w1"};
    std::string disks[2];
    for (int w = 0; w < 2; ++w) {
        write_file(at[w] / "sw.bin", sw);
        write_file(at[w] / "disk.bin", std::string(1u << 20, '\0'));
        disks[w] = geteuid() == 0 ? loop_device_on(at[w] / "disk.bin") : "";
    }
    const bool loops_here = !disks[0].empty() && !disks[1].empty();
    std::size_t runs = 0;
    std::size_t violations = 0;
    for (const Scenario &s : scenarios) {
        if (s.on_loop && !loops_here)
            continue;
        const auto image_of = [&](int w) { return s.on_loop ? disks[w] : std::string("img.bin"); };
        const Played reference = play(s, at[0], image_of(0), "");
        EXPECT_TRUE(reference.status == 0 && reference.broken.empty()) << s.what << ": " << reference.broken;
        EXPECT_EQ(reference.met, s.always != nullptr) << s.what << ": the reference run's own fault";
        const std::vector<std::string> faults =
            faults_in(read_file(at[0] / "strace.log").value_or(""), s.always, &s == scenarios);
        std::atomic<std::size_t> next{0};
        std::atomic<int> unmet{0};
        std::mutex named;
        std::vector<std::string> broken;
        const auto worker = [&](int w) {
            for (std::size_t i = next++; i < faults.size(); i = next++) {
                const Played p = play(s, at[w], image_of(w), faults[i]);
                unmet += p.met ? 0 : 1;
                const std::lock_guard<std::mutex> lock(named);
                if (!p.broken.empty())
                    broken.push_back(faults[i] + ": " + p.broken);
            }
        };
        std::thread second(worker, 1);
        worker(0);
        second.join();
        for (const std::string &what : broken)
            std::printf("sweep violation: %s, %s\n", s.what, what.c_str());
        std::printf("sweep, %s: %zu runs, %zu violations, %d faults not met\n", s.what, faults.size(),
                    broken.size(), unmet.load());
        // A pipe's reads are as many as its writer's timing makes them.
        EXPECT_TRUE(!faults.empty() && (s.from_pipe || unmet == 0)) << s.what << ": " << unmet << " faults not met";
        runs += faults.size();
        violations += broken.size();
    }
    std::printf("sweep: %zu runs, %zu violations\n", runs, violations);
    std::fflush(stdout);
    EXPECT_EQ(violations, 0u);
    SKIP_UNLESS(loops_here, "cannot bind a loop device here, for the image on a disk");
}

} // namespace
