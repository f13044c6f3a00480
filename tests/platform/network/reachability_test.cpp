#include "platform/network/reachability.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/log/system_log.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

namespace net = platform::network;
namespace pf = platform::foundation;
using platform::dispatch::MainLoop;

// Collects the watcher's notices as the main queue delivers them.
class Notices {
public:
    explicit Notices(const net::ReachabilityWatcher* watcher)
        : token_(pf::NotificationCenter::defaultCenter().addObserver(
              std::string(net::kReachabilityChangedNotification), watcher,
              [this, watcher](const pf::Notification&) { statuses.push_back(watcher->currentReachabilityStatus()); })) {}
    ~Notices() { pf::NotificationCenter::defaultCenter().removeObserver(token_); }

    // Drains the main queue until `count` notices arrived (generous deadline).
    bool waitFor(std::size_t count) {
        return MainLoop::runUntil([&] { return statuses.size() >= count; }, std::chrono::seconds(20));
    }
    // Gives late notices a chance to show up; used only where none may come.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            MainLoop::drain();
        }
    }

    std::vector<net::NetworkStatus> statuses;

private:
    pf::NotificationCenter::Token token_;
};

TEST(ReachabilityWatcherTest, PostsOnceAtStartThenOnlyOnChangesOfAnInjectedStatus) {
    std::atomic<int> state = 0;  // 0 down, 1 up, 2 undeterminable
    auto watcher = net::ReachabilityWatcher::withStatusSource([&]() -> std::optional<bool> {
        if (state == 2) return std::nullopt;
        return state == 1;
    });
    Notices notices(watcher.get());
    EXPECT_EQ(watcher->currentReachabilityStatus(), net::NetworkStatus::notReachable);
    EXPECT_EQ(watcher->flags(), 0u);

    ASSERT_TRUE(watcher->startNotifier());
    ASSERT_TRUE(watcher->startNotifier());  // once is enough
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_EQ(notices.statuses.back(), net::NetworkStatus::notReachable);

    // A look without a change posts nothing; a burst of changes posts once.
    watcher->statusMayHaveChanged();
    state = 1;
    watcher->statusMayHaveChanged();
    watcher->statusMayHaveChanged();
    ASSERT_TRUE(notices.waitFor(2));
    EXPECT_EQ(notices.statuses.back(), net::NetworkStatus::reachable);
    EXPECT_EQ(watcher->flags(), net::kReachabilityFlagReachable);
    notices.settle();
    EXPECT_EQ(notices.statuses.size(), 2u);

    state = 0;
    watcher->statusMayHaveChanged();
    ASSERT_TRUE(notices.waitFor(3));
    EXPECT_EQ(notices.statuses.back(), net::NetworkStatus::notReachable);

    // Undeterminable counts as reachable, and says so in the log once.
    std::vector<std::string> lines;
    std::mutex linesMutex;
    platform::log::ScopedLogSink sink([&](const platform::log::LogRecord& record) {
        std::lock_guard lock(linesMutex);
        lines.push_back(record.message);
    });
    state = 2;
    watcher->statusMayHaveChanged();
    ASSERT_TRUE(notices.waitFor(4));
    EXPECT_EQ(notices.statuses.back(), net::NetworkStatus::reachable);
    state = 0;
    watcher->statusMayHaveChanged();
    ASSERT_TRUE(notices.waitFor(5));
    state = 2;
    watcher->statusMayHaveChanged();
    ASSERT_TRUE(notices.waitFor(6));
    {
        std::lock_guard lock(linesMutex);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("cannot be determined"), std::string::npos);
    }

    // Stopped: changes post nothing, even those noticed just before.
    state = 0;
    watcher->statusMayHaveChanged();
    watcher->stopNotifier();
    notices.settle();
    EXPECT_EQ(notices.statuses.size(), 6u);
    EXPECT_EQ(watcher->currentReachabilityStatus(), net::NetworkStatus::notReachable);
}

TEST(ReachabilityWatcherTest, AsksTheKernelForAddressesNamesAndTheInternet) {
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 loopback6{};
    loopback6.sin6_family = AF_INET6;
    loopback6.sin6_addr = in6addr_loopback;
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    sockaddr unix{};
    unix.sa_family = AF_UNIX;

    auto v4 = net::ReachabilityWatcher::withAddress(reinterpret_cast<sockaddr*>(&loopback));
    auto name = net::ReachabilityWatcher::withHostName("localhost");
    ASSERT_TRUE(v4 && name);
    EXPECT_EQ(v4->currentReachabilityStatus(), net::NetworkStatus::reachable);
    EXPECT_EQ(name->currentReachabilityStatus(), net::NetworkStatus::reachable);
    if (auto v6 = net::ReachabilityWatcher::withAddress(reinterpret_cast<sockaddr*>(&loopback6))) {
        // Hosts without IPv6 answer "not reachable"; either way the kernel was asked.
        (void)v6->currentReachabilityStatus();
    }
    EXPECT_EQ(net::ReachabilityWatcher::withAddress(reinterpret_cast<sockaddr*>(&unix)), nullptr);
    EXPECT_EQ(net::ReachabilityWatcher::withAddress(nullptr), nullptr);
    EXPECT_EQ(net::ReachabilityWatcher::withHostName(""), nullptr);
    EXPECT_NE(net::ReachabilityWatcher::withAddress(reinterpret_cast<sockaddr*>(&zero)), nullptr);

    // Whatever this host's Internet status is, the notifier reports it once at start
    // and agrees with a direct question.
    auto internet = net::ReachabilityWatcher::forInternetConnection();
    const auto asked = internet->currentReachabilityStatus();
    Notices notices(internet.get());
    ASSERT_TRUE(internet->startNotifier());
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_EQ(notices.statuses[0], asked);
    internet.reset();  // stops the thread
}

}  // namespace
