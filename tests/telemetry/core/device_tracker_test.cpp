#include "platform/appkit/screen_registry.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/json.hpp"
#include "support/temp_dir.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

class DeviceTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        gwtest::writeFile(root_ / "sys/class/dmi/id/product_name", "Test Model 7\n");
        gwtest::writeFile(root_ / "sys/class/dmi/id/sys_vendor", "Test Maker\n");
        gwtest::writeFile(root_ / "etc/os-release", "NAME=\"Test OS\"\nVERSION_ID=\"12\"\n");
        const std::map<std::string, std::string> environment = {{"LANG", "sr_RS.UTF-8@latin"}};
        RDDIDeviceTracker::setHostFactsSources(pf::HostFactsSources{
            root_.path(), [environment](const std::string& name) -> std::optional<std::string> {
                auto it = environment.find(name);
                return it == environment.end() ? std::nullopt : std::optional<std::string>(it->second);
            }});
        platform::appkit::ScreenRegistry::shared().setPrimaryScreenSize(platform::appkit::ScreenSize{1920, 1080});
    }
    void TearDown() override {
        platform::appkit::ScreenRegistry::shared().setPrimaryScreenSize(std::nullopt);
        RDDIDeviceTracker::setHostFactsSources(std::nullopt);
        pf::Bundle::setMain(nullptr);
    }

    // Rebuilds the device with the country code as a mark, a second later each time.
    std::shared_ptr<RDDIDevice> rebuild(const std::string& mark) {
        clock_->advanceSeconds(1);
        auto tracker = RDDIDeviceTracker::sharedInstance();
        tracker->setCountryCode(mark);
        return tracker->device();
    }

    static std::vector<std::optional<std::string>> marks(const std::vector<RDDIDeviceHistoryInfo>& history) {
        std::vector<std::optional<std::string>> result;
        for (const auto& entry : history) result.push_back(entry.device->carrierCountry);
        return result;
    }

    testkit::TelemetryTestEnvironment env_;
    gwtest::TempDir root_;
    testkit::ScopedManualClock clock_;
};

TEST_F(DeviceTrackerTest, DescribesThisHostAndTheApplication) {
    gwtest::ScopedEnv tz("TZ", "XXX-5:30");
    const auto device = RDDIDeviceTracker::sharedInstance()->device();
    const pf::Dictionary expected = {
        {"sdkName", "dezidedev.macos"}, {"sdkVersion", "4.3.0"},   {"model", "Test Model 7"},
        {"oemName", "Test Maker"},      {"osName", "Test OS"},      {"osVersion", "12.0.0"},
        {"osBuild", RDDIDeviceTracker::osBuild()},                  {"locale", "sr-Latn_RS"},
        {"timeZoneOffset", 330},        {"screenSize", "1920x1080"}, {"appVersion", "1.0"},
        {"appBuild", "1"},              {"appNamespace", "com.norvane.glyphwright"},
    };
    EXPECT_EQ(device->serializeToDictionary(), expected);
    EXPECT_TRUE(device->isValid());
    // The same object until something changes.
    EXPECT_EQ(RDDIDeviceTracker::sharedInstance()->device(), device);

    // Without a display there is no screen size, and the device is still valid.
    platform::appkit::ScreenRegistry::shared().setPrimaryScreenSize(std::nullopt);
    RDDIDeviceTracker::refreshDeviceNextTime();
    const auto headless = RDDIDeviceTracker::sharedInstance()->device();
    EXPECT_NE(headless, device);
    EXPECT_FALSE(headless->screenSize);
    EXPECT_TRUE(headless->isValid());
}

TEST_F(DeviceTrackerTest, ADeviceWithoutAppBuildIsInvalid) {
    pf::Bundle::setMain(std::make_unique<pf::Bundle>(root_.path(), pf::Dictionary{{"CFBundleShortVersionString", "2.0"}}));
    const auto device = RDDIDeviceTracker::sharedInstance()->device();
    EXPECT_FALSE(device->appBuild);
    EXPECT_FALSE(device->isValid());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDIDevice: \"appBuild\" is not valid."));

    // Each required field, missing in turn, is named.
    for (const char* field : {"sdkName", "sdkVersion", "osName", "osVersion", "locale", "timeZoneOffset", "appVersion"}) {
        RDDIDevice copy = *RDDIDeviceTracker::sharedInstance()->device();
        copy.appBuild = "1";
        const std::string name = field;
        if (name == "timeZoneOffset") copy.timeZoneOffset.reset();
        else if (name == "sdkName") copy.sdkName.reset();
        else if (name == "sdkVersion") copy.sdkVersion.reset();
        else if (name == "osName") copy.osName.reset();
        else if (name == "osVersion") copy.osVersion.reset();
        else if (name == "locale") copy.locale.reset();
        else copy.appVersion.reset();
        env_.clearLogs();
        EXPECT_FALSE(copy.isValid()) << field;
        EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "RDDIDevice: \"" + name + "\" is not valid.")) << field;
    }
}

TEST_F(DeviceTrackerTest, SixRebuildsKeepTheFiveNewestAcrossARestart) {
    for (int i = 0; i < 6; ++i) rebuild("c" + std::to_string(i));
    auto history = RDDIDeviceTracker::sharedInstance()->deviceHistory();
    EXPECT_EQ(marks(history), (std::vector<std::optional<std::string>>{"c1", "c2", "c3", "c4", "c5"}));
    for (std::size_t i = 1; i < history.size(); ++i) EXPECT_LT(*history[i - 1].timestamp, *history[i].timestamp);

    testkit::TelemetryTestEnvironment::resetSdk();
    const auto reloaded = RDDIDeviceTracker::sharedInstance()->deviceHistory();
    ASSERT_EQ(reloaded.size(), 5u);
    for (std::size_t i = 0; i < reloaded.size(); ++i) {
        EXPECT_EQ(reloaded[i].timestamp, history[i].timestamp);
        EXPECT_EQ(*reloaded[i].device, *history[i].device);
    }
}

TEST_F(DeviceTrackerTest, DeviceForTimestampAnswersTheNewestStrictlyEarlierEntry) {
    auto tracker = RDDIDeviceTracker::sharedInstance();
    // No history yet: the current device.
    EXPECT_EQ(tracker->deviceForTimestamp(pf::Date::now())->carrierCountry, std::nullopt);
    testkit::TelemetryTestEnvironment::resetSdk();
    RDDIDezIdedevUserDefaults::shared()->removeObjectForKey("PastDevices");
    for (const char* mark : {"first", "second", "third"}) rebuild(mark);
    tracker = RDDIDeviceTracker::sharedInstance();
    const auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 3u);
    struct Case {
        const char* what;
        std::optional<pf::Date> at;
        const char* mark;
    };
    const Case cases[] = {
        {"before every entry", history[0].timestamp->addingTimeInterval(-10), "first"},
        {"at the first entry", *history[0].timestamp, "first"},
        {"at the second entry", *history[1].timestamp, "first"},
        {"between second and third", history[1].timestamp->addingTimeInterval(0.5), "second"},
        {"after every entry", history[2].timestamp->addingTimeInterval(10), "third"},
        {"no time", std::nullopt, "third"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tracker->deviceForTimestamp(c.at)->carrierCountry, c.mark);
    }
}

TEST_F(DeviceTrackerTest, WrapperSdkReplacesTheNewestEntryAndCountryCodeAddsOne) {
    auto tracker = RDDIDeviceTracker::sharedInstance();
    tracker->device();
    clock_->advanceSeconds(1);
    tracker->setCountryCode("DE");
    EXPECT_EQ(tracker->countryCode(), "DE");
    const auto withCountry = tracker->device();
    EXPECT_EQ(withCountry->carrierCountry, "DE");
    EXPECT_EQ(withCountry->serializeToDictionary().at("carrierCountry"), pf::Value("DE"));
    ASSERT_EQ(tracker->deviceHistory().size(), 2u);

    clock_->advanceSeconds(1);
    auto wrapper = std::make_shared<RDDIWrapperSdk>("1.2.3", "wrapper.name", "9.0", "label", "key", "hash");
    tracker->setWrapperSdk(wrapper);
    EXPECT_EQ(tracker->wrapperSdk(), wrapper);
    const auto history = tracker->deviceHistory();
    ASSERT_EQ(history.size(), 2u);  // replaced, not added
    const auto wrapped = tracker->device();
    EXPECT_EQ(history[1].device, wrapped);
    const auto json = pf::json::parse(pf::json::serialize(pf::Value(wrapped->serializeToDictionary())));
    const std::map<std::string, std::string> wrapperFields = {
        {"wrapperSdkVersion", "1.2.3"}, {"wrapperSdkName", "wrapper.name"}, {"wrapperRuntimeVersion", "9.0"},
        {"liveUpdateReleaseLabel", "label"}, {"liveUpdateDeploymentKey", "key"}, {"liveUpdatePackageHash", "hash"}};
    for (const auto& [key, value] : wrapperFields) EXPECT_EQ(json[key], pf::Value(value)) << key;
    EXPECT_TRUE(wrapped->isEqualWrapper(*wrapper));
    EXPECT_EQ(wrapped->carrierCountry, "DE");

    // Resetting forgets the wrapper and the country code.
    RDDIDeviceTracker::resetSharedInstance();
    EXPECT_EQ(RDDIDeviceTracker::sharedInstance()->wrapperSdk(), nullptr);
    EXPECT_EQ(RDDIDeviceTracker::sharedInstance()->countryCode(), std::nullopt);
}

TEST_F(DeviceTrackerTest, ClearingKeepsOnlyTheNewestEntry) {
    for (const char* mark : {"a", "b", "c"}) rebuild(mark);
    RDDIDeviceTracker::sharedInstance()->clearDevices();
    EXPECT_EQ(marks(RDDIDeviceTracker::sharedInstance()->deviceHistory()),
              (std::vector<std::optional<std::string>>{"c"}));
    testkit::TelemetryTestEnvironment::resetSdk();
    EXPECT_EQ(RDDIDeviceTracker::sharedInstance()->deviceHistory().size(), 1u);
}

using testkit::Renamed;

TEST_F(DeviceTrackerTest, DevicesArchivedUnderOldClassNamesAndRoundTripsCompareEqual) {
    auto device = std::make_shared<RDDIDevice>(*RDDIDeviceTracker::sharedInstance()->updatedDevice());
    device->wrapperSdkName = "w";
    device->osApiLevel = 3;
    const auto t = pf::Date::fromTimeIntervalSince1970(1600000000.25);
    RDDIRegisterCoreArchiveClasses();
    RDDIDeviceHistoryInfo entry(t, std::make_shared<Renamed<RDDIDevice>>("RDDevice", *device));
    RDDISaveHistory<pf::Archivable>(
        "PastDevices", {std::make_shared<Renamed<RDDIDeviceHistoryInfo>>("RDDeviceHistoryInfo", entry)});
    testkit::TelemetryTestEnvironment::resetSdk();
    const auto history = RDDIDeviceTracker::sharedInstance()->deviceHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].timestamp, t);
    EXPECT_EQ(history[0].device->archiveClassName(), "RDDIDevice");
    EXPECT_EQ(*history[0].device, *device);

    // A wrapper SDK archived under its old name.
    const RDDIWrapperSdk wrapper("1", "n", std::nullopt, "l", std::nullopt, "h");
    const auto data = RDDIUtility::archiveKeyedData(std::make_unique<Renamed<RDDIWrapperSdk>>("RDWrapperSdk", wrapper).get());
    const auto decoded = RDDIUtility::unarchiveKeyedData<RDDIWrapperSdk>(data);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqualWrapper(wrapper));
    EXPECT_EQ(decoded->serializeToDictionary(), wrapper.serializeToDictionary());
}

TEST_F(DeviceTrackerTest, UnreadablePastDevicesStartAnEmptyHistory) {
    struct NoTime : pf::Archivable {
        std::string archiveClassName() const override { return "RDDIDeviceHistoryInfo"; }
        void encode(pf::KeyedArchiver&) const override {}
    };
    const std::vector<std::pair<const char*, pf::Value>> cases = {
        {"a number", pf::Value(5)},
        {"garbage bytes", pf::Value(pf::dataFromString("bplist00garbage"))},
        {"a record without its time", pf::Value(*RDDIUtility::archiveKeyedData(
                                          std::make_unique<pf::ArchivedArray>(std::vector<std::shared_ptr<pf::Archivable>>{
                                                                                  std::make_shared<NoTime>()})
                                              .get()))},
    };
    for (const auto& [what, value] : cases) {
        SCOPED_TRACE(what);
        testkit::TelemetryTestEnvironment::resetSdk();
        RDDIDezIdedevUserDefaults::shared()->setObject(value, "PastDevices");
        env_.clearLogs();
        EXPECT_TRUE(RDDIDeviceTracker::sharedInstance()->deviceHistory().empty());
        bool logged = false;
        for (const auto& entry : env_.capturedLogs()) {
            logged = logged || entry.message.rfind("Unarchiving NSData failed with error: ", 0) == 0;
        }
        EXPECT_TRUE(logged);
        EXPECT_TRUE(RDDIDeviceTracker::sharedInstance()->device()->isValid());
    }
}

}  // namespace
