#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace rddi;
namespace fs = std::filesystem;

TEST(CrashesFoldersTest, EachFolderIsMadeOncePerProcessAndAgainAfterReset) {
    testkit::TelemetryTestEnvironment env;
    RDDIUtility::resetDezIdedevDirectoryURL();
    RDDICrashesUtil::resetDirectory();
    const struct {
        std::string (*accessor)();
        const char* name;
    } folders[] = {{RDDICrashesUtil::crashesDir, "crashes"},
                   {RDDICrashesUtil::logBufferDir, "crasheslogbuffer"},
                   {RDDICrashesUtil::wrapperExceptionsDir, "crasheswrapperexceptions"}};
    const fs::path sdk = RDDIUtility::dezIdedevDirectoryURL();
    for (const auto& f : folders) {
        SCOPED_TRACE(f.name);
        // Concurrent first calls all answer the name, and the folder exists after them.
        std::vector<std::thread> callers;
        for (int i = 0; i < 4; ++i) callers.emplace_back([&] { EXPECT_EQ(f.accessor(), f.name); });
        for (auto& t : callers) t.join();
        EXPECT_TRUE(fs::is_directory(sdk / f.name));

        // Deleted after the first call: not made again until the reset.
        fs::remove_all(sdk / f.name);
        EXPECT_EQ(f.accessor(), f.name);
        EXPECT_FALSE(fs::exists(sdk / f.name));
    }
    RDDICrashesUtil::resetDirectory();
    for (const auto& f : folders) {
        EXPECT_EQ(f.accessor(), f.name);
        EXPECT_TRUE(fs::is_directory(sdk / f.name)) << f.name;
    }

    // A folder that cannot be made still answers its name.
    for (const auto& f : folders) fs::remove_all(sdk / f.name);
    ASSERT_EQ(::chmod(sdk.c_str(), 0500), 0);
    RDDICrashesUtil::resetDirectory();
    for (const auto& f : folders) EXPECT_EQ(f.accessor(), f.name);
    ::chmod(sdk.c_str(), 0700);
    if (::geteuid() != 0) {
        for (const auto& f : folders) EXPECT_FALSE(fs::exists(sdk / f.name)) << f.name;
    }
    RDDICrashesUtil::resetDirectory();
    RDDIUtility::resetDezIdedevDirectoryURL();
}

}  // namespace
