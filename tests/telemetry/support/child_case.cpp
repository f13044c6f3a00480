#include "telemetry/support/child_case.hpp"

#include "support/temp_dir.hpp"

#include <sys/wait.h>

#include <filesystem>

namespace rddi::testkit {

ChildCaseRun runChildCase(const std::string& testName, const std::string& reportVariable) {
    gwtest::TempDir scratch;
    const auto reportPath = scratch / "report.txt";
    ChildCaseRun run;
    const pid_t child = spawnSelf({testName, {{reportVariable, reportPath.string()}}});
    if (child < 0) return run;
    // Generous: a sanitizer build on a loaded machine is slow, and a hang must still end.
    const int status = waitForChild(child, std::chrono::minutes(4));
    if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    if (std::filesystem::exists(reportPath)) run.report = gwtest::readFile(reportPath);
    return run;
}

}  // namespace rddi::testkit
