// swug: makes a device's upgrade image from its software file. The image is the software file
// without its leading 128-byte block, byte for byte.
//
//   swug                    converts data/TOVRIK_SW.bin into out/TOVRIK_UPGRADE_SW.bin, then
//                           waits for a key
//   swug <software> <image> converts the two files silently; exit status 0 or 1
#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

struct func_args {
    std::int32_t argc;
    char **argv;
    std::int32_t return_code;
};

constexpr long LEADING_BLOCK = 128;
constexpr std::size_t BLOCK = 1024;
// The streams' own buffers. With stdio's default of 4 KiB every 4 KiB would cost two system
// calls. Large reads cost the kernel less per byte; every buffer page costs a fault on a small
// file (sizes measured with bench/bench.py).
constexpr std::size_t KIB = 1024;
constexpr std::size_t SW_STREAM_BUF = 512 * KIB;
constexpr std::size_t IMG_STREAM_BUF = 256 * KIB;
constexpr std::size_t MIN_STREAM_BUF = 16 * KIB;

constexpr char DEFAULT_SW_NAME[] = "data/TOVRIK_SW.bin";
constexpr char DEFAULT_IMG_NAME[] = "out/TOVRIK_UPGRADE_SW.bin";

// Set by the driver before the generator runs; the generator only reads them.
static unsigned char in_cmd_mode = 0;
static char work_dir[NAME_CAP];

// The stream buffers start 32 bytes past a cache line: on the machine we measure on, the kernel
// copies to and from a buffer placed so about 4% faster than to an aligned one (bench/bench.py).
constexpr std::size_t STREAM_BUF_SKEW = 32;
alignas(64) static char sw_stream_area[STREAM_BUF_SKEW + SW_STREAM_BUF];
alignas(64) static char img_stream_area[STREAM_BUF_SKEW + IMG_STREAM_BUF];
// The two names of command mode, as UTF-8, where the system does not hand them over so.
static char arg_words[2][NAME_CAP];

static void normalise_dir(char *dir);
static int choose_name(char *name, const char *arg, bool join_work_dir);
static std::size_t stream_buf_size(long long sw_size, std::size_t cap);
static long long read_input(char *buf, std::size_t size, std::FILE *p_sw_file);
static int skip_leading_block(std::FILE *p_sw_file, bool on_disk);
static int copy_body(std::FILE *p_sw_file, std::FILE *p_img_file, long long *copied);
static int generate_swug_bin(void *args);

int main(int argc, char *argv[])
{
    set_up_process();
    // On Windows the count comes from the wide command line, the parse that gives the names.
    argc = command_count(argc);
    func_args args{};
    args.argc = argc;
    args.argv = argv;
    char *words[] = {argv[0], nullptr, nullptr, nullptr};

    if (argc == 3) {
        words[1] = command_word(argv, 1, arg_words[0], NAME_CAP);
        words[2] = command_word(argv, 2, arg_words[1], NAME_CAP);
        args.argv = words;
        std::memset(work_dir, 0, sizeof work_dir);
        // Left empty when unreadable: "./x" then stays as given, which names the same file.
        read_current_dir(work_dir, sizeof work_dir);
        if (backslash_separates_dirs)
            normalise_dir(work_dir);
        in_cmd_mode = 1;
    }

    const int ret = generate_swug_bin(&args);
    end_if_interrupted();
    if (in_cmd_mode == 1)
        return ret == 1 ? 0 : 1;

    // Nothing is left to report a console failure to: the wait and exit status 0 follow anyway.
    (void)std::fputs("Press any key to exit!", stdout);
    (void)std::fflush(stdout);
    wait_for_key();
    end_if_interrupted();
    return 0;
}

// Turns every run of backslashes into one slash. A leading pair, a network path, stays two.
static void normalise_dir(char *dir)
{
    std::size_t in = 0;
    std::size_t out = 0;
    if (dir[0] == '\\' && dir[1] == '\\') {
        dir[out++] = '/';
        in = 1;
    }
    bool flag = false;
    for (; dir[in] != '\0'; ++in) {
        if (dir[in] != '\\') {
            dir[out++] = dir[in];
            flag = false;
        } else if (!flag) {
            dir[out++] = '/';
            flag = true;
        }
    }
    dir[out] = '\0';
}

// Puts the name for an argument into name. With join_work_dir, "./x" becomes work_dir/x when the
// working directory is known and the whole fits; any other argument is used as given. -1 when the
// argument is too long or could not be taken whole.
static int choose_name(char *name, const char *arg, bool join_work_dir)
{
    if (arg == nullptr)
        return -1;
    const std::size_t arg_len = std::strlen(arg);
    if (arg_len >= NAME_CAP)
        return -1;
    if (join_work_dir && arg[0] == '.' && arg[1] == '/' && work_dir[0] != '\0') {
        const int len = std::snprintf(name, NAME_CAP, "%s/%s", work_dir, arg + 2);
        if (len > 0 && static_cast<std::size_t>(len) < NAME_CAP)
            return 0;
    }
    std::memcpy(name, arg, arg_len + 1);
    return 0;
}

// A stream buffer for a file of the given size, at most cap bytes: about a 16th of the file, so
// that a file takes about 16 system calls each way until the buffer reaches its cap.
// Every buffer page costs a fault the first time it is touched, which on a small file outweighs
// the system calls a large buffer saves; input of unknown size gets the whole cap.
static std::size_t stream_buf_size(long long sw_size, std::size_t cap)
{
    if (sw_size < 0)
        return cap;
    std::size_t size = MIN_STREAM_BUF;
    while (size < cap && static_cast<unsigned long long>(size) * 16 < static_cast<unsigned long long>(sw_size))
        size *= 2;
    return size < cap ? size : cap;
}

// Reads up to size bytes of the software file into buf, as fread does, except that a read that
// gives nothing ends the input only when the platform says it has ended. The count, 0 at the end,
// or -1 on an error.
static long long read_input(char *buf, std::size_t size, std::FILE *p_sw_file)
{
    for (;;) {
        const std::size_t rd = std::fread(buf, 1, size, p_sw_file);
        if (rd > 0)
            return static_cast<long long>(rd);
        if (std::ferror(p_sw_file))
            return -1;
        const int ended = input_ended(p_sw_file);
        if (ended != 0)
            return ended > 0 ? 0 : -1;
    }
}

// Moves past the leading block: a file on disk by seeking, any other input (a pipe) by reading
// and dropping it. Whether a seek succeeded says nothing: some runtimes "seek" a pipe. A file
// shorter than the block leaves nothing to copy.
static int skip_leading_block(std::FILE *p_sw_file, bool on_disk)
{
    if (on_disk)
        return std::fseek(p_sw_file, LEADING_BLOCK, SEEK_SET) == 0 ? 0 : -1;
    char dropped[LEADING_BLOCK];
    // A pipe may end a read short before its end.
    for (std::size_t got = 0; got < sizeof dropped;) {
        const long long rd = read_input(dropped + got, sizeof dropped - got, p_sw_file);
        if (rd <= 0)
            return rd < 0 ? -1 : 0;
        got += static_cast<std::size_t>(rd);
    }
    return 0;
}

// Copies the rest of the software file into the image and counts the bytes in copied. The old
// image stays as it was until the software file has given its first block or its clean end.
static int copy_body(std::FILE *p_sw_file, std::FILE *p_img_file, long long *copied)
{
    char buf[BLOCK];
    long long rd = read_input(buf, sizeof buf, p_sw_file);
    if (rd < 0 || interrupted() || empty_image(p_img_file) != 0)
        return -1;
    for (; rd > 0; rd = read_input(buf, sizeof buf, p_sw_file)) {
        const auto size = static_cast<std::size_t>(rd);
        if (std::fwrite(buf, 1, size, p_img_file) != size || interrupted())
            return -1;
        *copied += rd;
    }
    return rd < 0 ? -1 : 0;
}

// Writes the image: 1 when written, 0 on a wrong argument count, -1 when a file cannot be used.
static int generate_swug_bin(void *args)
{
    const auto *fa = static_cast<const func_args *>(args);
    char openname[NAME_CAP] = {};
    char fname[NAME_CAP] = {};

    if (fa->argc == 1) {
        std::memcpy(openname, DEFAULT_SW_NAME, sizeof DEFAULT_SW_NAME);
        std::memcpy(fname, DEFAULT_IMG_NAME, sizeof DEFAULT_IMG_NAME);
    } else if (fa->argc == 3) {
        if (choose_name(openname, fa->argv[1], backslash_separates_dirs) != 0 ||
            choose_name(fname, fa->argv[2], backslash_separates_dirs) != 0)
            return -1;
    } else {
        if (in_cmd_mode != 1)
            std::printf("Parameter Error [%d]\n", fa->argc);
        return 0;
    }

    software_facts sw{};
    std::FILE *p_sw_file = open_software(openname, &sw);
    if (p_sw_file == nullptr)
        return -1;
    (void)std::setvbuf(p_sw_file, sw_stream_area + STREAM_BUF_SKEW, _IOFBF,
                       stream_buf_size(sw.size, SW_STREAM_BUF));
    std::FILE *p_img_file = open_image(fname, p_sw_file);
    if (p_img_file == nullptr) {
        (void)std::fclose(p_sw_file);
        return -1;
    }
    (void)std::setvbuf(p_img_file, img_stream_area + STREAM_BUF_SKEW, _IOFBF,
                       stream_buf_size(sw.size, IMG_STREAM_BUF));

    long long body_bytes = 0;
    // A file whose size is known gives exactly its body; anything else is a torn copy.
    const long long body_size = sw.size > LEADING_BLOCK ? sw.size - LEADING_BLOCK : 0;
    const bool copied = skip_leading_block(p_sw_file, sw.on_disk) == 0 &&
                        copy_body(p_sw_file, p_img_file, &body_bytes) == 0 &&
                        (sw.size < 0 || body_bytes == body_size) && software_intact(p_sw_file) == 0;
    const bool sw_closed = std::fclose(p_sw_file) == 0;
    // An image that is not whole is removed, so that nobody flashes it.
    const bool kept = close_image(p_img_file, fname, copied && sw_closed && !interrupted()) == 0;
    return kept ? 1 : -1;
}
