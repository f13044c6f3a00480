#pragma once
// File systems a test mounts for itself (as the superuser), which go with the test however it
// ends. A test that runs past its time is killed (SIGKILL) and runs no teardown: its mounts
// therefore live in a mount namespace of the test process's own, which the kernel takes down
// with its last process; its loop devices let go of their image as soon as nothing holds them;
// and a process that would outlive it (a FUSE file system's daemon) stays its child, so that
// what kills the test and its children kills that one too.
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace gwtest {

// Puts this process (the test's thread, and every process it starts from then on) in a mount
// namespace of its own whose mounts reach no other, once. Empty when it is there; why not
// otherwise (only the superuser may).
inline std::string ownMountNamespace() {
    static const std::string why = []() -> std::string {
        if (::geteuid() != 0) return "only the superuser mounts a file system";
        if (::unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of its own: ") + std::strerror(errno);
        if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("the mounts could not be made the test's own: ") + std::strerror(errno);
        }
        // A daemon the test starts (FUSE) stays its child rather than the system's.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        return {};
    }();
    return why;
}

// A loop device attached to an image file. The kernel detaches it once nothing holds it: this
// object (until release()) and whatever mounted it.
class LoopDevice {
public:
    explicit LoopDevice(const std::filesystem::path& image) {
        FileDescriptor control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
        FileDescriptor backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
        if (control.fd < 0 || backing.fd < 0) {
            why_ = std::string("no loop device: ") + std::strerror(errno);
            return;
        }
        for (int attempt = 0; attempt < 20; ++attempt) {
            const int number = ::ioctl(control.fd, LOOP_CTL_GET_FREE);
            if (number < 0) {
                why_ = std::string("no free loop device: ") + std::strerror(errno);
                return;
            }
            path_ = "/dev/loop" + std::to_string(number);
            FileDescriptor device(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
            if (device.fd < 0) {
                why_ = "no free loop device: " + path_ + ": " + std::strerror(errno);
                return;
            }
            struct loop_config config {};
            config.fd = static_cast<std::uint32_t>(backing.fd);
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
            if (::ioctl(device.fd, LOOP_CONFIGURE, &config) == 0) {
                held_ = std::exchange(device.fd, -1);
                return;
            }
            // Taken by another meanwhile: the next free one.
            if (errno != EBUSY) {
                why_ = path_ + " could not be attached: " + std::strerror(errno);
                return;
            }
        }
        why_ = "every free loop device was taken by others meanwhile";
    }
    ~LoopDevice() { release(); }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    bool attached() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    const std::string& path() const { return path_; }
    // Lets go of the device: it is detached once no mount holds it either.
    void release() {
        if (held_ >= 0) ::close(held_);
        held_ = -1;
    }

private:
    struct FileDescriptor {
        explicit FileDescriptor(int opened) : fd(opened) {}
        ~FileDescriptor() {
            if (fd >= 0) ::close(fd);
        }
        int fd;
    };
    std::string path_;
    std::string why_;
    int held_ = -1;
};

// An empty image file of `bytes` with a file system made by `program` (a mkfs) with `options`.
// Empty when made; why not otherwise.
inline std::string makeImage(const std::filesystem::path& image, std::uintmax_t bytes, const std::string& program,
                             std::vector<std::string> options) {
    if (::access(program.c_str(), X_OK) != 0) return program + " is not installed";
    std::ofstream{image}.close();
    std::filesystem::resize_file(image, bytes);
    ProgramOptions quiet;
    quiet.workingDirectory = image.parent_path();
    quiet.outFile = quiet.errFile = image.string() + ".out";
    options.push_back(image.string());
    if (runProgram(program, options, quiet).status != 0) return program + " failed: " + readFile(image.string() + ".out");
    return {};
}

// A file system of the test's own mounted at a folder (made if missing), until the object goes
// (or the test's process ends): one without a device (`type` tmpfs, ramfs, overlay with its
// options), or an image file's on a loop device of its own.
class ScratchMount {
public:
    ScratchMount(const std::filesystem::path& where, const char* type, const char* options) : where_(where) {
        std::filesystem::create_directories(where_);
        why_ = ownMountNamespace();
        if (!why_.empty()) return;
        if (::mount(type, where_.c_str(), type, 0, options) != 0) {
            why_ = std::string(type) + " could not be mounted: " + std::strerror(errno);
        }
    }
    // The image's file system (`type`, as mount(2) names it) on a loop device of its own.
    ScratchMount(const std::filesystem::path& where, const std::filesystem::path& image, const char* type)
        : where_(where) {
        std::filesystem::create_directories(where_);
        why_ = ownMountNamespace();
        if (why_.empty()) why_ = mountImage(image, type);
    }
    ~ScratchMount() { unmount(); }
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool mounted() const { return why_.empty(); }
    const std::string& why() const { return why_; }

    // Unmounted, and the image mounted again from another loop device (one attached before the
    // first lets go: never the same one), as after the disk was unplugged and plugged into
    // another port. False, with why(), when it could not be.
    bool attachAgain(const std::filesystem::path& image, const char* type) {
        auto other = std::make_unique<LoopDevice>(image);
        if (!other->attached()) {
            why_ = other->why();
            return false;
        }
        unmount();
        why_ = mountFrom(*other, type);
        return why_.empty();
    }

    void unmount() {
        if (why_.empty() && ::umount2(where_.c_str(), 0) != 0) ::umount2(where_.c_str(), MNT_DETACH);
        why_ = "unmounted";
    }

private:
    std::string mountImage(const std::filesystem::path& image, const char* type) {
        LoopDevice device(image);
        if (!device.attached()) return device.why();
        return mountFrom(device, type);
    }
    std::string mountFrom(LoopDevice& device, const char* type) {
        if (::mount(device.path().c_str(), where_.c_str(), type, 0, nullptr) != 0) {
            return device.path() + " could not be mounted as " + type + ": " + std::strerror(errno);
        }
        // Held by the mount now: it goes with the mount.
        device.release();
        return {};
    }

    std::filesystem::path where_;
    std::string why_;
};

}  // namespace gwtest
