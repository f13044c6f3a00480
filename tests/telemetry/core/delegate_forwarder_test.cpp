// Application-delegate forwarding through the explicit forwarding contract.
#include "platform/appkit/application_delegate.hpp"
#include "platform/foundation/bundle.hpp"
#include "telemetry/core/rddi_delegate_forwarder.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

constexpr const char* kReopen = "applicationShouldHandleReopen:hasVisibleWindows:returnedValue:";
constexpr const char* kOpenUrls = "application:openURLs:";

class Observer final : public RDDICustomApplicationDelegate {
public:
    explicit Observer(std::any answer) : answer_(std::move(answer)) {}
    bool respondsToCallback(const std::string& name) const override { return name == kReopen || name == kOpenUrls; }
    std::any handleCallback(const std::string& name, const RDDIForwardedArguments& arguments) override {
        calls.push_back(name);
        seen.push_back(arguments.empty() ? std::any() : arguments.back());
        return answer_;
    }
    std::vector<std::string> calls;
    std::vector<std::any> seen;

private:
    std::any answer_;
};

class AppDelegate final : public platform::appkit::ApplicationDelegate {
public:
    std::vector<std::string> forwardedCallbacks() const override { return {kReopen, kOpenUrls, "oldCallback:"}; }
    // What the real delegate does inside its callback.
    bool applicationShouldHandleReopen(bool hasVisibleWindows) {
        const bool own = false;
        return RDDIAppDelegateForwarder::forwardReturning(kReopen, own, hasVisibleWindows);
    }
};

class DelegateForwarderTest : public ::testing::Test {
protected:
    void SetUp() override {
        RDDIDelegateForwarder::resetTraceBufferForTesting();
        RDDIAppDelegateForwarder::resetSharedInstance();
    }
    void TearDown() override {
        pf::Bundle::setMain(nullptr);
        RDDIAppDelegateForwarder::resetSharedInstance();
        RDDIDelegateForwarder::flushTraceBuffer();
    }
    static void setInfo(pf::Dictionary info) {
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(pf::Bundle::main().resourcesPath(), std::move(info)));
    }
    // The shared forwarder, asked to swizzle `selectors`.
    static std::shared_ptr<RDDIAppDelegateForwarder> forwarderSwizzling(std::initializer_list<const char*> selectors) {
        auto forwarder = RDDIAppDelegateForwarder::sharedInstance();
        for (const char* selector : selectors) forwarder->addDelegateSelectorToSwizzle(selector);
        return forwarder;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> texts;
        for (const auto& entry : env_.capturedLogs()) texts.push_back(entry.message);
        return texts;
    }

    testkit::TelemetryTestEnvironment env_;
};

TEST_F(DelegateForwarderTest, TheInfoValueSwitchesTheForwarderAndTracesWaitForTheFirstLogLevel) {
    const std::string key = RDDIAppDelegateForwarder::kEnabledKey;
    setInfo({{key, pf::Value(false)}});
    auto forwarder = RDDIAppDelegateForwarder::sharedInstance();
    EXPECT_FALSE(RDDIDezIdedev::isAppDelegateForwarderEnabled());
    auto observer = std::make_shared<Observer>(std::any());
    forwarder->addDelegate(observer);
    EXPECT_EQ(forwarder->delegateCount(), 0u);
    EXPECT_TRUE(messages().empty());

    RDDIDezIdedev::setLogLevel(RDDILogLevelVerbose);
    const std::vector<std::string> expected = {
        "Start buffering traces.",
        "Delegate forwarder for info.plist key '" + key + "' disabled. It won't use swizzling.",
        "Stop buffering traces, flushed.",
    };
    EXPECT_EQ(messages(), expected);

    // Later traces go out at once; a second level change flushes nothing more.
    env_.clearLogs();
    setInfo({});
    RDDIAppDelegateForwarder::resetSharedInstance();
    EXPECT_TRUE(RDDIDezIdedev::isAppDelegateForwarderEnabled());
    RDDIDezIdedev::setLogLevel(RDDILogLevelDebug);
    EXPECT_EQ(messages(), std::vector<std::string>{"Delegate forwarder for info.plist key '" + key +
                                                   "' enabled. It may use swizzling."});
}

TEST_F(DelegateForwarderTest, RequestedCallbacksAreFoundAmongThoseTheDelegateForwards) {
    RDDIDezIdedev::setLogLevel(RDDILogLevelVerbose);
    env_.clearLogs();
    auto forwarder = forwarderSwizzling({kReopen, "applicationWillTerminate:", "newCallback:"});
    forwarder->setDeprecatedSelectors({{"newCallback:", "oldCallback:"}});
    AppDelegate delegate;
    forwarder->swizzleOriginalDelegate(delegate);

    const std::string className = delegate.delegateClassName();
    EXPECT_NE(className.find("AppDelegate"), std::string::npos);
    EXPECT_TRUE(forwarder->isForwarding(kReopen));
    EXPECT_FALSE(forwarder->isForwarding(kOpenUrls));  // forwarded by the delegate, asked for by nobody
    EXPECT_TRUE(env_.logged(RDDILogLevelDebug, "Selector '" + std::string(kReopen) + "' of class '" + className +
                                                   "' is swizzled."));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "Cannot swizzle selector 'applicationWillTerminate:' of class '" +
                                                   className +
                                                   "'. You need to explicitly call the Dez Idedev API from your app "
                                                   "delegate implementation."));
    EXPECT_TRUE(env_.logged(RDDILogLevelWarning,
                            "Cannot swizzle selector 'newCallback:' of class '" + className +
                                "'. No implementation found for this selector, though an implementation of its "
                                "deprecated API 'oldCallback:' exists."));
}

TEST_F(DelegateForwarderTest, ReturnedValuesPassFromObserverToObserver) {
    auto forwarder = forwarderSwizzling({kReopen, kOpenUrls});
    AppDelegate delegate;
    forwarder->swizzleOriginalDelegate(delegate);

    // With no observer the delegate's own answer stands.
    EXPECT_EQ(RDDIAppDelegateForwarder::forwardReturning(kReopen, 7, true), 7);

    auto one = std::make_shared<Observer>(std::any(1));
    auto two = std::make_shared<Observer>(std::any(2));
    forwarder->addDelegate(one);
    forwarder->addDelegate(two);
    EXPECT_EQ(RDDIAppDelegateForwarder::forwardReturning(kReopen, 7, true), 2);
    ASSERT_EQ(two->seen.size(), 1u);
    EXPECT_EQ(std::any_cast<int>(two->seen[0]), 1);  // the second saw the first one's answer
    EXPECT_EQ(std::any_cast<int>(one->seen[0]), 7);

    RDDIAppDelegateForwarder::forward(kOpenUrls, std::string("file:///a.png"));
    EXPECT_EQ(one->calls.back(), kOpenUrls);
    // A callback nobody asked for reaches nobody.
    RDDIAppDelegateForwarder::forward("applicationWillTerminate:");
    EXPECT_EQ(one->calls.size(), 2u);

    forwarder->setEnabled(false);
    EXPECT_EQ(forwarder->delegateCount(), 0u);
    EXPECT_EQ(RDDIAppDelegateForwarder::forwardReturning(kReopen, 7, true), 7);
}

TEST_F(DelegateForwarderTest, TheFirstDelegateTheApplicationModelReportsIsLookedAt) {
    auto forwarder = forwarderSwizzling({kReopen});
    auto delegate = std::make_shared<AppDelegate>();
    platform::appkit::ApplicationDelegateRegistry::setDelegate(delegate);
    EXPECT_TRUE(forwarder->isForwarding(kReopen));
    auto observer = std::make_shared<Observer>(std::any(true));
    forwarder->addDelegate(observer);
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    platform::appkit::ApplicationDelegateRegistry::setDelegate(nullptr);
}

}  // namespace
