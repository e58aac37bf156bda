// Files on file systems of their own, which the cases mount as root.
#include "harness.h"

namespace {

using namespace e2e;

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

// --- The software file seen through another view: an overlay, a FUSE pass-through, a loop device.

// Copies from to to as cp -p does: the copy keeps the times that from shows. False when it cannot.
bool copy_keeping_times(const fs::path &from, const fs::path &to)
{
    struct stat st{};
    if (stat(from.c_str(), &st) != 0 || !fs::copy_file(from, to, fs::copy_options::overwrite_existing))
        return false;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    return utimensat(AT_FDCWD, to.c_str(), times, 0) == 0;
}

enum class View {
    overlay,           // an overlay on one tmpfs shows the lower file
    copied_up,         // the same, once a chmod through the overlay has copied the file up
    metacopy,          // the same with metacopy=on: only the file's metadata is copied up
    xino,              // an overlay with xino=on, its lower and upper layers on two tmpfs
    bindfs,            // bindfs shows the lower folder
    bindfs_stale,      // the same, and the file is rewritten beside the view, which keeps its status
    bindfs_own_ctime,  // the same, with a view that gives the file's mtime as its ctime
    bindfs_on_bindfs,  // a bindfs view of that view, the file rewritten beside both
    overlay_on_bindfs, // an overlay whose lower layer is a bindfs view, the file rewritten beside it
    loop,              // a loop device is bound to the lower file
    loop_chain,        // a loop device bound to a loop device bound to the lower file
    loop_as_file,      // a loop device bound to the lower file, seen as a file through bindfs
    loop_name_covered, // a loop device bound to the lower file from 4 KiB on, the file's name then
                       // covered by a mount, and the file seen through bindfs
    copy_on_own_tmpfs, // a cp -p copy on a tmpfs of its own has the overlay view's inode number
    copy_in_overlay,   // a cp -p copy made through the overlay, on the same mount
    second_node,       // a second device node of a loop device bound to the lower file
    pipe_rerun,        // the software file from a pipe, over the image an earlier run made
    erased_rerun,      // the same from the file, whose first 4224 bytes are erased flash (0xFF)
};

struct ViewCase {
    const char *what;
    View how;
    std::string sw;  // argument, below the test folder
    std::string img; // argument; "loop" names the loop device
    int status;      // 1: the two are one file and both names still read the software file
    const char *fails = nullptr; // a system call that fails, as strace makes it, with its error
};

class Views : public OwnFileSystems, public ::testing::WithParamInterface<ViewCase> {};

// The software file lies in t/lower, under the overlay at merged (its upper layer on t, or on u
// for xino), and each view adds its own name for it.
TEST_P(Views, OneFileUnderAnyViewIsRefused)
{
    const ViewCase &c = GetParam();
    const bool xino = c.how == View::xino;
    SKIP_UNLESS(mount_at(dir / "t", "tmpfs", "size=16m") && (!xino || mount_at(dir / "u", "tmpfs", "size=16m")),
                "cannot mount a tmpfs here");
    const fs::path upper_fs = dir / (xino ? "u" : "t");
    for (const fs::path &sub : {dir / "t/lower", upper_fs / "upper", upper_fs / "work"})
        fs::create_directories(sub);
    // Whole sectors, all of it on the loop device.
    const std::string sw = c.how == View::erased_rerun ? std::string(4224, '\xff') + pattern(3968) : pattern(8192);
    write_file(dir / "t/lower/sw.bin", sw);
    const bool bindfs = c.how == View::bindfs || c.how == View::bindfs_stale || c.how == View::bindfs_own_ctime ||
                        c.how == View::bindfs_on_bindfs || c.how == View::overlay_on_bindfs ||
                        c.how == View::loop_name_covered;
    if (bindfs) {
        SKIP_UNLESS(access(bindfs_exe, X_OK) == 0, "needs bindfs, to show a folder through FUSE");
        // The file's ctime moves past its mtime; the view shows its mtime for both.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fs::permissions(dir / "t/lower/sw.bin", fs::perms::owner_read | fs::perms::owner_write);
        SKIP_UNLESS(bindfs_at(dir / "t/lower", dir / "view", c.how == View::bindfs_own_ctime ? "--ctime-from-mtime" : nullptr) &&
                    (c.how != View::bindfs_on_bindfs || bindfs_at(dir / "view", dir / "view2")),
                    "cannot mount bindfs here");
    }
    const fs::path lower = dir / (c.how == View::overlay_on_bindfs ? "view" : "t/lower");
    const std::string layers = std::string(xino ? "xino=on," : "") +
                               (c.how == View::metacopy ? "metacopy=on,redirect_dir=on," : "") + "lowerdir=" + lower.string() +
                               ",upperdir=" + (upper_fs / "upper").string() + ",workdir=" + (upper_fs / "work").string();
    SKIP_UNLESS(mount_at(dir / "merged", "overlay", layers), "cannot mount an overlay here");
    std::string sw_arg = c.sw;
    std::string img = c.img;
    const bool copied_up = c.how == View::copied_up || c.how == View::metacopy;
    if (copied_up) {
        fs::permissions(dir / "merged/sw.bin", fs::perms::owner_read | fs::perms::owner_write);
    } else if (c.how == View::bindfs_stale || c.how == View::bindfs_on_bindfs || c.how == View::overlay_on_bindfs) {
        // Each view has the file's status; then the file is rewritten beside them.
        EXPECT_TRUE(fs::exists(dir / sw_arg));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        write_file(dir / "t/lower/sw.bin", sw);
    } else if (c.how == View::pipe_rerun || c.how == View::erased_rerun) {
        write_file(dir / img, body_of(sw));
    } else if (c.how == View::copy_in_overlay) {
        ASSERT_TRUE(copy_keeping_times(dir / "merged/sw.bin", dir / "merged/copy.bin"));
    } else if (c.how == View::loop || c.how == View::loop_chain || c.how == View::loop_as_file ||
               c.how == View::second_node || c.how == View::loop_name_covered) {
        img = loop_device_on(dir / "t/lower/sw.bin", c.how == View::loop_name_covered ? 4096 : 0);
        SKIP_UNLESS(c.how != View::loop_name_covered || mount_at(dir / "t/lower", "tmpfs", "size=1m"),
                    "cannot mount a tmpfs here");
        if (c.how == View::loop_chain && !img.empty())
            img = loop_device_on(img);
        SKIP_UNLESS(!img.empty(), "cannot bind a loop device here");
        if (c.how == View::loop_as_file) {
            SKIP_UNLESS(access(bindfs_exe, X_OK) == 0 && bindfs_at("/dev", dir / "devices", "--block-devices-as-files"),
                        "cannot mount bindfs here");
            sw_arg = "devices/" + fs::path(img).filename().string();
            img = c.img;
        } else if (c.how == View::second_node) {
            struct stat disk{};
            ASSERT_EQ(stat(img.c_str(), &disk), 0);
            ASSERT_EQ(mknod((dir / c.img).c_str(), S_IFBLK | 0600, disk.st_rdev), 0);
            sw_arg = img;
            img = c.img;
        }
    } else if (c.how == View::copy_on_own_tmpfs) {
        SKIP_UNLESS(mount_at(dir / "c", "tmpfs", "size=16m"), "cannot mount a tmpfs here");
        // tmpfs numbers its files upwards, so a copy soon has the number that the view shows. The
        // copy's ctime is its own: the clock ticks before it is made.
        struct stat view{};
        struct stat copy{};
        ASSERT_EQ(stat((dir / "merged/sw.bin").c_str(), &view), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        do {
            ASSERT_TRUE(copy_keeping_times(dir / "merged/sw.bin", dir / "c/copy.bin"));
            ASSERT_EQ(stat((dir / "c/copy.bin").c_str(), &copy), 0);
        } while (copy.st_ino < view.st_ino && fs::remove(dir / "c/copy.bin"));
    }

    std::vector<std::string> tracer;
    if (c.fails != nullptr) {
        SKIP_UNLESS(access(strace_exe, X_OK) == 0, "needs strace, to fail a system call");
        tracer = traced(c.fails);
    }
    const bool piped = c.how == View::pipe_rerun;
    EXPECT_EQ(run(dir, {sw_arg, img}, piped ? &sw : nullptr, nullptr, tracer).status, c.status) << c.what;
    // An absolute name (a device) stays as it is below dir.
    EXPECT_EQ(read_file(dir / (piped ? "t/lower/sw.bin" : sw_arg)), sw) << c.what;
    if (c.status == 1) {
        // A loop device from 4 KiB on shows the rest of the file.
        EXPECT_EQ(read_file(dir / img), c.how == View::loop_name_covered ? sw.substr(4096) : sw) << c.what;
    } else {
        EXPECT_EQ(read_file(dir / img), body_of(sw)) << c.what;
    }
    EXPECT_TRUE(copied_up || c.status == 0 || fs::is_empty(upper_fs / "upper")) << c.what << ": the lower file was copied up";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Views,
    ::testing::Values(
        ViewCase{"overlay view to its lower file", View::overlay, "merged/sw.bin", "t/lower/sw.bin", 1},
        ViewCase{"lower file to its overlay view", View::overlay, "t/lower/sw.bin", "merged/sw.bin", 1},
        ViewCase{"overlay view to its copied up file", View::copied_up, "merged/sw.bin", "t/upper/sw.bin", 1},
        ViewCase{"copied up file to its overlay view", View::copied_up, "t/upper/sw.bin", "merged/sw.bin", 1},
        ViewCase{"metacopy overlay view to its lower file", View::metacopy, "merged/sw.bin", "t/lower/sw.bin", 1},
        ViewCase{"lower file to its metacopy overlay view", View::metacopy, "t/lower/sw.bin", "merged/sw.bin", 1},
        ViewCase{"xino overlay view to its lower file", View::xino, "merged/sw.bin", "t/lower/sw.bin", 1},
        ViewCase{"lower file to its xino overlay view", View::xino, "t/lower/sw.bin", "merged/sw.bin", 1},
        ViewCase{"bindfs view to its file", View::bindfs, "view/sw.bin", "t/lower/sw.bin", 1},
        ViewCase{"file to its bindfs view", View::bindfs, "t/lower/sw.bin", "view/sw.bin", 1},
        ViewCase{"bindfs view to its file just rewritten", View::bindfs_stale, "view/sw.bin", "t/lower/sw.bin", 1},
        ViewCase{"bindfs view with its own ctime to its file", View::bindfs_own_ctime, "view/sw.bin",
                 "t/lower/sw.bin", 1},
        ViewCase{"file to a loop device bound to it", View::loop, "t/lower/sw.bin", "loop", 1},
        ViewCase{"overlay view to a loop device bound to its lower file", View::loop, "merged/sw.bin", "loop", 1},
        ViewCase{"loop device to a second node of it", View::second_node, "", "t/node", 1},
        ViewCase{"bindfs view to a loop device on its file, whose name a mount covers", View::loop_name_covered,
                 "view/sw.bin", "loop", 1},
        ViewCase{"file to a loop device bound to a loop device bound to it", View::loop_chain, "t/lower/sw.bin", "loop", 1},
        ViewCase{"loop device seen as a file through bindfs to its file", View::loop_as_file, "", "t/lower/sw.bin", 1},
        ViewCase{"bindfs view of a bindfs view to its file just rewritten", View::bindfs_on_bindfs, "view2/sw.bin",
                 "t/lower/sw.bin", 1},
        ViewCase{"overlay on a bindfs view to its file just rewritten", View::overlay_on_bindfs, "merged/sw.bin",
                 "t/lower/sw.bin", 1},
        // A check that cannot be made counts as "maybe the same file".
        ViewCase{"overlay view to its lower file, file system type unreadable", View::overlay, "merged/sw.bin",
                 "t/lower/sw.bin", 1, "fstatfs:error=EIO"},
        ViewCase{"file to a loop device bound to it, loop driver unreadable", View::loop, "t/lower/sw.bin", "loop", 1,
                 "ioctl:error=EIO"},
        ViewCase{"bindfs view to its file just rewritten, fresh status refused", View::bindfs_stale, "view/sw.bin",
                 "t/lower/sw.bin", 1, "statx:error=EPERM"},
        // Size and mtime cannot tell a view from a copy that kept them: the copy is refused too.
        ViewCase{"overlay view to a cp -p copy with its inode number", View::copy_on_own_tmpfs,
                 "merged/sw.bin", "c/copy.bin", 1},
        // One overlay mount numbers its files apart, so a copy on it is another file.
        ViewCase{"overlay view to a cp -p copy on the same mount", View::copy_in_overlay, "merged/sw.bin",
                 "merged/copy.bin", 0},
        // A pipe is no view of a file; content that repeats is compared to its end.
        ViewCase{"pipe over an earlier image in an overlay", View::pipe_rerun, "/dev/stdin", "merged/img.bin", 0},
        ViewCase{"erased flash start in an overlay over an earlier image", View::erased_rerun, "merged/sw.bin",
                 "t/img.bin", 0}),
    described<ViewCase>);

// Linux gives a disk to one exclusive writer: a second run onto the disk that a first run is
// writing is refused, and the first run's image is whole.
TEST_F(OwnFileSystems, TwoRunsNeverMixOneDisk)
{
    write_file(dir / "disk.bin", std::string(1u << 20, '\0'));
    const std::string disk = loop_device_on(dir / "disk.bin");
    SKIP_UNLESS(!disk.empty(), "cannot bind a loop device here");
    const std::string sw = pattern(300000);
    write_file(dir / "sw.bin", sw);
    const auto until = Clock::now() + deadline;
    auto [first, feed] = start_on_pipe(dir, {"/dev/stdin", disk});
    ASSERT_TRUE(write_all(feed, sw.substr(0, 100000), until));
    // The first run opens the disk before it reads; then it waits for more input.
    EXPECT_TRUE(wait_until_open(first, disk, until));
    EXPECT_EQ(run(dir, {"sw.bin", disk}).status, 1) << "a second run wrote the disk";
    EXPECT_TRUE(write_all(feed, sw.substr(100000), until));
    close(feed);
    EXPECT_EQ(wait_exit(first, until), 0);
    EXPECT_EQ(read_file(disk).value_or("").substr(0, sw.size() - 128), body_of(sw));
}

// An image is on its storage before exit 0: a loop device on a file that cannot grow (a full
// tmpfs) refuses the writes that its cache took, whether the image is a file on the disk or the
// disk itself, and the run fails.
TEST_F(OwnFileSystems, TheStorageHoldsTheImageBeforeExitZero)
{
    SKIP_UNLESS(mount_at(dir / "small", "tmpfs", "size=2m"), "cannot mount a tmpfs here");
    write_file(dir / "small/disk.bin", "");
    fs::resize_file(dir / "small/disk.bin", 8u << 20);
    write_file(dir / "sw.bin", pattern(5u << 20));
    SKIP_UNLESS(ext4_at(dir / "small/disk.bin", dir / "e"), "cannot make an ext4 on a loop device here");
    EXPECT_EQ(run(dir, {"sw.bin", "e/img.bin"}).status, 1);
    EXPECT_FALSE(fs::exists(dir / "e/img.bin"));
    ASSERT_EQ(umount2((dir / "e").c_str(), 0), 0);
    EXPECT_EQ(run(dir, {"sw.bin", loops.back()}).status, 1);
}

// The image is the file behind the disk whose file system holds the software file.
TEST_F(OwnFileSystems, TheFileUnderTheSoftwareFilesDiskIsRefused)
{
    write_file(dir / "disk.img", "");
    fs::resize_file(dir / "disk.img", 8u << 20);
    SKIP_UNLESS(ext4_at(dir / "disk.img", dir / "m1"), "cannot make an ext4 on a loop device here");
    const std::string sw = pattern(5000);
    write_file(dir / "m1/fw.bin", sw);
    EXPECT_EQ(run(dir, {"m1/fw.bin", "disk.img"}).status, 1);
    EXPECT_EQ(fs::file_size(dir / "disk.img"), 8u << 20);
    EXPECT_EQ(read_file(dir / "m1/fw.bin"), sw);
}

} // namespace
