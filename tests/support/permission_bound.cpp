#include "support/permission_bound.hpp"

#include "support/machine_pace.hpp"

#include "support/self_launch.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace gwtest {

namespace {

// Set in a launch without privileges; names the file that tells the parent its test ran there.
constexpr const char* kLaunchVariable = "GW_TEST_WITHOUT_PRIVILEGES";

std::string& dropFailure() {
    static std::string failure;
    return failure;
}

std::size_t threadCount() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(tasks);
    }
    return count;
}

// Capabilities belong to threads, and a new thread takes its creator's: given up here, before
// main and before any thread, none of the launch's threads has them. Root keeps its user id, so
// the files the test makes are its own and the owner's bits are the ones that bind, as for a user
// in their own folders. SECBIT_NOROOT keeps a program it executes from getting them back.
struct GiveUpPrivilegesAtLaunch {
    GiveUpPrivilegesAtLaunch() {
        if (std::getenv(kLaunchVariable) == nullptr) return;
        if (threadCount() != 1) {
            dropFailure() = "threads ran before the privileges could be given up";
            return;
        }
        if (::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) != 0) {
            dropFailure() = std::string("securebits: ") + std::strerror(errno);
            return;
        }
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
        if (::syscall(SYS_capset, &header, none) != 0) dropFailure() = std::string("capset: ") + std::strerror(errno);
    }
} giveUpPrivilegesAtLaunch;

}  // namespace

bool permissionsBind() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, caps) != 0) return ::geteuid() != 0;
    const auto mask = CAP_TO_MASK(CAP_DAC_OVERRIDE) | CAP_TO_MASK(CAP_DAC_READ_SEARCH);
    return (caps[0].effective & mask) == 0;
}

bool runWherePermissionsBind() {
    if (const char* ran = std::getenv(kLaunchVariable)) {
        if (!dropFailure().empty() || !permissionsBind()) {
            ADD_FAILURE() << "the launch kept the privileges that pass over permissions: " << dropFailure();
            return false;
        }
        writeFile(ran, "ran");
        return true;
    }
    if (permissionsBind()) return true;
    TempDir scratch;
    const auto ran = scratch / "ran";
    const pid_t child = spawnSelf({currentTestName(), {{kLaunchVariable, ran.string()}}});
    if (child < 0) {
        ADD_FAILURE() << "could not launch the test without privileges";
        return false;
    }
    // Only a hang must end here: the idle figure is stretched by the machine's pace and the
    // build's slowdown, since a sanitized launch beside other work ran past a fixed four minutes.
    Pace pace;
    const int status = waitForChild(child, pace.bound(std::chrono::minutes(2)));
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the test failed in its launch without the privileges that pass over permissions (output above)";
    EXPECT_TRUE(std::filesystem::exists(ran)) << "the launch without privileges did not run the test";
    return false;
}

}  // namespace gwtest
