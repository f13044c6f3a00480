#pragma once
// Child processes of the telemetry tests: launches of this test executable (support/self_launch.hpp)
// that run one test as a new launch of the program would.
#include "support/self_launch.hpp"

#include <string>

namespace rddi::testkit {

using gwtest::SelfLaunch;
using gwtest::spawnSelf;
using gwtest::waitForChild;

struct ChildCaseRun {
    int status = -1;     // its exit status; -1 when it did not end by itself in time
    std::string report;  // what it wrote to the file named by the report variable
};

// Runs one test of the running test executable in a child process, as a new launch of the
// program would: the child finds only what the earlier launch left in the settings and stores.
// The child sees `reportVariable` naming a scratch file; its test runs only when that is set.
ChildCaseRun runChildCase(const std::string& testName, const std::string& reportVariable);

}  // namespace rddi::testkit
