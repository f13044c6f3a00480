// Transmission targets, their configurators, the ticket provider and the device id,
// against the in-memory channel group.
#include "support/temp_dir.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_ticket_cache.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include "platform/foundation/clock.hpp"
#include "platform/foundation/uuid.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

constexpr const char* kRootToken = "root0000000000000000000000000001-aaaa";
constexpr const char* kChildToken = "child000000000000000000000000002-bbbb";

class TransmissionTargetTest : public ::testing::Test {
protected:
    void start(const std::string& startString = "secret") {
        RDDIDezIdedev::start(startString, {RDDIAnalytics::serviceClass()});
    }
    // Starts, and answers the root target and its child.
    auto startWithTargets() {
        start();
        auto root = RDDIAnalytics::transmissionTargetForToken(kRootToken);
        return std::make_pair(root, root->transmissionTargetForToken(kChildToken));
    }
    std::vector<std::shared_ptr<RDDIEventLog>> events() const {
        std::vector<std::shared_ptr<RDDIEventLog>> result;
        for (const auto& entry : env_.channelGroup()->storedLogs("Analytics")) {
            if (auto event = std::dynamic_pointer_cast<RDDIEventLog>(entry.log)) result.push_back(event);
        }
        return result;
    }
    static std::string stringProperty(const RDDIEventLog& log, const std::string& key) {
        if (!log.typedProperties) return "<none>";
        const auto properties = log.typedProperties->properties();
        const auto found = properties.find(key);
        if (found == properties.end()) return "<missing>";
        const auto* string = dynamic_cast<const RDDIStringTypedProperty*>(found->second.get());
        return string && string->value ? *string->value : "<not a string>";
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(TransmissionTargetTest, TokensThatWouldCorruptTheHeaderAreRefused) {
    start();
    const std::string refused[] = {"", "abc\r", "abc\ndef", std::string("abc\0def", 7), "one,two"};
    for (const auto& token : refused) {
        SCOPED_TRACE(testing::PrintToString(token));
        env_.clearLogs();
        EXPECT_EQ(RDDIAnalytics::transmissionTargetForToken(token), nullptr);
        EXPECT_TRUE(env_.logged(RDDILogLevelError,
                                "Transmission target token must not be empty nor contain line breaks, NUL or commas."));
    }
    auto root = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    ASSERT_TRUE(root);
    EXPECT_EQ(RDDIAnalytics::transmissionTargetForToken(kRootToken), root);
    EXPECT_EQ(root->transmissionTargetForToken("bad,token"), nullptr);
    EXPECT_EQ(root->transmissionTargetForToken(kChildToken), root->transmissionTargetForToken(kChildToken));
    EXPECT_EQ(root->isEnabledKey(), "AnalyticsIsEnabled/root0000000000000000000000000001");
}

TEST_F(TransmissionTargetTest, EventsCarryTheTargetAndTheNearestDefaultsLoseToTheCallersProperties) {
    auto [root, child] = startWithTargets();
    root->propertyConfigurator()->setEventPropertyString("root", "shared");
    root->propertyConfigurator()->setEventPropertyString("root only", "rootKey");
    child->propertyConfigurator()->setEventPropertyString("child", "shared");
    child->propertyConfigurator()->setEventPropertyString("child", "overridden");

    child->trackEvent("defaults");
    child->trackEvent("given", RDDIStringProperties{{"overridden", "caller"}});
    root->trackEvent("plain");

    const auto logs = events();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(stringProperty(*logs[0], "shared"), "child");
    EXPECT_EQ(stringProperty(*logs[0], "rootKey"), "root only");
    EXPECT_EQ(stringProperty(*logs[1], "overridden"), "caller");
    EXPECT_EQ(stringProperty(*logs[1], "shared"), "child");
    EXPECT_EQ(stringProperty(*logs[2], "shared"), "root");
    EXPECT_EQ(stringProperty(*logs[2], "overridden"), "<missing>");
    EXPECT_EQ(logs[0]->transmissionTargetTokens(), std::set<std::string>{kChildToken});
    EXPECT_EQ(logs[0]->tag.get(), static_cast<const void*>(child.get()));
    EXPECT_EQ(logs[2]->transmissionTargetTokens(), std::set<std::string>{kRootToken});
    // Only the default target carries the user id.
    EXPECT_EQ(logs[0]->userId, std::nullopt);
}

TEST_F(TransmissionTargetTest, TheDefaultTargetCarriesTheCurrentUserId) {
    start(std::string("target=") + kRootToken);
    RDDIDezIdedev::setUserId("alice");
    RDDIAnalytics::trackEvent("with user");
    const auto logs = events();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]->userId, "alice");
    EXPECT_EQ(logs[0]->transmissionTargetTokens(), std::set<std::string>{kRootToken});
    EXPECT_EQ(RDDIAnalytics::sharedInstance()->defaultTransmissionTarget()->transmissionTargetToken(), kRootToken);
}

TEST_F(TransmissionTargetTest, DisablingARootSwitchesItsChildrenAndADisabledParentKeepsNewChildrenOff) {
    auto [root, child] = startWithTargets();
    root->setEnabled(false);
    EXPECT_FALSE(root->isEnabled());
    EXPECT_FALSE(child->isEnabled());

    env_.clearLogs();
    child->trackEvent("dropped");
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "This transmission target is disabled."));
    EXPECT_TRUE(events().empty());

    auto late = root->transmissionTargetForToken("late0000000000000000000000000003-cccc");
    EXPECT_FALSE(late->isEnabled());
    late->setEnabled(true);
    EXPECT_FALSE(late->isEnabled());
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning,
                            "Can't enable; parent transmission target and/or Analytics service is disabled."));

    root->setEnabled(true);
    EXPECT_TRUE(child->isEnabled());
    EXPECT_TRUE(late->isEnabled());
    child->trackEvent("sent");
    EXPECT_EQ(events().size(), 1u);

    // The service's switch reaches every target it handed out.
    RDDIAnalytics::sharedInstance()->classSetEnabled(false);
    EXPECT_FALSE(root->isEnabled());
    EXPECT_FALSE(child->isEnabled());
    RDDIAnalytics::sharedInstance()->classSetEnabled(true);
    EXPECT_TRUE(child->isEnabled());
}

TEST_F(TransmissionTargetTest, ConfiguratorFillsOnlyItsOwnTargetsCommonSchemaLogsFromTheNearestValue) {
    auto [root, child] = startWithTargets();
    root->propertyConfigurator()->setAppVersion("1.0");
    root->propertyConfigurator()->setAppName("root app");
    root->propertyConfigurator()->setUserId("bob");
    child->propertyConfigurator()->setAppName("child app");
    child->propertyConfigurator()->setAppLocale("fr-FR");
    auto unit = env_.channelGroup()->unit("Analytics");

    RDDIEventLog event;
    event.name = "e";
    event.tag = child;
    auto cs = event.toCommonSchemaLogForTargetToken(kChildToken, 1);
    child->propertyConfigurator()->channelPrepareLog(*unit, *cs);
    EXPECT_EQ(cs->ext->appExt->ver, "1.0");
    EXPECT_EQ(cs->ext->appExt->name, "child app");
    EXPECT_EQ(cs->ext->appExt->locale, "fr-FR");
    EXPECT_EQ(cs->ext->userExt->localId, "c:bob");
    EXPECT_EQ(cs->ext->deviceExt->localId, std::nullopt);

    // Another target's configurator leaves the log alone.
    auto other = event.toCommonSchemaLogForTargetToken(kChildToken, 1);
    root->propertyConfigurator()->channelPrepareLog(*unit, *other);
    EXPECT_NE(other->ext->appExt->name, "root app");

    // A user id the collector refuses leaves the one set before.
    for (const char* refused : {"x:bob", ""}) {
        root->propertyConfigurator()->setUserId(refused);
        EXPECT_EQ(root->propertyConfigurator()->userId(), "c:bob") << refused;
    }
    root->propertyConfigurator()->setUserId(std::nullopt);
    EXPECT_EQ(root->propertyConfigurator()->userId(), std::nullopt);
    env_.clearLogs();
    root->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Event property key to remove cannot be nil."));
}

TEST_F(TransmissionTargetTest, DeviceIdIsAVersion4IdOfThisApplicationOrNone) {
    gwtest::TempDir dir;
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.path() / name) << text;
        return dir.path() / name;
    };
    const auto machine = write("machine-id", "0123456789abcdef0123456789abcdef\n");
    const auto other = write("other-id", "fedcba9876543210fedcba9876543210\n");
    const auto shortId = write("short-id", "0123456789abcdef\n");
    const auto notHex = write("nothex-id", "0123456789abcdef0123456789abcdeg\n");
    const auto zero = write("zero-id", "00000000000000000000000000000000\n");
    const auto missing = dir.path() / "missing";

    const auto id = RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles({machine});
    ASSERT_TRUE(id);
    EXPECT_TRUE(std::regex_match(*id, std::regex("u:[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << *id;
    EXPECT_EQ(id->find("0123456789"), std::string::npos);
    EXPECT_EQ(RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles({machine}), id);
    EXPECT_NE(RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles({other}), id);
    // The second place is read when the first does not exist.
    EXPECT_EQ(RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles({missing, machine}), id);

    for (const auto& bad : {shortId, notHex, zero, missing}) {
        SCOPED_TRACE(bad.filename().string());
        env_.clearLogs();
        EXPECT_EQ(RDDIPropertyConfigurator::deviceIdentifierFromMachineIdFiles({bad}), std::nullopt);
        EXPECT_FALSE(env_.capturedLogs().empty());
    }
}

class ScriptedTokenDelegate final : public RDDIAnalyticsAuthenticationProviderDelegate {
public:
    void authenticationProviderAcquireToken(RDDIAnalyticsAuthenticationProvider&,
                                            RDDIAnalyticsAuthenticationProviderCompletionBlock completion) override {
        std::lock_guard lock(mutex);
        completions.push_back(std::move(completion));
    }
    std::size_t asked() {
        std::lock_guard lock(mutex);
        return completions.size();
    }
    RDDIAnalyticsAuthenticationProviderCompletionBlock completion(std::size_t i) {
        std::lock_guard lock(mutex);
        return completions.at(i);
    }
    std::mutex mutex;
    std::vector<RDDIAnalyticsAuthenticationProviderCompletionBlock> completions;
};

class AuthenticationTest : public TransmissionTargetTest {
protected:
    std::shared_ptr<RDDIAnalyticsAuthenticationProvider> provider(const std::string& key) {
        return std::make_shared<RDDIAnalyticsAuthenticationProvider>(RDDIAnalyticsAuthenticationType::compact, key,
                                                                     delegate_);
    }
    std::shared_ptr<RDDIAnalyticsAuthenticationProvider> installedProvider(const std::string& key) {
        auto installed = provider(key);
        RDDIAnalyticsTransmissionTarget::addAuthenticationProvider(installed);
        return installed;
    }
    static std::optional<std::string> ticket(const std::string& key) {
        return RDDITicketCache::sharedInstance().ticketFor(RDDIUtility::sha256(key));
    }

    testkit::ScopedManualClock clock_;
    std::shared_ptr<ScriptedTokenDelegate> delegate_ = std::make_shared<ScriptedTokenDelegate>();
};

TEST_F(AuthenticationTest, AnswersBecomeTicketsAndBadOnesAreRefused) {
    auto p = installedProvider("key");
    ASSERT_EQ(delegate_->asked(), 1u);
    // A delegate that has not answered yet is not asked again.
    p->acquireTokenAsync();
    EXPECT_EQ(delegate_->asked(), 1u);

    delegate_->completion(0)(std::nullopt, pf::Date::now());
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Token must not be null"));
    p->acquireTokenAsync();
    delegate_->completion(1)("token", std::nullopt);
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Date must not be null"));
    EXPECT_EQ(ticket("key"), std::nullopt);

    p->acquireTokenAsync();
    delegate_->completion(2)("token", pf::Date::now().addingTimeInterval(3600));
    EXPECT_EQ(ticket("key"), "p:token");
    // The same answer again, or an answer to an earlier request, is ignored.
    delegate_->completion(2)("again", pf::Date::now().addingTimeInterval(3600));
    delegate_->completion(1)("stale", pf::Date::now().addingTimeInterval(3600));
    EXPECT_EQ(ticket("key"), "p:token");

    env_.clearLogs();
    RDDIAnalyticsTransmissionTarget::addAuthenticationProvider(nullptr);
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Authentication provider may not be null."));
    EXPECT_EQ(RDDIAnalyticsTransmissionTarget::authenticationProvider(), p);
}

TEST_F(AuthenticationTest, EachTicketKindGetsItsOwnPrefix) {
    const std::pair<RDDIAnalyticsAuthenticationType, std::string> kinds[] = {
        {RDDIAnalyticsAuthenticationType::compact, "p:token"},
        {RDDIAnalyticsAuthenticationType::delegate, "d:token"},
    };
    for (std::size_t i = 0; i < std::size(kinds); ++i) {
        const auto key = "kind" + std::to_string(i);
        RDDIAnalyticsTransmissionTarget::addAuthenticationProvider(
            std::make_shared<RDDIAnalyticsAuthenticationProvider>(kinds[i].first, key, delegate_));
        ASSERT_EQ(delegate_->asked(), i + 1);
        delegate_->completion(i)("token", pf::Date::now().addingTimeInterval(3600));
        EXPECT_EQ(ticket(key), kinds[i].second);
    }
}

TEST_F(AuthenticationTest, AnAnswerForAReplacedProviderIsIgnoredOnAnyThread) {
    auto first = installedProvider("first");
    auto second = installedProvider("second");
    ASSERT_EQ(delegate_->asked(), 2u);
    std::thread late([completion = delegate_->completion(0)] {
        completion("late", pf::Date::now().addingTimeInterval(3600));
    });
    late.join();
    EXPECT_EQ(ticket("first"), std::nullopt);
    delegate_->completion(1)("fresh", pf::Date::now().addingTimeInterval(3600));
    EXPECT_EQ(ticket("second"), "p:fresh");
}

TEST_F(AuthenticationTest, ATicketIsAttachedAndRefreshedTenMinutesBeforeItExpires) {
    start();
    auto target = RDDIAnalytics::transmissionTargetForToken(kRootToken);
    auto unit = env_.channelGroup()->unit("Analytics");
    struct Case {
        double secondsAhead;
        bool refreshed;
    };
    for (const Case c : {Case{601, false}, Case{600, true}}) {
        SCOPED_TRACE(c.secondsAhead);
        delegate_->completions.clear();
        auto p = installedProvider("key");
        delegate_->completion(0)("token", pf::Date::now().addingTimeInterval(c.secondsAhead));

        RDDIEventLog event;
        event.name = "e";
        auto cs = event.toCommonSchemaLogForTargetToken(kRootToken, 1);
        target->channelPrepareLog(*unit, *cs);
        ASSERT_TRUE(cs->ext->protocolExt->ticketKeys);
        EXPECT_EQ(*cs->ext->protocolExt->ticketKeys, std::vector<std::string>{RDDIUtility::sha256("key")});
        EXPECT_EQ(delegate_->asked(), c.refreshed ? 2u : 1u);

        // A log of another target gets no ticket and asks for nothing.
        auto foreign = event.toCommonSchemaLogForTargetToken(kChildToken, 1);
        target->channelPrepareLog(*unit, *foreign);
        EXPECT_FALSE(foreign->ext->protocolExt->ticketKeys);
    }
}

TEST_F(TransmissionTargetTest, TrackingWhileOtherThreadsFlipTargetsAndDefaultsDoesNotDeadlock) {
    auto [root, child] = startWithTargets();
    std::thread flipper([&] {
        for (int i = 0; i < 200; ++i) {
            root->setEnabled(i % 2 == 1);
            child->propertyConfigurator()->setEventPropertyInt64(i, "i");
        }
    });
    for (int i = 0; i < 200; ++i) child->trackEvent("e");
    flipper.join();
    root->setEnabled(true);
    const auto before = events().size();
    child->trackEvent("last");
    EXPECT_EQ(events().size(), before + 1);
}

}  // namespace
