#pragma once
// Decides when a usage session begins, announces it with a start-session log and stamps
// the current session id on every log the channels prepare. Activation reaches it as the
// application model's "NSApplicationDidResignActiveNotification" and
// "NSApplicationWillBecomeActiveNotification" on the default notification centre; on the
// command line nothing posts them, so one session lasts from start to exit.
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace rddi {

class RDDISessionTracker;

class RDDISessionTrackerDelegate {
public:
    virtual ~RDDISessionTrackerDelegate() = default;
    virtual void sessionTrackerProcessLog(RDDISessionTracker& tracker, std::shared_ptr<RDDIAbstractLog> log) = 0;
};

class RDDISessionTracker final : public RDDIChannelDelegate, public std::enable_shared_from_this<RDDISessionTracker> {
public:
    static constexpr double kDefaultSessionTimeout = 20;
    static constexpr const char* kResignActiveNotification = "NSApplicationDidResignActiveNotification";
    static constexpr const char* kBecomeActiveNotification = "NSApplicationWillBecomeActiveNotification";

    // Drops the past sessions an earlier SDK version stored.
    RDDISessionTracker();
    ~RDDISessionTracker() override;

    // Held weakly.
    void setDelegate(const std::shared_ptr<RDDISessionTrackerDelegate>& delegate);

    // A first session begins at once when the application is active (always so on the
    // command line); starting twice observes the notifications once.
    void start();
    // Stops observing and clears the current session id.
    void stop();
    bool isStarted() const;

    void applicationDidEnterBackground();
    void applicationWillEnterForeground();

    // Session and service start logs are left alone and do not count as activity.
    void channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) override;

    bool hasSessionTimedOut();
    void renewSessionId();

    double sessionTimeout() const { return sessionTimeout_; }
    // Seconds since 1970; negative when never set.
    double lastCreatedLogTime() const { return lastCreatedLogTime_.load(); }

private:
    mutable std::recursive_mutex lock_;
    bool started_ = false;
    double sessionTimeout_ = kDefaultSessionTimeout;
    std::weak_ptr<RDDISessionTrackerDelegate> delegate_;
    // Written on enqueuing threads and the main thread without the lock.
    std::atomic<double> lastCreatedLogTime_{-1};
    std::atomic<double> lastEnteredForegroundTime_{-1};
    std::atomic<double> lastEnteredBackgroundTime_{-1};
};

}  // namespace rddi
