#pragma once
// Child processes of the telemetry tests: launches of this test executable, and a bounded
// wait for any child, so that a hang ends as a failure instead of blocking the run.
#include <sys/types.h>

#include <chrono>
#include <string>

namespace rddi::testkit {

// Waits for `child` at most `deadline`, then kills it. Answers its wait status, or -1 when it
// had to be killed.
int waitForChild(pid_t child, std::chrono::milliseconds deadline);

struct ChildCaseRun {
    int status = -1;     // its exit status; -1 when it did not end by itself in time
    std::string report;  // what it wrote to the file named by the report variable
};

// Runs one test of the running test executable in a child process, as a new launch of the
// program would: the child finds only what the earlier launch left in the settings and stores.
// The child sees `reportVariable` naming a scratch file; its test runs only when that is set.
ChildCaseRun runChildCase(const std::string& testName, const std::string& reportVariable);

}  // namespace rddi::testkit
