// Files on file systems of their own, which the cases mount as root.
#include "harness.h"

#include <sys/mount.h>

namespace {

using namespace e2e;

class OwnFileSystems : public Swug {
protected:
    void SetUp() override
    {
        if (windows)
            GTEST_SKIP() << "mounts a POSIX file system";
        SKIP_UNLESS(geteuid() == 0, "needs root, to mount file systems");
        Swug::SetUp();
    }

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
    const fs::path small = dir / "small";
    SKIP_UNLESS(mount_at(small, "tmpfs", "size=1m,mode=0755"), "cannot mount a tmpfs here");
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
    SKIP_UNLESS(o, no_copy_for_nobody);
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
    const fs::path base = dir / "fs";
    SKIP_UNLESS(mount_at(base, "tmpfs", "size=16m"), "cannot mount a tmpfs here");
    for (const char *sub : {"lower", "upper", "work", "merged"})
        fs::create_directories(base / sub);
    const std::string sw = pattern(5000);
    write_file(base / "lower/sw.bin", sw);
    const std::string layers = "lowerdir=" + (base / "lower").string() + ",upperdir=" +
                               (base / "upper").string() + ",workdir=" + (base / "work").string();
    SKIP_UNLESS(mount_at(base / "merged", "overlay", layers), "cannot mount an overlay here");

    for (const auto &[from, to] : {std::pair{"merged/sw.bin", "lower/sw.bin"}, std::pair{"lower/sw.bin", "merged/sw.bin"}}) {
        EXPECT_EQ(run(base, {from, to}).status, 1) << from << " to " << to;
        EXPECT_TRUE(read_file(base / "lower/sw.bin") == sw) << from << " to " << to;
        EXPECT_TRUE(read_file(base / "merged/sw.bin") == sw) << from << " to " << to;
    }
    EXPECT_TRUE(fs::is_empty(base / "upper")) << "the lower file was copied up";
}

} // namespace
