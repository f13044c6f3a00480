#include "platform/foundation/user_defaults.hpp"
#include "support/temp_dir.hpp"
#include "platform/foundation/clock.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>


#include <cstdlib>
#include <fstream>
#include <map>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

// A service of our own for driving the entry point: records when it starts and how
// often its enabled state is applied.
class TestService final : public RDDIServiceAbstract {
public:
    TestService(std::string name, std::int64_t priority, bool secretRequired, std::vector<std::string>& startOrder)
        : name_(std::move(name)), priority_(priority), secretRequired_(secretRequired), startOrder_(startOrder) {}

    std::string serviceName() const override { return name_; }
    std::string groupId() const override { return name_; }
    std::string logTag() const override { return "DezIdedev" + name_; }
    std::string className() const override { return "RDDI" + name_; }
    std::int64_t initializationPriority() const override { return priority_; }
    bool isAppSecretRequired() const override { return secretRequired_; }
    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration() const override {
        return RDDIChannelUnitConfiguration::defaultConfiguration(name_);
    }
    void startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> group, std::optional<std::string> secret,
                               std::optional<std::string> token, bool fromApplication) override {
        startOrder_.push_back(name_);
        RDDIServiceAbstract::startWithChannelGroup(std::move(group), std::move(secret), std::move(token),
                                                   fromApplication);
    }
    void applyEnabledState(bool enabled) override {
        applied.push_back(enabled);
        RDDIServiceAbstract::applyEnabledState(enabled);
    }

    std::vector<bool> applied;

private:
    std::string name_;
    std::int64_t priority_;
    bool secretRequired_;
    std::vector<std::string>& startOrder_;
};

class DezIdedevTest : public ::testing::Test {
protected:
    // What a new launch of the process would find; time moves on.
    void TelemetryRelaunch() {
        testkit::TelemetryTestEnvironment::resetSdk();
        clock_->advanceSeconds(60);
    }
    testkit::ScopedManualClock clock_;

    RDDIServiceClass serviceClass(const std::string& name, std::int64_t priority = 500, bool secretRequired = true) {
        auto& instance = services_[name];
        if (!instance) instance = std::make_shared<TestService>(name, priority, secretRequired, startOrder_);
        return {"RDDI" + name, [instance] { return std::static_pointer_cast<RDDIServiceInternal>(instance); }};
    }
    std::shared_ptr<TestService> service(const std::string& name) { return services_.at(name); }

    // The start-service logs on the core unit, as lists of names.
    std::vector<std::vector<std::string>> startServiceLogs() const {
        std::vector<std::vector<std::string>> result;
        for (const auto& entry : env_.channelGroup()->storedLogs("DezIdedev")) {
            auto log = std::dynamic_pointer_cast<RDDIStartServiceLog>(entry.log);
            if (log && log->services) result.push_back(*log->services);
            EXPECT_EQ(entry.flags, RDDIFlagsNormal);
        }
        return result;
    }

    testkit::TelemetryTestEnvironment env_;
    std::vector<std::string> startOrder_;
    std::map<std::string, std::shared_ptr<TestService>> services_;
};

TEST_F(DezIdedevTest, StartsServicesHighestPriorityFirstAndReportsThem) {
    RDDIDezIdedev::start("secret", {serviceClass("Analytics", 500), serviceClass("Crashes", 999)});

    EXPECT_EQ(startOrder_, (std::vector<std::string>{"Crashes", "Analytics"}));
    EXPECT_EQ(env_.channelGroup()->unitGroupIds(), (std::vector<std::string>{"DezIdedev", "Crashes", "Analytics"}));
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"Crashes", "Analytics"}}));
    EXPECT_EQ(env_.channelGroup()->appSecret(), "secret");
    EXPECT_TRUE(RDDIDezIdedev::isConfigured());
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "Start services RDDICrashes, RDDIAnalytics from an application"));
}

TEST_F(DezIdedevTest, SecondStartFromTheApplicationIsRefusedButStartServiceStillWorks) {
    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});
    RDDIDezIdedev::start("other", {serviceClass("Crashes", 999)});

    EXPECT_TRUE(env_.logged(RDDILogLevelAssert, "Dez Idedev SDK has already been configured."));
    EXPECT_TRUE(env_.logged(RDDILogLevelAssert, "Dez Idedev SDK configuration failed."));
    EXPECT_EQ(startOrder_, std::vector<std::string>{"Analytics"});
    EXPECT_EQ(RDDIDezIdedev::sharedInstance()->appSecret(), "secret");

    RDDIDezIdedev::startService(serviceClass("Crashes", 999));
    EXPECT_EQ(startOrder_, (std::vector<std::string>{"Analytics", "Crashes"}));
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"Analytics"}, {"Crashes"}}));
}

TEST_F(DezIdedevTest, ServiceThatNeedsASecretIsRefusedWithoutOne) {
    RDDIDezIdedev::start("target=tok", {serviceClass("Crashes", 999, true)});

    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "Cannot start service RDDICrashes. Dez Idedev was started without app secret, but the "
                            "service requires it."));
    EXPECT_TRUE(startOrder_.empty());
    EXPECT_TRUE(startServiceLogs().empty());
    EXPECT_EQ(RDDIDezIdedev::sharedInstance()->defaultTransmissionTargetToken(), "tok");
}

TEST_F(DezIdedevTest, StartingBeforeConfigurationOrWithANullClassIsRefused) {
    EXPECT_FALSE(RDDIDezIdedev::sharedInstance()->startService(serviceClass("Analytics"), "s", std::nullopt, true));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Dez Idedev has not been configured so it couldn't start the service."));

    RDDIDezIdedev::configureWithAppSecret("s");
    EXPECT_FALSE(RDDIDezIdedev::sharedInstance()->startService(RDDIServiceClass{}, "s", std::nullopt, true));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Cannot start service (null). Provided value is nil or invalid."));
}

TEST_F(DezIdedevTest, DisableVariableNamesServicesOrAll) {
    struct Case {
        const char* value;
        std::vector<std::string> started;
    };
    for (const Case& c : {Case{"  All  ", {}}, Case{"Analytics, Crashes", {"Other"}}, Case{"all", {"Crashes", "Analytics", "Other"}},
                          Case{"Crashes", {"Analytics", "Other"}}}) {
        SCOPED_TRACE(c.value);
        testkit::TelemetryTestEnvironment::resetSdk();
        services_.clear();
        startOrder_.clear();
        gwtest::ScopedEnv disable("DEZ_IDEDEV_DISABLE", std::string(c.value));
        RDDIDezIdedev::start("secret", {serviceClass("Analytics"), serviceClass("Crashes", 999), serviceClass("Other", 1)});
        EXPECT_EQ(startOrder_, c.started);
    }
    EXPECT_TRUE(env_.logged(RDDILogLevelDebug,
                            "Environment variable to disable service has been set; not starting service RDDIAnalytics"));
}

TEST_F(DezIdedevTest, TestCloudVariableMustBeExactlyOne) {
    {
        gwtest::ScopedEnv env("RUNNING_IN_DEZ_IDEDEV", std::string("1"));
        EXPECT_TRUE(RDDIDezIdedev::isRunningInDezIdedevTestCloud());
    }
    gwtest::ScopedEnv env("RUNNING_IN_DEZ_IDEDEV", std::string("true"));
    EXPECT_FALSE(RDDIDezIdedev::isRunningInDezIdedevTestCloud());
}

TEST_F(DezIdedevTest, EnabledSwitchNeedsConfigurationThenDisablesPipelineAndServices) {
    RDDIDezIdedev::setEnabled(false);
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "Dez Idedev SDK hasn't been configured. You need to call [RDDIDezIdedev "
                            "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
    EXPECT_FALSE(RDDIDezIdedev::isEnabled());
    EXPECT_TRUE(RDDIDezIdedevUserDefaults::shared()->objectForKey("DezIdedevIsEnabled").isNull());

    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});
    EXPECT_TRUE(RDDIDezIdedev::isEnabled());
    RDDIDezIdedev::setEnabled(false);

    EXPECT_FALSE(RDDIDezIdedev::isEnabled());
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("DezIdedevIsEnabled"), pf::Value(false));
    EXPECT_EQ(env_.channelGroup()->enabledCalls().back(), std::make_pair(false, true));
    EXPECT_FALSE(service("Analytics")->isEnabled());
    EXPECT_EQ(env_.channelGroup()->unit("Analytics")->enabledCalls().back(), std::make_pair(false, true));
    EXPECT_TRUE(env_.logged(RDDILogLevelInfo, "Dez Idedev SDK disabled."));
}

TEST_F(DezIdedevTest, StartWhileDisabledQueuesTheStartServiceLogUntilEnabled) {
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(false), "DezIdedevIsEnabled");
    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});

    EXPECT_TRUE(startServiceLogs().empty());
    EXPECT_EQ(RDDIDezIdedev::sharedInstance()->startedServiceNames(), std::vector<std::string>{"Analytics"});
    // The newly started service follows the SDK's switch.
    EXPECT_FALSE(service("Analytics")->isEnabled());

    RDDIDezIdedev::setEnabled(true);
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"Analytics"}}));
    EXPECT_EQ(RDDIDezIdedev::sharedInstance()->startedServiceNames(), std::nullopt);
    EXPECT_TRUE(service("Analytics")->isEnabled());
}

TEST_F(DezIdedevTest, InstallIdIsKeptAndAnUnparseableOneReplaced) {
    const pf::UUID first = RDDIDezIdedev::installId();
    EXPECT_EQ(RDDIDezIdedev::installId(), first);
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("InstallId"), pf::Value(first.uuidString()));

    testkit::TelemetryTestEnvironment::resetSdk();
    EXPECT_EQ(RDDIDezIdedev::installId(), first);

    testkit::TelemetryTestEnvironment::resetSdk();
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value("not a uuid"), "InstallId");
    const pf::UUID replaced = RDDIDezIdedev::installId();
    EXPECT_NE(replaced, first);
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("InstallId"), pf::Value(replaced.uuidString()));
}

TEST_F(DezIdedevTest, OldInstallIdKeyIsMigrated) {
    pf::UserDefaults::standard().setObject(pf::Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), "RDInstallId");
    EXPECT_EQ(RDDIDezIdedev::installId().uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST_F(DezIdedevTest, StorageSizeIsAnsweredOnEveryPath) {
    std::vector<bool> answers;
    auto record = [&](bool ok) { answers.push_back(ok); };
    RDDIDezIdedev::setMaxStorageSize(24575, record);
    EXPECT_EQ(answers, std::vector<bool>{false});

    RDDIDezIdedev::setMaxStorageSize(24576, record);
    EXPECT_EQ(answers.size(), 1u);  // waits for the store
    RDDIDezIdedev::setMaxStorageSize(50000, record);
    EXPECT_EQ(answers, (std::vector<bool>{false, false}));

    RDDIDezIdedev::configure();
    EXPECT_EQ(env_.channelGroup()->maxStorageSize(), 24576);
    EXPECT_EQ(answers, (std::vector<bool>{false, false, true}));
}

TEST_F(DezIdedevTest, StorageSizeAfterApplicationConfigurationIsRefused) {
    RDDIDezIdedev::configure();
    bool answer = true;
    RDDIDezIdedev::setMaxStorageSize(30000, [&](bool ok) { answer = ok; });
    EXPECT_FALSE(answer);
    EXPECT_EQ(env_.channelGroup()->maxStorageSize(), std::nullopt);
}

TEST_F(DezIdedevTest, NetworkSwitchIsStoredBeforeConfigurationAndPausesTheGroupAfter) {
    RDDIDezIdedev::setNetworkRequestsAllowed(false);
    EXPECT_FALSE(RDDIDezIdedev::isNetworkRequestsAllowed());
    RDDIDezIdedev::configure();
    EXPECT_FALSE(RDDIDezIdedev::isNetworkRequestsAllowed());

    RDDIDezIdedev::setNetworkRequestsAllowed(false);
    EXPECT_TRUE(env_.channelGroup()->isPaused());
    RDDIDezIdedev::setNetworkRequestsAllowed(true);
    EXPECT_FALSE(env_.channelGroup()->isPaused());
    EXPECT_TRUE(env_.logged(RDDILogLevelInfo, "Dez Idedev SDK network requests are forbidden."));
}

TEST_F(DezIdedevTest, LibraryConfigurationDoesNotCountAsTheApplicationsAndSendsNoStartLog) {
    RDDIDezIdedev::startFromLibraryWithServices({serviceClass("Analytics", 500, false)});
    EXPECT_FALSE(RDDIDezIdedev::isConfigured());
    EXPECT_EQ(startOrder_, std::vector<std::string>{"Analytics"});
    EXPECT_TRUE(startServiceLogs().empty());

    // The application may still configure once, and takes the running service over.
    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});
    EXPECT_TRUE(RDDIDezIdedev::isConfigured());
    EXPECT_TRUE(service("Analytics")->isStartedFromApplication());
    EXPECT_EQ(service("Analytics")->appSecret(), "secret");
    EXPECT_EQ(startOrder_, std::vector<std::string>{"Analytics"});
}

// --- Service base -------------------------------------------------------------------

TEST_F(DezIdedevTest, ServiceSwitchedOffInTheSettingsStartsWithoutApplyingItsState) {
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(false), "AnalyticsIsEnabled");
    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});

    EXPECT_TRUE(service("Analytics")->isStarted());
    EXPECT_FALSE(service("Analytics")->isAvailable());
    EXPECT_TRUE(service("Analytics")->applied.empty());
    EXPECT_TRUE(env_.channelGroup()->unit("Analytics")->enabledCalls().empty());
}

TEST_F(DezIdedevTest, ServiceSwitchIsStoredOnlyOnChangeAndRefusedWhileTheSdkIsOff) {
    RDDIDezIdedev::start("secret", {serviceClass("Analytics")});
    auto analytics = service("Analytics");
    ASSERT_EQ(analytics->applied, std::vector<bool>{true});

    analytics->setEnabled(true);
    EXPECT_EQ(analytics->applied, std::vector<bool>{true});
    EXPECT_TRUE(RDDIDezIdedevUserDefaults::shared()->objectForKey("AnalyticsIsEnabled").isNull());

    analytics->classSetEnabled(false);
    EXPECT_EQ(analytics->applied, (std::vector<bool>{true, false}));
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("AnalyticsIsEnabled"), pf::Value(false));
    EXPECT_FALSE(analytics->classIsEnabled());

    RDDIDezIdedev::setEnabled(false);
    analytics->classSetEnabled(true);
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "The SDK is disabled. Re-enable the whole SDK from DezIdedev first before enabling "
                            "Analytics service."));
    EXPECT_EQ(RDDIDezIdedevUserDefaults::shared()->objectForKey("AnalyticsIsEnabled"), pf::Value(false));
}

TEST_F(DezIdedevTest, ServiceUsedBeforeStartNamesItselfWithoutItsPrefix) {
    serviceClass("Crashes");
    EXPECT_FALSE(service("Crashes")->classIsEnabled());
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "Crashes service hasn't been started. You need to call [RDDIDezIdedev "
                            "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
}

// --- The switches in a second process ----------------------------------------------

constexpr const char* kChildReportVariable = "GW_TELEMETRY_CHILD_REPORT";

// Runs only as the child of SwitchesSurviveARestart: starts the SDK as a new launch
// would and writes what it finds.
TEST(DezIdedevChildProcess, ReportStoredSwitches) {
    const char* report = std::getenv(kChildReportVariable);
    if (!report) GTEST_SKIP() << "runs as a child process only";
    testkit::TelemetryTestEnvironment::resetSdk();
    RDDIDezIdedev::configure();
    std::ofstream(report) << RDDIDezIdedev::isEnabled() << ' ' << RDDIDezIdedev::isNetworkRequestsAllowed() << ' '
                          << RDDIDezIdedev::installId().uuidString();
}

TEST_F(DezIdedevTest, SwitchesSurviveARestart) {
    RDDIDezIdedev::configure();
    RDDIDezIdedev::setEnabled(false);
    RDDIDezIdedev::setNetworkRequestsAllowed(false);
    const std::string installId = RDDIDezIdedev::installId().uuidString();

    const auto child = testkit::runChildCase("DezIdedevChildProcess.ReportStoredSwitches", kChildReportVariable);
    ASSERT_EQ(child.status, 0);
    EXPECT_EQ(child.report, "0 0 " + installId);
}

}  // namespace

namespace {

TEST_F(DezIdedevTest, UserIdNeedsAnApplicationConfigurationWithASecretOrToken) {
    RDDIDezIdedev::startFromLibraryWithServices({});
    RDDIDezIdedev::setUserId("alice");
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "DezIdedev must be configured from application, libraries cannot call setUserId."));
    EXPECT_EQ(RDDIDezIdedev::userId(), std::nullopt);

    RDDIDezIdedev::configure();  // from the application, but with neither secret nor token
    RDDIDezIdedev::setUserId("alice");
    EXPECT_TRUE(env_.logged(RDDILogLevelError,
                            "DezIdedev must be configured with a secret from application to call setUserId."));
    EXPECT_EQ(RDDIDezIdedev::userId(), std::nullopt);
}

TEST_F(DezIdedevTest, UserIdMustSuitEveryConfiguredKindOfTarget) {
    RDDIDezIdedev::configureWithAppSecret("secret;target=token-1");
    RDDIDezIdedev::setUserId(std::string(257, 'u'));  // too long for the secret's ingestion
    RDDIDezIdedev::setUserId("x:alice");             // a prefix the target's collector refuses
    EXPECT_EQ(RDDIDezIdedev::userId(), std::nullopt);
    RDDIDezIdedev::setUserId("c:alice");
    EXPECT_EQ(RDDIDezIdedev::userId(), "c:alice");
    RDDIDezIdedev::setUserId(std::nullopt);
    EXPECT_EQ(RDDIDezIdedev::userId(), std::nullopt);
}

TEST_F(DezIdedevTest, WrapperSdkCountryCodeAndVersionGoThroughTheDeviceTracker) {
    auto wrapper = std::make_shared<RDDIWrapperSdk>("1", "wrapper", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    RDDIDezIdedev::setWrapperSdk(wrapper);
    RDDIDezIdedev::setCountryCode("FR");
    EXPECT_EQ(RDDIDezIdedev::wrapperSdk(), wrapper);
    EXPECT_EQ(RDDIDezIdedev::countryCode(), "FR");
    const auto device = RDDIDeviceTracker::sharedInstance()->device();
    EXPECT_EQ(device->wrapperSdkName, "wrapper");
    EXPECT_EQ(device->carrierCountry, "FR");
    EXPECT_EQ(RDDIDezIdedev::sdkVersion(), "4.3.0");
}

TEST_F(DezIdedevTest, ConfigurationStartsWithoutASessionAndDisablingClearsTheHistories) {
    RDDISessionContext::sharedInstance()->setSessionId("before");
    RDDIUserIdContext::sharedInstance()->setUserId("earlier");
    RDDIDeviceTracker::sharedInstance()->device();
    TelemetryRelaunch();
    RDDIDeviceTracker::refreshDeviceNextTime();
    RDDIDeviceTracker::sharedInstance()->device();
    RDDISessionContext::sharedInstance()->setSessionId("stale");

    RDDIDezIdedev::start("secret", {});
    EXPECT_EQ(RDDISessionContext::sharedInstance()->sessionId(), std::nullopt);
    RDDIDezIdedev::setUserId("alice");
    ASSERT_EQ(RDDIDeviceTracker::sharedInstance()->deviceHistory().size(), 2u);
    ASSERT_EQ(RDDISessionContext::sharedInstance()->sessionHistory().size(), 2u);
    ASSERT_EQ(RDDIUserIdContext::sharedInstance()->userIdHistory().size(), 2u);
    const auto newestDevice = RDDIDeviceTracker::sharedInstance()->deviceHistory().back().timestamp;

    RDDIDezIdedev::setEnabled(false);
    const auto devices = RDDIDeviceTracker::sharedInstance()->deviceHistory();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].timestamp, newestDevice);
    EXPECT_TRUE(RDDISessionContext::sharedInstance()->sessionHistory().empty());
    const auto users = RDDIUserIdContext::sharedInstance()->userIdHistory();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].userId, "alice");
}

}  // namespace
