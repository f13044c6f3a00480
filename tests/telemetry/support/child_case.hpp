#pragma once
// Child processes of the telemetry tests: launches of this test executable, and a bounded
// wait for any child, so that a hang ends as a failure instead of blocking the run.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace rddi::testkit {

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
};

// Starts `launch` and answers its pid, -1 when it could not be started. Nothing runs
// between fork and exec: the tests that start launches have threads of their own (a
// loopback server, the SDK's queues), and a child that allocated after the fork could
// wait for ever on a lock one of them held at that moment.
pid_t spawnSelf(const SelfLaunch& launch);

struct ChildCaseRun {
    int status = -1;     // its exit status; -1 when it did not end by itself in time
    std::string report;  // what it wrote to the file named by the report variable
};

// Runs one test of the running test executable in a child process, as a new launch of the
// program would: the child finds only what the earlier launch left in the settings and stores.
// The child sees `reportVariable` naming a scratch file; its test runs only when that is set.
ChildCaseRun runChildCase(const std::string& testName, const std::string& reportVariable);

}  // namespace rddi::testkit
