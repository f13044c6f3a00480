#include "telemetry/crashes/rddi_wrapper_exception.hpp"

#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes_util.hpp"
#include "telemetry/crashes/rddi_error_logs.hpp"
#include "telemetry/crashes/rddi_wrapper_crashes_helper.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace rddi;
namespace fs = std::filesystem;
namespace pf = platform::foundation;

class WrapperExceptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIUtility::resetDezIdedevDirectoryURL();
        RDDICrashesUtil::resetDirectory();
        RDDIWrapperExceptionManager::resetForTesting();
        folder = RDDIUtility::dezIdedevDirectoryURL() / RDDICrashesUtil::wrapperExceptionsDir();
    }
    void TearDown() override { RDDIWrapperExceptionManager::resetForTesting(); }

    static RDDIWrapperException exception(std::int64_t pid, const std::string& type) {
        RDDIWrapperException e;
        e.modelException = RDDIExceptionModel::withType(type, "managed failure",
                                                        std::vector<std::string>{"0 Managed 0x10 Type.Method + 4"});
        e.exceptionData = pf::dataFromString("opaque runtime bytes");
        e.processId = pid;
        return e;
    }
    static std::shared_ptr<RDDIErrorReport> report(const std::string& incident, std::uint64_t pid) {
        return std::make_shared<RDDIErrorReport>(incident, "key", "SIGSEGV", std::nullopt, std::nullopt,
                                                 std::nullopt, std::nullopt, nullptr, pid);
    }

    testkit::TelemetryTestEnvironment env;
    fs::path folder;
};

TEST_F(WrapperExceptionTest, TheLastSavedOneIsMatchedToItsProcessReportAndKeptInMemory) {
    RDDIWrapperExceptionManager::saveWrapperException(exception(111, "First"));
    RDDIWrapperExceptionManager::saveWrapperException(exception(4242, "System.NullReferenceException"));
    ASSERT_TRUE(fs::exists(folder / "last_saved_wrapper_exception"));

    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        {report("AAAA-OTHER", 1), report("BBBB-MATCH", 4242), report("CCCC-LATER", 4242)});
    EXPECT_FALSE(fs::exists(folder / "last_saved_wrapper_exception"));
    EXPECT_TRUE(fs::exists(folder / "BBBB-MATCH"));
    EXPECT_FALSE(fs::exists(folder / "CCCC-LATER"));

    auto loaded = RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("BBBB-MATCH");
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(loaded->modelException);
    EXPECT_EQ(loaded->modelException->type, "System.NullReferenceException") << "only the second save is kept";
    EXPECT_EQ(loaded->processId, 4242);
    EXPECT_EQ(loaded->exceptionData, pf::dataFromString("opaque runtime bytes"));

    // The file goes when the report is done with; this process still has it at hand.
    RDDIWrapperExceptionManager::deleteWrapperExceptionWithUUIDString("BBBB-MATCH");
    EXPECT_FALSE(fs::exists(folder / "BBBB-MATCH"));
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("BBBB-MATCH"), loaded);

    // A file saved under an identifier decodes as an equal object from disk.
    RDDIWrapperExceptionManager::saveWrapperException(exception(7, "Disk"), "DDDD-DISK");
    auto fromDisk = RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("DDDD-DISK");
    ASSERT_TRUE(fromDisk);
    EXPECT_EQ(pf::Value(fromDisk->serializeToDictionary()), pf::Value(exception(7, "Disk").serializeToDictionary()));

    RDDIWrapperExceptionManager::deleteAllWrapperExceptions();
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(WrapperExceptionTest, UnmatchedMissingAndUndecodableExceptionsComeToNothing) {
    // No saved exception: nothing happens.
    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("A", 1)});
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("A"), nullptr);

    // Saved by a process no report belongs to: dropped.
    RDDIWrapperExceptionManager::saveWrapperException(exception(99, "Lost"));
    RDDIWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("A", 1), report("B", 2)});
    EXPECT_FALSE(fs::exists(folder / "last_saved_wrapper_exception"));
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("A"), nullptr);

    // Bytes that are no archive: nothing, and the file is deleted on the first load.
    std::ofstream(folder / "EEEE-BAD") << "not an archive";
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("EEEE-BAD"), nullptr);
    EXPECT_FALSE(fs::exists(folder / "EEEE-BAD"));
    EXPECT_TRUE(env.logged(RDDILogLevelError, "Could not read exception data stored on disk with file name EEEE-BAD"));

    // A link at a saved exception's name, even to a saved exception elsewhere: not read, and
    // removed with a warning; what it leads to stays.
    RDDIWrapperExceptionManager::saveWrapperException(exception(7, "Elsewhere"), "FFFF-REAL");
    fs::rename(folder / "FFFF-REAL", env.xdg().root() / "elsewhere");
    fs::create_symlink(env.xdg().root() / "elsewhere", folder / "FFFF-LINK");
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("FFFF-LINK"), nullptr);
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder / "FFFF-LINK")));
    EXPECT_TRUE(fs::exists(env.xdg().root() / "elsewhere"));
    EXPECT_TRUE(env.logged(RDDILogLevelWarning, "A symbolic link was found in place of a saved wrapper exception \"" +
                                                    (folder / "FFFF-LINK").string() + "\"; it was removed."));
}

TEST_F(WrapperExceptionTest, OneLargerThanALogMayCarryIsNeitherSavedNorReadBack) {
    auto large = exception(4242, "Large");
    large.exceptionData = pf::Data(kRDDIMaxReadBackFileSize, 'x');
    RDDIWrapperExceptionManager::saveWrapperException(large);
    EXPECT_FALSE(fs::exists(folder / "last_saved_wrapper_exception"));
    EXPECT_TRUE(env.logged(RDDILogLevelError, fmt::format("The wrapper exception is larger than {} bytes; it is not "
                                                          "saved.", kRDDIMaxReadBackFileSize)));

    // One put at a name by an earlier version or another program is not read into memory
    // whole: refused, and removed.
    const auto archived = RDDIUtility::archiveKeyedData(&large);
    ASSERT_TRUE(archived && archived->size() > kRDDIMaxReadBackFileSize);
    std::ofstream(folder / "GGGG-LARGE", std::ios::binary)
        .write(reinterpret_cast<const char*>(archived->data()), static_cast<std::streamsize>(archived->size()));
    EXPECT_EQ(RDDIWrapperExceptionManager::loadWrapperExceptionWithUUIDString("GGGG-LARGE"), nullptr);
    EXPECT_FALSE(fs::exists(folder / "GGGG-LARGE"));
    EXPECT_TRUE(env.logged(RDDILogLevelError, "Could not read exception data stored on disk with file name GGGG-LARGE"));
}

TEST_F(WrapperExceptionTest, SerialisesSetFieldsOnlyInItsOrderAndDecodesTheOldClassName) {
    RDDIWrapperException empty;
    EXPECT_TRUE(empty.serializeToDictionary().empty());
    auto full = exception(5, "T").serializeToDictionary();
    EXPECT_TRUE(full.count("modelException") && full.count("processId") && full.count("exceptionData"));

    RDDIRegisterCrashesArchiveClasses();
    auto data = RDDIUtility::archiveKeyedData(&empty);
    ASSERT_TRUE(data);
    EXPECT_TRUE(RDDIUtility::unarchiveKeyedData<RDDIWrapperException>(data));
}

TEST(WrapperCrashesHelper, HoldsTheSetUpDelegateWeaklyAndSwitchesTheSharedServicesProcessing) {
    RDDICrashes::resetSharedInstance();
    struct Delegate : RDDICrashHandlerSetupDelegate {};
    EXPECT_EQ(RDDIWrapperCrashesHelper::sharedInstance(), RDDIWrapperCrashesHelper::sharedInstance());
    auto owned = std::make_shared<Delegate>();
    RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(owned);
    EXPECT_EQ(RDDIWrapperCrashesHelper::crashHandlerSetupDelegate(), owned);
    EXPECT_EQ(RDDIWrapperCrashesHelper::getCrashHandlerSetupDelegate(), owned);
    // The wrapper owns it: once it lets go, the helper has none (and keeps nothing alive).
    std::weak_ptr<Delegate> watch = owned;
    owned.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(RDDIWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr);
    EXPECT_EQ(RDDIWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
    // The service's own setter goes to the same place.
    auto other = std::make_shared<Delegate>();
    RDDICrashes::setCrashHandlerSetupDelegate(other);
    EXPECT_EQ(RDDIWrapperCrashesHelper::crashHandlerSetupDelegate(), other);
    RDDIWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);

    EXPECT_TRUE(RDDIWrapperCrashesHelper::automaticProcessing());
    RDDIWrapperCrashesHelper::setAutomaticProcessing(false);
    EXPECT_FALSE(RDDICrashes::sharedInstance()->isAutomaticProcessingEnabled());
    EXPECT_FALSE(RDDIWrapperCrashesHelper::automaticProcessing());
    // A service that never enabled has nothing waiting, and answers at once.
    EXPECT_TRUE(RDDIWrapperCrashesHelper::unprocessedCrashReports().empty());
    EXPECT_EQ(RDDIWrapperCrashesHelper::buildHandledErrorReportWithErrorID("F00D")->incidentIdentifier(), "F00D");
    RDDICrashes::resetSharedInstance();
}

}  // namespace
