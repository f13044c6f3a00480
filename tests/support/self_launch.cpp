#include "support/self_launch.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>
#include <cstring>

extern char** environ;

namespace gwtest {

int waitForChild(pid_t child, std::chrono::milliseconds deadline) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    bool killed = false;
    if (pidfd >= 0) {
        pollfd ready{pidfd, POLLIN, 0};
        int polled = 0;
        while ((polled = ::poll(&ready, 1, static_cast<int>(deadline.count()))) < 0 && errno == EINTR) {
        }
        if (polled != 1) killed = ::kill(child, SIGKILL) == 0;
        ::close(pidfd);
    }
    // A traced child may report stops before its end; only the end counts.
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(child, &status, 0)) == child && !WIFEXITED(status) && !WIFSIGNALED(status)) {
    }
    if (done != child || killed) return -1;
    return status;
}

pid_t spawnSelf(const SelfLaunch& launch) {
    const std::string filter = "--gtest_filter=" + launch.testName;
    std::vector<std::string> variables;
    for (const auto& [name, value] : launch.environment) variables.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) {
        bool replaced = false;
        for (const auto& [name, value] : launch.environment)
            replaced = replaced || (std::strncmp(*entry, name.c_str(), name.size()) == 0 && (*entry)[name.size()] == '=');
        if (!replaced) envp.push_back(*entry);
    }
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    char name[] = "self_launch";
    std::string filterArgument = filter;
    std::vector<std::string> words;
    std::string program = "/proc/self/exe";
    if (launch.user) {
        // setpriv makes the change and then runs this program (its own /proc/self/exe
        // would be setpriv's).
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        if (error) return -1;
        words = {"setpriv", "--reuid=" + std::to_string(launch.user->first),
                 "--regid=" + std::to_string(launch.user->second), "--clear-groups", self.string(), filterArgument};
        program = "/usr/bin/setpriv";
    } else {
        words = {name, filterArgument};
    }
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!launch.standardOutput.empty())
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, launch.standardOutput.c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The same number on both sides clears close-on-exec in the launch only.
    if (launch.inheritedDescriptor >= 0)
        ::posix_spawn_file_actions_adddup2(&actions, launch.inheritedDescriptor, launch.inheritedDescriptor);
    pid_t child = -1;
    const int started = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    return started == 0 ? child : -1;
}

bool stopWholly(pid_t pid, std::chrono::milliseconds deadline) {
    if (::kill(pid, SIGSTOP) != 0) return false;
    const auto until = std::chrono::steady_clock::now() + deadline;
    const auto task = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    for (;;) {
        bool all = true;
        std::error_code error;
        for (const auto& thread : std::filesystem::directory_iterator(task, error)) {
            std::ifstream stat(thread.path() / "stat");
            std::string line;
            std::getline(stat, line);
            // The state follows the command name, which is in parentheses.
            const auto close = line.rfind(')');
            if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') all = false;
        }
        if (error) return false;
        if (all) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<std::pair<uid_t, gid_t>> otherUser() {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody || ::geteuid() != 0 || nobody->pw_uid == 0 || ::access("/usr/bin/setpriv", X_OK) != 0) return std::nullopt;
    return std::pair{nobody->pw_uid, nobody->pw_gid};
}

std::string currentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
}

}  // namespace gwtest
