// A second Windows process (tests/wine/hold.cpp), built beside the Windows tool: it holds a file
// open, or serves a named pipe.
// Part of the end-to-end suite's harness: include harness.h, which includes this file.
#ifndef SWUG_E2E_HARNESS_WINDOWS_H
#define SWUG_E2E_HARNESS_WINDOWS_H

namespace e2e {

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

// Starts "hold MODE NAME" in dir and waits until its file or pipe is ready. A helper that ends
// before it is ready (wine, loaded, now and then fails a start) is started again, twice at most.
inline Helper start_helper(const fs::path &dir, const std::string &mode, const std::string &name)
{
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Helper h;
        int in_pipe[2] = {-1, -1};
        int out_pipe[2] = {-1, -1};
        if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
            break;
        h.pid = start(dir, {mode, name}, in_pipe[0], out_pipe[1], false, nullptr, {}, helper_exe);
        close(in_pipe[0]);
        close(out_pipe[1]);
        h.input = in_pipe[1];
        h.output = out_pipe[0];
        if (helper_says(h, "ready"))
            return h;
        close(h.input);
        close(h.output);
        const int status = wait_exit(h.pid, Clock::now() + deadline);
        why += " [exit status " + std::to_string(status) + ", said \"" + h.said + "\"]";
    }
    ADD_FAILURE() << "hold " << mode << " " << name << " did not get ready:" << why;
    return Helper{};
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
} // namespace e2e

#endif
