#include "platform/foundation/clock.hpp"
#include "telemetry/core/rddi_device.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/support/child_case.hpp"
#include "telemetry/support/telemetry_test_environment.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <thread>

namespace {

using namespace rddi;
namespace pf = platform::foundation;

constexpr const char* kContextsChildReportVariable = "GW_CONTEXT_CHILD_REPORT";

class ContextsTest : public ::testing::Test {
protected:
    // What a new launch of the process would find.
    static void relaunch() { testkit::TelemetryTestEnvironment::resetSdk(); }

    int unarchivingFailures() const {
        int count = 0;
        for (const auto& entry : env_.capturedLogs()) {
            if (entry.level == RDDILogLevelError && entry.message.rfind("Unarchiving NSData failed with error: ", 0) == 0) {
                ++count;
            }
        }
        return count;
    }

    testkit::TelemetryTestEnvironment env_;
    testkit::ScopedManualClock clock_;
};

// Runs in a child process: one launch that sets two session ids and a user id.
TEST(ContextsChildProcess, SetTwoSessionIds) {
    const char* report = std::getenv(kContextsChildReportVariable);
    if (!report) GTEST_SKIP() << "runs as a child process only";
    testkit::TelemetryTestEnvironment::resetSdk();
    auto context = RDDISessionContext::sharedInstance();
    context->setSessionId("A");
    std::this_thread::yield();
    context->setSessionId("B");
    RDDIUserIdContext::sharedInstance()->setUserId("alice");
    std::ofstream(report) << std::setprecision(17) << context->currentSessionInfo().timestamp->timeIntervalSince1970();
}

TEST_F(ContextsTest, ALaunchLeavesOneRecordWithItsLastSessionIdAcrossARestart) {
    pf::Clock::setCurrent(nullptr);
    const auto child = testkit::runChildCase("ContextsChildProcess.SetTwoSessionIds", kContextsChildReportVariable);
    ASSERT_EQ(child.status, 0);
    const double secondCall = std::stod(child.report);

    relaunch();
    auto sessions = RDDISessionContext::sharedInstance();
    const auto history = sessions->sessionHistory();
    ASSERT_EQ(history.size(), 2u);  // the child's launch, and this one's current record
    EXPECT_EQ(history[0].sessionId, "B");
    ASSERT_TRUE(history[0].timestamp);
    EXPECT_DOUBLE_EQ(history[0].timestamp->timeIntervalSince1970(), secondCall);
    EXPECT_EQ(history[1].sessionId, std::nullopt);
    EXPECT_EQ(sessions->sessionId(), std::nullopt);

    const auto users = RDDIUserIdContext::sharedInstance()->userIdHistory();
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].userId, "alice");
}

TEST_F(ContextsTest, LookupsByTimeAnswerTheNewestStrictlyEarlierRecord) {
    const auto t1 = pf::Date::now();
    RDDISessionContext::sharedInstance()->setSessionId("X");
    RDDIUserIdContext::sharedInstance()->setUserId("x-user");
    relaunch();
    clock_->advanceSeconds(100);
    const auto t2 = pf::Date::now();
    RDDISessionContext::sharedInstance()->setSessionId("Y");
    RDDIUserIdContext::sharedInstance()->setUserId("y-user");
    relaunch();
    clock_->advanceSeconds(100);

    auto sessions = RDDISessionContext::sharedInstance();
    auto users = RDDIUserIdContext::sharedInstance();
    struct Case {
        const char* what;
        pf::Date at;
        std::optional<std::string> session, user;
    };
    const Case cases[] = {
        {"before t1", t1.addingTimeInterval(-1), std::nullopt, std::nullopt},
        {"at t1", t1, std::nullopt, std::nullopt},
        {"between", t1.addingTimeInterval(50), "X", "x-user"},
        {"at t2", t2, "X", "x-user"},
        {"after t2", t2.addingTimeInterval(50), "Y", "y-user"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sessions->sessionIdAt(c.at), c.session);
        EXPECT_EQ(users->userIdAt(c.at), c.user);
    }
}

TEST_F(ContextsTest, ClearingEmptiesOrKeepsTheCurrentRecord) {
    auto sessions = RDDISessionContext::sharedInstance();
    sessions->setSessionId("one");
    relaunch();
    sessions = RDDISessionContext::sharedInstance();
    sessions->setSessionId("two");
    ASSERT_EQ(sessions->sessionHistory().size(), 2u);

    sessions->clearSessionHistoryAndKeepCurrentSession(true);
    ASSERT_EQ(sessions->sessionHistory().size(), 1u);
    EXPECT_EQ(sessions->sessionHistory()[0].sessionId, "two");

    sessions->clearSessionHistoryAndKeepCurrentSession(false);
    EXPECT_TRUE(sessions->sessionHistory().empty());
    // Nothing to replace in an empty list: the current record is added back.
    sessions->setSessionId("three");
    ASSERT_EQ(sessions->sessionHistory().size(), 1u);
    EXPECT_EQ(sessions->sessionHistory()[0].sessionId, "three");
    EXPECT_TRUE(env_.logged(RDDILogLevelVerbose, "Cleared old sessions."));

    auto users = RDDIUserIdContext::sharedInstance();
    users->setUserId("u");
    relaunch();
    users = RDDIUserIdContext::sharedInstance();
    // The user-id history is saved as soon as the context exists.
    EXPECT_EQ(users->userIdHistory().size(), 2u);
    users->clearUserIdHistory();
    ASSERT_EQ(users->userIdHistory().size(), 1u);
    EXPECT_EQ(users->userIdHistory()[0].userId, std::nullopt);
}

class CountingObserver : public RDDIUserIdContextDelegate {
public:
    void userIdContextDidUpdateUserId(RDDIUserIdContext&, const std::optional<std::string>& userId) override {
        seen.push_back(userId);
    }
    std::vector<std::optional<std::string>> seen;
};

TEST_F(ContextsTest, ObserversHearEachChangeOnceAndAreHeldWeakly) {
    auto users = RDDIUserIdContext::sharedInstance();
    auto observer = std::make_shared<CountingObserver>();
    auto shortLived = std::make_shared<CountingObserver>();
    users->addDelegate(observer);
    users->addDelegate(observer);  // a set: once
    users->addDelegate(shortLived);

    users->setUserId(std::nullopt);  // unchanged: nothing
    users->setUserId("alice");
    users->setUserId("alice");
    shortLived.reset();  // gone: no longer called, no crash
    users->setUserId("bob");
    users->setUserId(std::nullopt);
    EXPECT_EQ(observer->seen, (std::vector<std::optional<std::string>>{"alice", "bob", std::nullopt}));

    users->removeDelegate(observer);
    users->setUserId("carol");
    EXPECT_EQ(observer->seen.size(), 3u);
    EXPECT_EQ(users->userId(), "carol");
    EXPECT_EQ(users->userIdHistory().size(), 1u);  // still this launch's one record
}

TEST_F(ContextsTest, UserIdRules) {
    EXPECT_TRUE(RDDIUserIdContext::isUserIdValidForDezIdedev(std::nullopt));
    EXPECT_TRUE(RDDIUserIdContext::isUserIdValidForDezIdedev(std::string(256, 'u')));
    EXPECT_FALSE(RDDIUserIdContext::isUserIdValidForDezIdedev(std::string(257, 'u')));
    EXPECT_TRUE(env_.logged(RDDILogLevelError, "setUserId: userId is limited to 256 characters."));

    struct Case {
        std::optional<std::string> id;
        bool valid;
        const char* message;
    };
    const Case cases[] = {
        {std::nullopt, true, nullptr},
        {"alice", true, nullptr},
        {"c:alice", true, nullptr},
        {"c:", false, "setUserId: userId must not be empty."},
        {"", false, "setUserId: userId must not be empty."},
        {"x:alice", false, "setUserId: userId prefix must be 'c', 'x' is not supported."},
        {":alice", false, "setUserId: userId prefix must be 'c', '' is not supported."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id.value_or("(none)"));
        env_.clearLogs();
        EXPECT_EQ(RDDIUserIdContext::isUserIdValidForVudEzezevuvo(c.id), c.valid);
        if (c.message) EXPECT_TRUE(env_.logged(RDDILogLevelError, c.message));
        else EXPECT_TRUE(env_.capturedLogs().empty());
    }
    EXPECT_EQ(RDDIUserIdContext::prefixedUserIdFromUserId("alice"), "c:alice");
    EXPECT_EQ(RDDIUserIdContext::prefixedUserIdFromUserId("c:alice"), "c:alice");
    EXPECT_EQ(RDDIUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
}

TEST_F(ContextsTest, TheContextsKeepNoIdThatALogCouldNotCarry) {
    // Every later log carries the current id: one holding a NUL (never read back once stored)
    // or longer than any log takes is refused, and the id before stays. Lengths count
    // characters, not bytes: 256 two-byte characters are kept.
    auto sessions = RDDISessionContext::sharedInstance();
    auto users = RDDIUserIdContext::sharedInstance();
    const struct {
        const char* setter;
        std::function<void(const std::string&)> set;
        std::function<std::optional<std::string>()> current;
    } setters[] = {
        {"setSessionId", [&](const std::string& id) { sessions->setSessionId(id); },
         [&] { return sessions->currentSessionInfo().sessionId; }},
        {"setUserId", [&](const std::string& id) { users->setUserId(id); }, [&] { return users->userId(); }},
    };
    std::string longest;
    for (int i = 0; i < 256; ++i) longest += "\xC3\xA9";
    const std::string refused[] = {std::string("b\0ad", 4), std::string(257, 's'), longest + "\xC3\xA9",
                                   std::string(10'000'000, 's')};
    for (const auto& setter : setters) {
        SCOPED_TRACE(setter.setter);
        env_.clearLogs();
        setter.set(longest);
        EXPECT_EQ(setter.current(), longest);
        for (const auto& id : refused) {
            env_.clearLogs();
            setter.set(id);
            EXPECT_EQ(setter.current(), longest);
            const auto logs = env_.capturedLogs();
            ASSERT_EQ(logs.size(), 1u);
            EXPECT_EQ(logs[0].level, RDDILogLevelError);
            EXPECT_TRUE(logs[0].message.starts_with(std::string(setter.setter) + ": ")) << logs[0].message.substr(0, 300);
        }
    }
}

using testkit::Renamed;

TEST_F(ContextsTest, HistoriesArchivedUnderOldClassNamesAreRead) {
    const auto t = pf::Date::fromTimeIntervalSince1970(1600000000.5);
    RDDIRegisterCoreArchiveClasses();
    RDDISaveHistory<pf::Archivable>(
        "SessionIdHistory",
        {std::make_shared<Renamed<RDDISessionHistoryInfo>>("RDSessionHistoryInfo", RDDISessionHistoryInfo(t, "old"))});
    RDDISaveHistory<pf::Archivable>(
        "UserIdHistory",
        {std::make_shared<Renamed<RDDIUserIdHistoryInfo>>("RDUserIdHistoryInfo", RDDIUserIdHistoryInfo(t, "olduser"))});
    const auto sessions = RDDISessionContext::sharedInstance()->sessionHistory();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].sessionId, "old");
    EXPECT_EQ(sessions[0].timestamp, t);
    const auto users = RDDIUserIdContext::sharedInstance()->userIdHistory();
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].userId, "olduser");
    EXPECT_EQ(unarchivingFailures(), 0);
}

TEST_F(ContextsTest, UnreadableHistoriesStartEmpty) {
    struct Stranger : pf::Archivable {
        std::string archiveClassName() const override { return "RDDIUnknownRecord"; }
        void encode(pf::KeyedArchiver&) const override {}
    };
    // A record whose session id is a number instead of text.
    struct WrongType : pf::Archivable {
        std::string archiveClassName() const override { return "RDDISessionHistoryInfo"; }
        void encode(pf::KeyedArchiver& archiver) const override { archiver.encodeInteger("sessionIdKey", 5); }
    };
    const auto t = pf::Date::now();
    const auto store = [](const pf::Value& value) {
        RDDIDezIdedevUserDefaults::shared()->setObject(value, "SessionIdHistory");
    };
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"a string", [&] { store(pf::Value("not an archive")); }},
        {"garbage bytes", [&] { store(pf::Value(pf::dataFromString("\x01\x02garbage"))); }},
        {"an unknown class", [&] { RDDISaveHistory<pf::Archivable>("SessionIdHistory", {std::make_shared<Stranger>()}); }},
        {"a field of the wrong type", [&] { RDDISaveHistory<pf::Archivable>("SessionIdHistory", {std::make_shared<WrongType>()}); }},
        {"records of another history",
         [&] { RDDISaveHistory<pf::Archivable>("SessionIdHistory", {std::make_shared<RDDIUserIdHistoryInfo>(t, "u")}); }},
        {"a device instead of an array",
         [&] { store(pf::Value(*RDDIUtility::archiveKeyedData(std::make_unique<RDDIDevice>().get()))); }},
    };
    for (const auto& [what, prepare] : cases) {
        SCOPED_TRACE(what);
        relaunch();
        RDDIRegisterCoreArchiveClasses();
        prepare();
        env_.clearLogs();
        EXPECT_EQ(RDDISessionContext::sharedInstance()->sessionHistory().size(), 1u);
        EXPECT_EQ(unarchivingFailures(), 1);
    }
}

TEST_F(ContextsTest, GettersAndLookupsRunSafelyBesideTheSetters) {
    pf::Clock::setCurrent(nullptr);
    auto sessions = RDDISessionContext::sharedInstance();
    auto users = RDDIUserIdContext::sharedInstance();
    auto devices = RDDIDeviceTracker::sharedInstance();
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    std::atomic<long> reads{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                // Long ids: a torn read of a heap-held string would show up under the sanitizers.
                const auto session = sessions->sessionId();
                const auto user = users->userId();
                EXPECT_EQ(session.value_or(std::string(64, '-')).size(), 64u);
                EXPECT_EQ(user.value_or(std::string(64, '-')).size(), 64u);
                (void)sessions->sessionIdAt(pf::Date::now());
                EXPECT_TRUE(devices->deviceForTimestamp(pf::Date::now()));
                ++reads;
            }
        });
    }
    for (int i = 0; i < 100; ++i) {
        sessions->setSessionId(std::string(64, static_cast<char>('a' + i % 26)));
        users->setUserId(std::string(64, static_cast<char>('A' + i % 26)));
        if (i % 5 == 0) RDDIDeviceTracker::refreshDeviceNextTime();
        (void)devices->device();
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
