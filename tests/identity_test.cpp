// What a disk rests on, walked on a small tree shaped as sysfs publishes it, and the one decision
// of whether two files may be one.
#include "platform_posix.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Devices by name, as MAJ:MIN, with what each rests on.
struct Device {
    const char *name;
    const char *dev;
    std::vector<const char *> slaves; // "..": a partition of its parent folder
    const char *backing = nullptr;    // a file below the tree's files/ folder
};

// dm-0 over loop0 over a file; md0 as raid1 over loop1 and loop2; loop3p1 a partition of loop3;
// dm-1 over a device that sysfs does not list.
const Device devices[] = {
    {"loop0", "7:0", {}, "a.img"},     {"loop1", "7:1", {}, "b.img"},  {"loop2", "7:2", {}, "c.img"},
    {"loop3", "7:3", {}, "d.img"},     {"loop3/loop3p1", "259:0", {".."}},
    {"dm-0", "253:0", {"loop0"}},      {"md0", "9:0", {"loop1", "loop2"}},
    {"dm-1", "253:1", {"missing"}},
};

class Stack : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root = fs::temp_directory_path() / ("swug-sysfs-" + std::to_string(getpid()));
        fs::create_directories(root / "files");
        fs::create_directories(root / "dev/block");
        for (const Device &d : devices) {
            const fs::path folder = root / "devices" / d.name;
            fs::create_directories(folder);
            std::ofstream(folder / "dev") << d.dev << "\n";
            for (const char *slave : d.slaves) {
                if (std::string(slave) == "..") {
                    std::ofstream(folder / "partition") << "1\n";
                    continue;
                }
                fs::create_directories(folder / "slaves");
                fs::create_directory_symlink(root / "devices" / slave, folder / "slaves" / slave);
            }
            if (d.backing != nullptr) {
                fs::create_directories(folder / "loop");
                std::ofstream(root / "files" / d.backing) << d.name;
                std::ofstream(folder / "loop/backing_file") << (root / "files" / d.backing).string() << "\n";
            }
            fs::create_directory_symlink(folder, root / "dev/block" / d.dev);
        }
    }
    static void TearDownTestSuite() { fs::remove_all(root); }

    static inline fs::path root;
};

struct WalkCase {
    const char *what;
    unsigned maj, min;
    std::vector<std::string> expected; // disks as MAJ:MIN, files by name below files/
    bool unknown = false;
};

class Walk : public Stack, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(Walk, ReachesEveryDiskAndFileBeneath)
{
    node_set set{};
    walk_disk(root.c_str(), makedev(GetParam().maj, GetParam().min), false, &set);
    std::vector<std::string> got;
    for (int i = 0; i < set.count; ++i) {
        const struct stat &st = set.nodes[i].st;
        got.push_back(st.st_ino == 0 ? std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))
                                     : std::to_string(st.st_ino));
    }
    // A file stands here by its inode number.
    std::vector<std::string> expected = GetParam().expected;
    for (std::string &want : expected) {
        struct stat st{};
        if (want.find(':') == std::string::npos && stat((root / "files" / want).c_str(), &st) == 0)
            want = std::to_string(st.st_ino);
    }
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(set.unknown, GetParam().unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, Walk,
    ::testing::Values(WalkCase{"device_mapper_over_a_loop_device", 253, 0, {"253:0", "7:0", "a.img"}},
                      WalkCase{"md_raid1_over_two_loop_devices", 9, 0, {"9:0", "7:1", "b.img", "7:2", "c.img"}},
                      WalkCase{"partition_of_a_loop_device", 259, 0, {"259:0", "7:3", "d.img"}},
                      WalkCase{"a_file_system_of_no_disk", 0, 45, {}},
                      WalkCase{"a_disk_that_sysfs_does_not_list", 8, 0, {"8:0"}, true},
                      WalkCase{"a_slave_that_cannot_be_read", 253, 1, {"253:1"}, true}),
    [](const auto &row) { return std::string(row.param.what); });

// --- Whether two files may be one. ---

file_node disk(unsigned min)
{
    file_node node{};
    node.st.st_mode = S_IFBLK;
    node.st.st_rdev = makedev(7, min);
    return node;
}

file_node file(dev_t dev, ino_t ino)
{
    file_node node{};
    node.st.st_mode = S_IFREG;
    node.st.st_dev = dev;
    node.st.st_ino = ino;
    return node;
}

// A set that cannot be read whole: what it rests on, or what shows it.
enum Unknown { none, rests_unknown, shows_unknown };

file_identity identity(const file_node &self, std::vector<file_node> shows, std::vector<file_node> rests_on,
                       Unknown unknown = none)
{
    file_identity id{};
    id.st = self.st;
    for (const file_node &n : shows)
        add_node(&id.shows, n.st, n.view);
    for (const file_node &n : rests_on)
        add_node(&id.rests_on, n.st, n.view);
    id.rests_on.unknown = unknown == rests_unknown;
    id.shows.unknown = unknown == shows_unknown;
    return id;
}

const dev_t vda = makedev(254, 0);
const dev_t loop0 = makedev(7, 0);

struct OneCase {
    const char *what;
    file_identity a, b;
    bool one;
};

class MayBeOne : public ::testing::TestWithParam<OneCase> {};

TEST_P(MayBeOne, EitherWay)
{
    EXPECT_EQ(may_be_one(GetParam().a, GetParam().b), GetParam().one);
    EXPECT_EQ(may_be_one(GetParam().b, GetParam().a), GetParam().one);
}

// sw.bin lies in a file system on loop0, which disk.img on vda is behind.
const file_identity sw_on_loop = identity(file(loop0, 12), {}, {disk(0), file(vda, 99)});
INSTANTIATE_TEST_SUITE_P(
    Pairs, MayBeOne,
    ::testing::Values(
        OneCase{"two_files_on_one_disk", identity(file(vda, 1), {}, {disk(9)}), identity(file(vda, 2), {}, {disk(9)}), false},
        OneCase{"the_file_behind_the_disk_under_the_other", sw_on_loop, identity(file(vda, 99), {}, {}), true},
        OneCase{"the_disk_under_the_other", sw_on_loop, identity(disk(0), {file(vda, 99)}, {}), true},
        OneCase{"another_file_beside_that_file", sw_on_loop, identity(file(vda, 98), {}, {}), false},
        OneCase{"a_disk_whose_stack_shows_the_other", identity(disk(5), {disk(6), file(vda, 7)}, {}),
                identity(file(vda, 7), {}, {}), true},
        OneCase{"a_file_system_whose_disks_cannot_be_read_and_a_file_elsewhere",
                identity(file(vda, 1), {}, {}, rests_unknown), identity(file(loop0, 2), {}, {}), true},
        OneCase{"a_file_system_whose_disks_cannot_be_read_and_a_file_on_it",
                identity(file(vda, 1), {}, {}, rests_unknown), identity(file(vda, 2), {}, {}), false},
        OneCase{"a_disk_whose_stack_cannot_be_read", identity(disk(5), {}, {}, shows_unknown),
                identity(file(vda, 7), {}, {}), true}),
    [](const auto &row) { return std::string(row.param.what); });

} // namespace
