// The pure helpers of the tool: directory normalisation, the name rule, the stream buffers' sizes
// and what a run leaves of its image.
#define main swug_main
#include "main.cpp"
#undef main

#include <gtest/gtest.h>

#include <string>

namespace {

struct NormaliseCase {
    const char *dir;
    const char *expected;
};

class NormaliseTest : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(NormaliseTest, RunsOfBackslashesBecomeOneSlash)
{
    char dir[NAME_CAP] = {};
    std::snprintf(dir, sizeof dir, "%s", GetParam().dir);
    normalise_dir(dir);
    EXPECT_STREQ(dir, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dirs, NormaliseTest,
    ::testing::Values(NormaliseCase{R"(C:\work\fw)", "C:/work/fw"},
                      NormaliseCase{R"(C:\\work\\\fw\\)", "C:/work/fw/"},
                      NormaliseCase{R"(C:\)", "C:/"},
                      NormaliseCase{"/home/dev/fw", "/home/dev/fw"},
                      NormaliseCase{"", ""},
                      NormaliseCase{R"(\\server\share\\fw)", "//server/share/fw"},
                      NormaliseCase{R"(\\\\server\share)", "//server/share"},
                      NormaliseCase{R"(\single)", "/single"}));

struct NameCase {
    const char *work_dir;
    std::string arg;
    int result;
    std::string expected;
    bool join = true; // where the backslash separates folders
};

class ChooseNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ChooseNameTest, DotSlashJoinsTheWorkingDirectoryOnlyWhenItFits)
{
    const NameCase &c = GetParam();
    std::snprintf(work_dir, sizeof work_dir, "%s", c.work_dir);
    char name[NAME_CAP] = {};
    EXPECT_EQ(choose_name(name, c.arg.c_str(), c.join), c.result);
    if (c.result == 0) {
        EXPECT_EQ(std::string(name), c.expected);
    }
}

const std::string long_dir = "C:/" + std::string(295, 'p');

INSTANTIATE_TEST_SUITE_P(
    Names, ChooseNameTest,
    ::testing::Values(NameCase{"C:/proj", "./fw/a.bin", 0, "C:/proj/fw/a.bin"},
                      NameCase{"C:/", "./a.bin", 0, "C://a.bin"},
                      NameCase{"C:/proj", "../a.bin", 0, "../a.bin"},
                      NameCase{"C:/proj", R"(.\a.bin)", 0, R"(.\a.bin)"},
                      NameCase{"C:/proj", R"(D:\fw\a.bin)", 0, R"(D:\fw\a.bin)"},
                      NameCase{"C:/proj", "a.bin", 0, "a.bin"},
                      NameCase{"C:/proj", ".a.bin", 0, ".a.bin"},
                      // The working directory could not be read: "./x" names the same file.
                      NameCase{"", "./a.bin", 0, "./a.bin"},
                      // Joined names of exactly 299 characters fit; one more and the argument
                      // stays as given rather than being cut short.
                      NameCase{"/w", "./" + std::string(296, 'n'), 0, "/w/" + std::string(296, 'n')},
                      NameCase{"/w", "./" + std::string(297, 'n'), 0, "./" + std::string(297, 'n')},
                      NameCase{long_dir.c_str(), "./a.bin", 0, "./a.bin"},
                      NameCase{"/w", std::string(299, 'n'), 0, std::string(299, 'n')},
                      NameCase{"/w", std::string(300, 'n'), -1, ""},
                      NameCase{"/w", "./" + std::string(298, 'n'), -1, ""},
                      // On POSIX "./x" names the file already; a join could only add failures.
                      NameCase{"/home/dev", "./fw/a.bin", 0, "./fw/a.bin", false},
                      NameCase{"/w", "./" + std::string(297, 'n'), 0, "./" + std::string(297, 'n'), false}));

TEST(ChooseNameTest, AWordThatCouldNotBeTakenWholeIsRefused)
{
    char name[NAME_CAP] = {};
    EXPECT_EQ(choose_name(name, nullptr, true), -1);
}

struct BufferCase {
    long long file_size; // -1: unknown, such as a pipe
    std::size_t cap;
    std::size_t expected;
};

class StreamBufTest : public ::testing::TestWithParam<BufferCase> {};

TEST_P(StreamBufTest, GrowsWithTheFileWithinItsArray)
{
    EXPECT_EQ(stream_buf_size(GetParam().file_size, GetParam().cap), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StreamBufTest,
    ::testing::Values(BufferCase{-1, SW_STREAM_BUF, SW_STREAM_BUF},
                      BufferCase{0, SW_STREAM_BUF, MIN_STREAM_BUF},
                      BufferCase{1 << 20, SW_STREAM_BUF, 64 * KIB},
                      // From 16 MiB up, the buffers a large file has always had.
                      BufferCase{16 << 20, SW_STREAM_BUF, SW_STREAM_BUF},
                      BufferCase{16 << 20, IMG_STREAM_BUF, IMG_STREAM_BUF},
                      BufferCase{1LL << 40, IMG_STREAM_BUF, IMG_STREAM_BUF},
                      BufferCase{1LL << 40, SW_STREAM_BUF, SW_STREAM_BUF}));

// What a run leaves of its image, on both platforms.
struct EndCase {
    image_run run; // written, on disk, created, emptied, one name
    image_end expected;
};

class ImageEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(ImageEndTest, OnlyWhatTheRunCreatedOrEmptiedGoes)
{
    EXPECT_EQ(end_of_image(GetParam().run), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ImageEndTest,
    ::testing::Values(EndCase{{true, true, true, true, true}, image_end::keep},
                      EndCase{{true, false, false, false, true}, image_end::keep},
                      // An old image that the run never emptied keeps its content.
                      EndCase{{false, true, false, false, true}, image_end::leave},
                      // A device, a FIFO, a pipe or standard output is never touched.
                      EndCase{{false, false, true, true, true}, image_end::leave},
                      EndCase{{false, true, true, false, true}, image_end::remove},
                      EndCase{{false, true, false, true, true}, image_end::remove},
                      // Another name would keep the file when this one goes.
                      EndCase{{false, true, false, true, false}, image_end::empty},
                      EndCase{{false, true, true, false, false}, image_end::empty}));

} // namespace
