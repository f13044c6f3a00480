// Runs the watcher against a real kernel routing table: a forked child enters a new
// network namespace of its own, where nothing is up, and changes links and routes.
// Its own executable, so nothing has started threads before the fork.
#include "platform/network/reachability.hpp"
#include "platform/network/url_session.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/notification_center.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace net = platform::network;
namespace pf = platform::foundation;
using platform::dispatch::MainLoop;

constexpr int kNotPermitted = 77;

struct Notices {
    explicit Notices(const net::ReachabilityWatcher* watcher)
        : token(pf::NotificationCenter::defaultCenter().addObserver(
              std::string(net::kReachabilityChangedNotification), watcher,
              [this, watcher](const pf::Notification&) { statuses.push_back(watcher->currentReachabilityStatus()); })) {}
    ~Notices() { pf::NotificationCenter::defaultCenter().removeObserver(token); }
    std::vector<net::NetworkStatus> statuses;
    pf::NotificationCenter::Token token;
};

bool waitFor(const Notices& notices, std::size_t count) {
    return MainLoop::runUntil([&] { return notices.statuses.size() >= count; }, std::chrono::seconds(30));
}

void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command;
}

// The child's part; its failures are reported by its exit status.
void inNewNamespace() {
    const auto reachable = net::NetworkStatus::reachable;
    const auto notReachable = net::NetworkStatus::notReachable;

    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto internet = net::ReachabilityWatcher::forInternetConnection();
    auto local = net::ReachabilityWatcher::withAddress(reinterpret_cast<sockaddr*>(&loopback));
    ASSERT_TRUE(internet && local);
    Notices internetNotices(internet.get());
    Notices localNotices(local.get());
    ASSERT_TRUE(internet->startNotifier());
    ASSERT_TRUE(local->startNotifier());
    ASSERT_TRUE(waitFor(internetNotices, 1));
    ASSERT_TRUE(waitFor(localNotices, 1));
    EXPECT_EQ(internetNotices.statuses[0], notReachable);
    EXPECT_EQ(localNotices.statuses[0], notReachable);

    // No route at all is the session's "not connected".
    net::URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 20;
    auto unroutable = net::URLSession(configuration).fetch(*pf::URL::fromString("http://10.1.2.3:9/"));
    ASSERT_TRUE(unroutable.error.has_value());
    EXPECT_EQ(unroutable.error->code(), static_cast<int>(net::URLErrorCode::notConnectedToInternet));

    // Nor can a name be looked up (no resolver is reachable from here).
    auto unresolved = net::URLSession(configuration).fetch(*pf::URL::fromString("http://nothing.invalid/"));
    ASSERT_TRUE(unresolved.error.has_value());
    EXPECT_EQ(unresolved.error->code(), static_cast<int>(net::URLErrorCode::cannotFindHost));

    run("ip link set lo up");
    ASSERT_TRUE(waitFor(localNotices, 2));
    EXPECT_EQ(localNotices.statuses[1], reachable);

    run("ip route add default dev lo");
    ASSERT_TRUE(waitFor(internetNotices, 2));
    EXPECT_EQ(internetNotices.statuses[1], reachable);

    run("ip route del default dev lo");
    ASSERT_TRUE(waitFor(internetNotices, 3));
    EXPECT_EQ(internetNotices.statuses[2], notReachable);

    run("ip link set lo down");
    ASSERT_TRUE(waitFor(localNotices, 3));
    EXPECT_EQ(localNotices.statuses[2], notReachable);

    internet->stopNotifier();
    local->stopNotifier();
    // Bringing lo up posted nothing for the Internet, nor did the route for lo.
    EXPECT_EQ(internetNotices.statuses.size(), 3u);
    EXPECT_EQ(localNotices.statuses.size(), 3u);
}

TEST(ReachabilityNamespaceTest, FollowsLinksAndDefaultRoutesOfItsNamespace) {
    if (std::system("command -v ip >/dev/null 2>&1") != 0) GTEST_SKIP() << "iproute2's ip is not installed";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(kNotPermitted);
        inNewNamespace();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended abnormally";
    if (WEXITSTATUS(status) == kNotPermitted) GTEST_SKIP() << "this process may not make a network namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's failures above";
}

}  // namespace
