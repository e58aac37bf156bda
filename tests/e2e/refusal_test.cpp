// Command mode's refusals: exit status 1, nothing printed, the user's files intact.
#include "harness.h"

namespace {

using namespace e2e;

struct RefusalCase {
    const char *what;
    std::string sw;  // argument
    std::string img; // argument
    bool posix_only;
    bool windows_only = false; // a name that only Windows gives a device
    Prepare prepare = nullptr;
    const char *strict_as = nullptr; // the Windows that the strict layer plays
};

class Refusal : public Swug, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, FailsSilentlyAndKeepsTheFiles)
{
    const RefusalCase &c = GetParam();
    if (c.posix_only && windows)
        GTEST_SKIP() << "needs a POSIX device";
    if (c.windows_only && !windows)
        GTEST_SKIP() << "an ordinary file name outside Windows";
    PLAY_AS(c.strict_as);
    const std::string sw = pattern(5000);
    const std::string old_img = pattern(33);
    write_file(dir / "sw.bin", sw);
    write_file(dir / "old.bin", old_img);
    fs::create_directories(dir / "folder");
    fs::create_hard_link(dir / "sw.bin", dir / "hard.bin");
    fs::create_symlink("sw.bin", dir / "soft.bin");
    fs::create_directories((dir / name299).parent_path());
    const auto before = std::distance(fs::recursive_directory_iterator(dir), {});

    const Outcome o = run(dir, {c.sw, c.img}, nullptr, c.prepare);
    EXPECT_EQ(o.status, 1) << c.what;
    EXPECT_EQ(o.out, "") << c.what;
    EXPECT_EQ(read_file(dir / "sw.bin"), sw) << c.what;
    EXPECT_EQ(read_file(dir / "old.bin"), old_img) << c.what;
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir), {}), before)
        << c.what << ": a file was created";
}

const std::string too_long = name_of_length(300);
const char fat[] = "fat-volume";
const char nfs[] = "nfs-volume";

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
        RefusalCase{"image is standard output, closed", "sw.bin", "/dev/stdout", true, false, close_stdout},
        RefusalCase{"software file is standard input, closed", "/dev/stdin", "old.bin", true, false, close_stdin},
        // Windows opens these names, whatever their extension, as devices.
        RefusalCase{"image named as the null device", "sw.bin", "nul.bin", false, true},
        RefusalCase{"software file named as the null device", "nul.bin", "old.bin", false, true},
        RefusalCase{"software file is the null device", "NUL", "old.bin", false, true},
        RefusalCase{"image named as a serial port", "sw.bin", "aux.bin", false, true},
        RefusalCase{"software file named as a serial port", "aux.bin", "old.bin", false, true},
        RefusalCase{"image named as the console", "sw.bin", "con.bin", false, true},
        // Where file ids repeat, the software file's share mode keeps it from opening as the image.
        RefusalCase{"same name on a FAT volume", "sw.bin", "sw.bin", false, false, nullptr, fat},
        RefusalCase{"same file through ./ on a FAT volume", "./sw.bin", "sw.bin", false, false, nullptr, fat},
        RefusalCase{"same file through a folder on a FAT volume", "sw.bin", "folder/../sw.bin", false, false,
                    nullptr, fat},
        RefusalCase{"same file through a hard link on a FAT volume", "sw.bin", "hard.bin", false, false, nullptr,
                    fat},
        RefusalCase{"same file through a symlink on a FAT volume", "soft.bin", "sw.bin", false, false, nullptr,
                    fat},
        // Where no id tells them apart and nothing enforces share modes, an image that begins as the
        // software file does is refused.
        RefusalCase{"same name on NFS", "sw.bin", "sw.bin", false, false, nullptr, nfs},
        RefusalCase{"same file through ./ on NFS", "./sw.bin", "sw.bin", false, false, nullptr, nfs},
        RefusalCase{"same file through a hard link on NFS", "sw.bin", "hard.bin", false, false, nullptr, nfs},
        RefusalCase{"same file through a symlink on NFS", "soft.bin", "sw.bin", false, false, nullptr, nfs},
        RefusalCase{"new image on a fixed disk whose write-back fails", "sw.bin", "new.bin", false, false, nullptr,
                    "failing-disk"},
        RefusalCase{"image is a raw volume", "sw.bin", R"(\\.\C:)", false, true}),
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
    // The image's name links to a file yet to be made: the run made it, so the run removes it.
    fs::create_symlink("target.bin", dir / "link.bin");
    EXPECT_EQ(run(dir, {"/proc/self/mem", "link.bin"}).status, 1);
    EXPECT_FALSE(fs::exists(dir / "target.bin")) << "the file made behind a link was left";
    EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
}

} // namespace
