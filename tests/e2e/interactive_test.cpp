// Interactive mode: the prompt, wrong argument counts, and the key press on a terminal and
// in a Windows console.
#include "harness.h"

#include <pty.h>
#include <termios.h>

namespace {

using namespace e2e;

// --- Interactive mode and wrong argument counts. ---

struct InteractiveCase {
    const char *what;
    std::vector<std::string> args;
    bool sw_present;
    bool out_present;
    std::string printed; // before the prompt
};

class Interactive : public Swug, public ::testing::WithParamInterface<InteractiveCase> {};

// A failure names its row, not the row's bytes.
void PrintTo(const InteractiveCase &c, std::ostream *os) { *os << c.what; }

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

void PrintTo(const KeyCase &c, std::ostream *os) { *os << c.what; }

TEST_P(KeyPress, OneKeyEndsTheWaitUnechoedAndTheTerminalIsRestored)
{
    const KeyCase &c = GetParam();
    if (windows && (c.signal != 0 || c.stopped_first || c.key.size() > 3))
        GTEST_SKIP() << "POSIX signals, and a paste left for a POSIX shell";
    if (windows && c.key == "\x03")
        GTEST_SKIP() << "wine leaves the terminal's ISIG on: ^C arrives as SIGINT, whatever the console mode";
    int master = -1;
    int terminal = -1;
    // A minimal container or chroot may have no /dev/pts.
    SKIP_UNLESS(openpty(&master, &terminal, nullptr, nullptr, nullptr) == 0,
                "needs a pseudo-terminal: mount devpts on /dev/pts");
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
                                           KeyCase{"SIGUSR1", "", SIGUSR1},
                                           KeyCase{"SIGALRM", "", SIGALRM},
                                           KeyCase{"SIGPWR", "", SIGPWR},
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

void PrintTo(const ConsoleKeyCase &c, std::ostream *os) { *os << c.what; }

// The tool as swug.exe in a folder, for cmd to start by that name as a user does. Under the strict
// layer that is a copy of its launcher, with its library, standing in for the tool, which
// STRICT_RUN_PROGRAM names to the programs started while this lives.
struct ToolForCmd {
    explicit ToolForCmd(const fs::path &folder) : program("STRICT_RUN_PROGRAM", strict.empty() ? nullptr : exe.c_str())
    {
        fs::copy_file(strict.empty() ? exe : strict, folder / "swug.exe");
        if (!strict.empty())
            fs::copy_file(fs::path(strict).parent_path() / "strict.dll", folder / "strict.dll");
    }
    EnvFor program;
};

// cmd runs the tool as a user types its name at the prompt; what the console still holds when the
// tool ends, cmd reads and runs.
TEST_P(ConsoleKey, TheRestOfAPasteDoesNotRunInCmd)
{
    if (!windows)
        GTEST_SKIP() << "a Windows console and cmd";
    SKIP_UNLESS(no_second_process == nullptr, no_second_process);
    int master = -1;
    int terminal = -1;
    SKIP_UNLESS(openpty(&master, &terminal, nullptr, nullptr, nullptr) == 0,
                "needs a pseudo-terminal: mount devpts on /dev/pts");
    // wine's console takes the terminal's bytes as keys: Enter is a CR, as a console sends it.
    termios raw{};
    ASSERT_EQ(tcgetattr(terminal, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
    const ToolForCmd tool(dir);
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

// --- The smoke test that a release is checked with on a real Windows. ---

// tests/windows/smoke.cmd under wine's cmd, on a copy of the tool as a user has it. wine's fc
// compares nothing (8.0) or finds identical files different (10.0), so the script leaves the bytes
// to this test, which checks what it leaves in its work folder.
TEST_F(Swug, SmokeScriptPassesInCmd)
{
    if (!windows)
        GTEST_SKIP() << "a cmd script";
    SKIP_UNLESS(no_second_process == nullptr, no_second_process);
    fs::copy(SWUG_SMOKE_DIR, dir / "smoke", fs::copy_options::recursive);
    const ToolForCmd tool(dir);
    const EnvFor no_fc("SMOKE_NO_FC", "1");
    std::vector<std::string> words{"cmd", "/c", R"(smoke\smoke.cmd)", "swug.exe", "work"};
    if (!launcher.empty())
        words.insert(words.begin(), launcher);
    int out_pipe[2] = {-1, -1};
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC | O_NONBLOCK), 0);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = start_words(dir, words, in, out_pipe[1]);
    close(in);
    close(out_pipe[1]);
    std::string out;
    EXPECT_EQ(wait_exit(pid, Clock::now() + deadline, out_pipe[0], &out), 0) << out;
    close(out_pipe[0]);
    EXPECT_NE(out.find("smoke test passed"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;

    const std::optional<std::string> sw = read_file(dir / "smoke/sample/TOVRIK_SW.bin");
    const std::optional<std::string> image = read_file(dir / "smoke/sample/TOVRIK_UPGRADE_SW.bin");
    ASSERT_TRUE(sw && sw->size() == 600) << "the sample software file";
    ASSERT_EQ(image, body_of(*sw)) << "the sample image is not the sample's body";
    for (const char *made : {"img.bin", "old.bin", "interactive/out/TOVRIK_UPGRADE_SW.bin"})
        EXPECT_TRUE(read_file(dir / "work" / made) == image) << made << " is not the sample image";
    EXPECT_TRUE(read_file(dir / "work/sw.bin") == sw) << "the software file changed";
    EXPECT_FALSE(fs::exists(dir / "work/nowhere")) << "a refused run made a folder";
    EXPECT_FALSE(fs::exists(dir / "work/new.bin")) << "a refused run made an image";
}

} // namespace
