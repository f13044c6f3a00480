#include "telemetry/support/child_case.hpp"

#include "support/temp_dir.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace rddi::testkit {

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

ChildCaseRun runChildCase(const std::string& testName, const std::string& reportVariable) {
    gwtest::TempDir scratch;
    const auto reportPath = scratch / "report.txt";
    gwtest::ScopedEnv report(reportVariable, reportPath.string());
    const std::string filter = "--gtest_filter=" + testName;

    ChildCaseRun run;
    const pid_t child = ::fork();
    if (child < 0) return run;
    if (child == 0) {
        ::execl("/proc/self/exe", "child_case", filter.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Generous: a sanitizer build on a loaded machine is slow, and a hang must still end.
    const int status = waitForChild(child, std::chrono::minutes(4));
    if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    if (std::filesystem::exists(reportPath)) run.report = gwtest::readFile(reportPath);
    return run;
}

}  // namespace rddi::testkit
