// The in-memory channel group tells its delegates about logs as the real unit does, and a
// delegate that keeps a copy of each in-flight log in the crash-time buffer sees them
// come and go; a crash while they are in flight writes them out whole.
#include "telemetry/core/rddi_history_info.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/crashes/rddi_crashes_log_buffer.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace rddi;
namespace fs = std::filesystem;

struct BufferingDelegate : RDDIChannelDelegate {
    void channelDidPrepareLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log, const std::string& internalId,
                              RDDIFlags) override {
        auto data = RDDIUtility::archiveKeyedData(&log);
        if (!data) return;
        RDDICrashesLogBuffer::store(std::string(data->begin(), data->end()), "", internalId, 1);
        prepared.push_back(internalId);
    }
    void channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog&,
                                         const std::string& internalId) override {
        RDDICrashesLogBuffer::remove(internalId);
        completed.push_back(internalId);
    }
    std::vector<std::string> prepared, completed;
};

std::shared_ptr<RDDIStartServiceLog> serviceLog(const std::string& name) {
    auto log = std::make_shared<RDDIStartServiceLog>();
    log->services = std::vector<std::string>{name};
    return log;
}

TEST(BufferedChannelTest, InFlightLogsOccupySlotsUntilTheirCompletionAndAreWrittenAtACrash) {
    testkit::TelemetryTestEnvironment env;
    RDDIRegisterCoreArchiveClasses();
    gwtest::TempDir dir;
    RDDICrashesLogBuffer::resetForTesting();
    for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n)
        RDDICrashesLogBuffer::resetSlot(n, (dir / (std::to_string(n) + ".rdcrasheslogbuffer")).string());

    auto delegate = std::make_shared<BufferingDelegate>();
    auto group = env.channelGroup();
    group->addDelegate(delegate);
    auto unit = group->addChannelUnitWithConfiguration(
        std::make_shared<RDDIChannelUnitConfiguration>("Analytics", 1, 3, 50, 3));

    group->setHoldsCompletions(true);
    for (const char* name : {"Analytics", "Crashes", "Distribute"}) unit->enqueueItem(serviceLog(name), 1);
    auto invalid = std::make_shared<RDDIStartServiceLog>();
    invalid->type.reset();
    unit->enqueueItem(invalid, 1);  // never prepared, so never buffered

    ASSERT_EQ(delegate->prepared.size(), 3u);
    EXPECT_TRUE(delegate->completed.empty());
    EXPECT_EQ(group->heldCompletionCount(), 3u);
    EXPECT_EQ(group->logs().size(), 4u);

    RDDICrashesLogBuffer::writeAtCrash();
    std::vector<std::string> replayed;
    for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n) {
        std::ifstream in(dir / (std::to_string(n) + ".rdcrasheslogbuffer"), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string text = bytes.str();
        if (text.empty()) continue;
        auto log = RDDIUtility::unarchiveKeyedData<RDDIStartServiceLog>(
            platform::foundation::Data(text.begin(), text.end()));
        ASSERT_TRUE(log) << "slot " << n;
        replayed.push_back(log->services->front());
    }
    EXPECT_EQ(replayed, (std::vector<std::string>{"Analytics", "Crashes", "Distribute"}));

    group->setHoldsCompletions(false);
    EXPECT_EQ(delegate->completed, delegate->prepared);
    for (std::size_t n = 0; n < kRDDICrashesLogBufferSize; ++n)
        EXPECT_TRUE(RDDICrashesLogBuffer::slot(n).logData.empty()) << n;
    // Once completion flows again each log is freed as soon as it is enqueued.
    unit->enqueueItem(serviceLog("Push"), 1);
    EXPECT_EQ(delegate->completed.size(), 4u);
    RDDICrashesLogBuffer::resetForTesting();
}

}  // namespace
