// File systems and loop devices of a case's own, for the cases that mount them as root.
// Part of the end-to-end suite's harness: include harness.h, which includes this file.
#ifndef SWUG_E2E_HARNESS_MOUNTS_H
#define SWUG_E2E_HARNESS_MOUNTS_H

namespace e2e {

// File systems and loop devices of the case's own, which it mounts and binds as root, and which go
// when it ends.
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
        // A loop device bound to another goes first.
        for (auto device = loops.rbegin(); device != loops.rend(); ++device) {
            const int fd = open(device->c_str(), O_RDONLY | O_CLOEXEC);
            ioctl(fd, LOOP_CLR_FD, 0);
            close(fd);
        }
        for (auto at = mounts.rbegin(); at != mounts.rend(); ++at)
            umount2(at->c_str(), MNT_DETACH);
        Swug::TearDown();
    }

    // Mounts a file system at a folder below the test folder; false when it cannot.
    bool mount_at(const fs::path &at, const char *type, const std::string &options, const std::string &from = "")
    {
        fs::create_directories(at);
        if (mount(from.empty() ? type : from.c_str(), at.c_str(), type, 0, options.c_str()) != 0)
            return false;
        mounts.push_back(at);
        return true;
    }

    // Shows the folder from at through bindfs, a FUSE file system that passes every file on.
    bool bindfs_at(const fs::path &from, const fs::path &at, const char *option = nullptr)
    {
        fs::create_directories(at);
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        std::vector<std::string> words{bindfs_exe, from.string(), at.string()};
        if (option != nullptr)
            words.insert(words.begin() + 1, option);
        const pid_t pid = start_words(dir, words, none, none);
        close(none);
        if (wait_exit(pid, Clock::now() + deadline) != 0)
            return false;
        mounts.push_back(at);
        return true;
    }

    // Binds a free loop device to file, from offset on; its name, or an empty string when none can
    // be had.
    std::string loop_device_on(const fs::path &file, unsigned offset = 0)
    {
        const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        const int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
        std::string device;
        // Another program may take the free device first.
        for (int tries = 0; device.empty() && control >= 0 && backing >= 0 && tries < 10; ++tries) {
            const int number = ioctl(control, LOOP_CTL_GET_FREE);
            const std::string name = "/dev/loop" + std::to_string(number);
            const int fd = number >= 0 ? open(name.c_str(), O_RDWR | O_CLOEXEC) : -1;
            loop_info64 info{};
            info.lo_offset = offset;
            if (fd >= 0 && ioctl(fd, LOOP_SET_FD, backing) == 0 && ioctl(fd, LOOP_SET_STATUS64, &info) == 0)
                device = name;
            close(fd);
        }
        close(control);
        close(backing);
        if (!device.empty())
            loops.push_back(device);
        return device;
    }

    // Makes an ext4 file system, with no journal, on a loop device bound to file, and mounts it at
    // at; false when it cannot.
    bool ext4_at(const fs::path &file, const fs::path &at)
    {
        const std::string disk = loop_device_on(file);
        const int none = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t pid = disk.empty() ? -1 : start_words(dir, {"/sbin/mkfs.ext4", "-q", "-O", "^has_journal", disk}, none, none);
        close(none);
        return pid > 0 && wait_exit(pid, Clock::now() + deadline) == 0 && mount_at(at, "ext4", "", disk);
    }

    static constexpr char bindfs_exe[] = "/usr/bin/bindfs";
    std::vector<fs::path> mounts;
    std::vector<std::string> loops;
};
} // namespace e2e

#endif
