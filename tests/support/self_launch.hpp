#pragma once
// Launches of the running test executable that run one of its tests, and a bounded wait for a
// child, so that a hang ends as a failure instead of blocking the run.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gwtest {

// Waits for `child` at most `deadline`, then kills it. Answers its wait status, or -1 when it
// had to be killed.
int waitForChild(pid_t child, std::chrono::milliseconds deadline);

// A launch of the running test executable that runs only `testName`.
struct SelfLaunch {
    std::string testName;
    // Variables set (or replaced) in the launch's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    // Where its standard output goes (created or truncated); inherited when empty.
    std::filesystem::path standardOutput;
    // A descriptor of this process the launch keeps open under the same number, even
    // when it is close-on-exec here; -1 for none.
    int inheritedDescriptor = -1;
    // The user and group the launch runs as (no other groups), for a test run by the
    // superuser that needs another user; this process's own when none.
    std::optional<std::pair<uid_t, gid_t>> user;
};

// Stops the process `pid` (SIGSTOP) and waits until every thread of it has stopped: the
// kernel starts a process's stop only once the thread it chose has run, so a thread of it
// may go on answering for a while after kill() returned (long, when that one waits on the
// disk). False when it has not stopped within `deadline`.
bool stopWholly(pid_t pid, std::chrono::milliseconds deadline = std::chrono::minutes(1));

// The user `nobody` and its group, for tests of what another local user can do; none
// where there is no such user or this process cannot become another user.
std::optional<std::pair<uid_t, gid_t>> otherUser();

// Starts `launch` and answers its pid, -1 when it could not be started. Nothing runs
// between fork and exec: the tests that start launches have threads of their own (a
// loopback server, the SDK's queues, a widget toolkit), and a child that allocated after
// the fork could wait for ever on a lock one of them held at that moment.
pid_t spawnSelf(const SelfLaunch& launch);

// The full name of the running test, as a launch's testName.
std::string currentTestName();

}  // namespace gwtest
