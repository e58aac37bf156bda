// The Windows sweep: a reference run counts each file call of the tool's that the strict layer
// patches (tests/wine/strict-faults.h), then each occurrence of each call fails in turn, or meets
// Ctrl-C, one run apiece, and every run must leave what broken_by_run asks.
#include "harness.h"

#include <cstdio>
#include <map>
#include <utility>

namespace {

using namespace e2e;

struct Scenario {
    const char *what;
    bool old_image; // an image is there before the run
    bool pipe;      // the software file is a named pipe that a second process serves
};

const Scenario scenarios[] = {{"new image", false, false}, {"old image", true, false}, {"pipe", false, true}};

// Runs the tool on a fresh software file in dir; what the run broke, or an empty string.
std::string swept_run(const fs::path &dir, const Scenario &s, int ended_by)
{
    fs::remove_all(dir);
    const std::string sw = pattern(40000);
    const std::optional<std::string> old_img = s.old_image ? std::optional(pattern(50)) : std::nullopt;
    write_file(dir / "sw.bin", sw);
    if (old_img)
        write_file(dir / "img.bin", *old_img);
    // The server is fed while the tool runs, and killed once it has ended, whether or not the tool
    // came for its pipe. Each run names a pipe of its own: the killed server's single instance
    // lingers until wineserver has seen it die, and a server for the same name would be refused.
    static int serial = 0;
    const std::string pipe_name = dir.filename().string() + "-" + std::to_string(++serial);
    Helper serve = s.pipe ? start_helper(dir, "serve", pipe_name) : Helper{};
    std::thread feeder([&, feed = std::exchange(serve.input, -1)] {
        if (feed >= 0)
            write_all(feed, sw, Clock::now() + deadline);
        close(feed);
    });
    const auto start = Clock::now();
    const int status = run(dir, {s.pipe ? R"(\\.\pipe\)" + pipe_name : "sw.bin", "img.bin"}).status;
    const auto took = Clock::now() - start;
    if (serve.pid > 0)
        kill(serve.pid, SIGKILL);
    feeder.join();
    stop_helper(serve);
    if (took > std::chrono::seconds(i386_emulated ? 10 : 5))
        return "took more than a few seconds";
    return broken_by_run(status, ended_by, read_file(dir / "sw.bin"), sw, read_file(dir / "img.bin"), old_img);
}

TEST_F(Swug, windows_sweep)
{
    if (!windows)
        GTEST_SKIP() << "the Windows sweep, for a Windows build";
    SKIP_UNLESS(layer, "needs the strict layer, to fail the tool's calls");
    int runs = 0;
    int violations = 0;
    for (const Scenario &s : scenarios) {
        // Under qemu a run takes seconds: the old image only, each call once, at its middle,
        // failed or met by Ctrl-C by turns.
        if ((s.pipe && helper_missing() != nullptr) || (i386_emulated && !s.old_image))
            continue;
        {
            const EnvFor count("STRICT_COUNT", (dir / "counts").c_str());
            ASSERT_EQ(swept_run(dir / "run", s, 0), "") << s.what << ": the reference run";
        }
        std::ifstream list(dir / "counts");
        std::map<std::string, long> counts;
        std::string name;
        for (long n = 0; list >> name >> n;)
            counts[name] = n;
        const int before = runs;
        bool ctrl_c_turn = false;
        for (const auto &[call, n] : counts) {
            ctrl_c_turn = !ctrl_c_turn;
            for (long k = 1; k <= n; ++k)
                for (const int ended_by : {0, ctrl_c_exit}) {
                    if (i386_emulated && (k != (n + 1) / 2 || (ended_by != 0) != ctrl_c_turn))
                        continue;
                    const std::string at = call + ":" + std::to_string(k);
                    const EnvFor fault(ended_by != 0 ? "STRICT_BREAK" : "STRICT_FAIL", at.c_str());
                    std::string broke = swept_run(dir / "run", s, ended_by);
                    // qemu itself now and then crashes where a second thread ends the process too.
                    if (i386_emulated && broke == "exit status " + std::to_string(128 + SIGSEGV))
                        broke = swept_run(dir / "run", s, ended_by);
                    ++runs;
                    violations += broke.empty() ? 0 : 1;
                    if (!broke.empty())
                        std::printf("sweep violation: %s, %s %s: %s\n", s.what, ended_by != 0 ? "Ctrl-C at" : "failed",
                                    at.c_str(), broke.c_str());
                }
        }
        std::printf("sweep, %s: %d runs\n", s.what, runs - before);
    }
    std::printf("sweep: %d runs, %d violations (Windows; %s%s)\n", runs, violations,
                linked_layer ? "the strict layer linked into the tool: qemu cannot inject it" : "the strict layer injected",
                i386_emulated ? "; each call once, failed or met by Ctrl-C by turns" : "");
    EXPECT_EQ(violations, 0);
}

} // namespace
