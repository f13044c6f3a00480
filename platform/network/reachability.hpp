#pragma once
// Whether a destination can be reached, and a notice whenever that changes; stands in
// for the platform's network reachability service. On Linux the kernel's routing
// netlink (rtnetlink) tells: the watcher's own thread listens to link, address and
// route changes, waits 100 ms for the burst to settle, asks the kernel again and
// posts kReachabilityChangedNotification on the main queue through the default
// notification centre when the status changed (and once when the notifier starts).
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace platform::network {

inline constexpr std::string_view kReachabilityChangedNotification = "kRDNetworkReachabilityChangedNotification";

// The one flag bit the watcher reports.
inline constexpr std::uint32_t kReachabilityFlagReachable = 2;

enum class NetworkStatus : int { notReachable = 0, reachable = 1 };

class ReachabilityWatcher {
public:
    // Gives the status, or none when it cannot be determined. Called on the
    // watcher's thread (or the caller's while the notifier is stopped).
    using StatusSource = std::function<std::optional<bool>()>;

    // The Internet: a default route (IPv4 or IPv6) through a link that is up.
    static std::shared_ptr<ReachabilityWatcher> forInternetConnection();
    // An IPv4 or IPv6 address: the kernel has a usable route to it. The all-zero
    // address means the Internet. None for other families.
    static std::shared_ptr<ReachabilityWatcher> withAddress(const sockaddr* address);
    // Any of the host's addresses; the name is resolved on the watcher's thread.
    // None for an empty name.
    static std::shared_ptr<ReachabilityWatcher> withHostName(std::string hostName);
    // A status that comes from elsewhere (tests of the watcher's users); call
    // statusMayHaveChanged() after changing what it answers.
    static std::shared_ptr<ReachabilityWatcher> withStatusSource(StatusSource source);

    ~ReachabilityWatcher();
    ReachabilityWatcher(const ReachabilityWatcher&) = delete;
    ReachabilityWatcher& operator=(const ReachabilityWatcher&) = delete;

    // Starts the watcher's thread, which posts the notice once at once. True when
    // it runs (also when it already did).
    bool startNotifier();
    // Stops the thread; no notice is posted after this returns.
    void stopNotifier();

    // While the notifier runs: the status last found by its thread. Otherwise
    // asked now. A status that cannot be determined counts as reachable.
    NetworkStatus currentReachabilityStatus() const;
    // kReachabilityFlagReachable when reachable, otherwise 0.
    std::uint32_t flags() const;

    // Asks the watcher's thread to look again (after the usual 100 ms settling).
    void statusMayHaveChanged();

    struct Target;

private:
    explicit ReachabilityWatcher(std::shared_ptr<Target> target);
    bool evaluate() const;
    void run(int eventSocket);

    std::shared_ptr<Target> target_;
    mutable std::atomic<bool> reportedUndeterminable_{false};
    std::atomic<bool> lastStatus_{true};

    mutable std::mutex mutex_;
    std::thread thread_;
    int wakeFd_ = -1;
    bool running_ = false;
    // Cleared by stopNotifier, so notices already queued for the main queue are dropped.
    std::shared_ptr<std::atomic<bool>> posting_;
};

}  // namespace platform::network
