#include "telemetry/crashes/rddi_application_forwarder.hpp"

#include "platform/appkit/application_events.hpp"
#include "platform/foundation/bundle.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "platform/log/system_log.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace rddi;
namespace pf = platform::foundation;
using platform::appkit::ApplicationEvents;

class ApplicationForwarderTest : public ::testing::Test {
protected:
    void TearDown() override {
        RDDIApplicationForwarder::resetForTesting();
        pf::Bundle::setMain(nullptr);
    }

    // Sets the Info value (none: absent) and the user default, then registers a receiver
    // that records the names it is given.
    void registerWith(std::optional<bool> infoValue, bool crashOnExceptions) {
        pf::Dictionary info;
        if (infoValue) info[kRDDIApplicationForwarderEnabledKey] = pf::Value(*infoValue);
        pf::Bundle::setMain(std::make_unique<pf::Bundle>(env.xdg().root(), info));
        pf::UserDefaults::standard().setBool(crashOnExceptions, kRDDICrashOnExceptionsKey);
        RDDIApplicationForwarder::registerForwarding([this](const pf::Exception& e) { received.push_back(e.name()); });
    }

    // Dispatches an event whose handling raises a platform exception; answers what the
    // application's own report wrote to the system log.
    std::vector<std::string> dispatchFailingEvent(const std::string& name) {
        std::vector<std::string> logged;
        platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& r) { logged.push_back(r.message); });
        bool returned = false;
        ApplicationEvents::dispatchEvent([&] { pf::Exception::raise(name, "while handling a click"); });
        returned = true;
        EXPECT_TRUE(returned);
        return logged;
    }

    testkit::TelemetryTestEnvironment env;
    std::vector<std::string> received;
};

TEST_F(ApplicationForwarderTest, OnlyTheInfoValueAndTheCrashOnExceptionsDefaultTogetherReplaceTheEventPath) {
    struct Case {
        std::optional<bool> infoValue;
        bool crashOnExceptions;
        bool forwarded;
    };
    const Case cases[] = {{std::nullopt, true, true}, {true, true, true}, {false, true, false},
                          {std::nullopt, false, false}, {false, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "info " << (c.infoValue ? (*c.infoValue ? "YES" : "NO") : "absent")
                                        << ", crash on exceptions " << c.crashOnExceptions);
        env.clearLogs();
        received.clear();
        registerWith(c.infoValue, c.crashOnExceptions);
        auto logged = dispatchFailingEvent("GWBadEvent");
        // The application's own report runs either way, after the service's.
        EXPECT_EQ(logged, std::vector<std::string>{"*** GWBadEvent: while handling a click"});
        EXPECT_EQ(received, c.forwarded ? std::vector<std::string>{"GWBadEvent"} : std::vector<std::string>{});
        EXPECT_EQ(env.logged(RDDILogLevelDebug, "Selector 'sendEvent:' of class 'NSApplication' is swizzled."),
                  c.forwarded);
        const bool disabled = c.infoValue == false;
        EXPECT_EQ(env.logged(RDDILogLevelDebug, "Application forwarder for info.plist key "
                                                "'DezIdedevApplicationForwarderEnabled' disabled. It won't use swizzling."),
                  disabled);
        EXPECT_EQ(env.logged(RDDILogLevelInfo,
                             "Catching uncaught exceptions thrown on the main thread disabled. Set "
                             "`NSApplicationCrashOnExceptions` flag before SDK initialization, to allow crash on "
                             "uncaught exceptions and the SDK can report them."),
                  !disabled && !c.crashOnExceptions);
        RDDIApplicationForwarder::resetForTesting();
    }
}

TEST_F(ApplicationForwarderTest, ReplacesOnceAndReportsEachExceptionOnceWhileOtherErrorsPassOn) {
    registerWith(std::nullopt, true);
    env.clearLogs();
    registerWith(std::nullopt, true);
    EXPECT_TRUE(env.logged(RDDILogLevelDebug, "Application forwarder for info.plist key "
                                              "'DezIdedevApplicationForwarderEnabled' enabled. It may use swizzling."));
    EXPECT_FALSE(env.logged(RDDILogLevelDebug, "Selector 'reportException:' of class 'NSApplication' is swizzled."));

    dispatchFailingEvent("First");
    dispatchFailingEvent("Second");
    EXPECT_EQ(received, (std::vector<std::string>{"First", "Second"}));

    // A direct report goes the same way; an exception of another kind is not the service's.
    ApplicationEvents::reportException(pf::Exception("Direct", "reported by hand"));
    EXPECT_EQ(received.back(), "Direct");
    EXPECT_THROW(ApplicationEvents::dispatchEvent([] { throw std::runtime_error("not a platform exception"); }),
                 std::runtime_error);
    EXPECT_EQ(received.size(), 3u);
}

}  // namespace
