#include "telemetry/analytics/rddi_session_tracker.hpp"

#include "platform/foundation/clock.hpp"
#include "platform/foundation/notification_center.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_log_with_properties.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <filesystem>

namespace rddi {

namespace {

namespace pf = platform::foundation;

double now() { return pf::Clock::current()->now(); }

// An extension's host decides about its foreground; only log activity counts there.
bool isApplicationExtension() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return !error && executable.string().find(".appex/") != std::string::npos;
}

}  // namespace

RDDISessionTracker::RDDISessionTracker() { RDDIDezIdedevUserDefaults::shared()->removeObjectForKey("PastSessions"); }

// The observations hold the tracker weakly, so a tracker freed while started leaves only
// inert entries behind; the centre may already be gone when the process exits.
RDDISessionTracker::~RDDISessionTracker() = default;

void RDDISessionTracker::setDelegate(const std::shared_ptr<RDDISessionTrackerDelegate>& delegate) {
    std::lock_guard lock(lock_);
    delegate_ = delegate;
}

bool RDDISessionTracker::isStarted() const {
    std::lock_guard lock(lock_);
    return started_;
}

void RDDISessionTracker::start() {
    std::lock_guard lock(lock_);
    if (started_) return;
    started_ = true;
    if (static_cast<int>(RDDIUtility::applicationState()) < static_cast<int>(RDDIApplicationState::background)) {
        renewSessionId();
    }
    auto& center = pf::NotificationCenter::defaultCenter();
    const std::weak_ptr<RDDISessionTracker> weak = weak_from_this();
    center.addObserver(
        kResignActiveNotification, nullptr,
        [weak](const pf::Notification&) {
            if (auto self = weak.lock()) self->applicationDidEnterBackground();
        },
        this);
    center.addObserver(
        kBecomeActiveNotification, nullptr,
        [weak](const pf::Notification&) {
            if (auto self = weak.lock()) self->applicationWillEnterForeground();
        },
        this);
}

void RDDISessionTracker::stop() {
    std::lock_guard lock(lock_);
    if (!started_) return;
    pf::NotificationCenter::defaultCenter().removeObserver(this);
    started_ = false;
    RDDISessionContext::sharedInstance()->setSessionId(std::nullopt);
}

void RDDISessionTracker::applicationDidEnterBackground() { lastEnteredBackgroundTime_.store(now()); }

void RDDISessionTracker::applicationWillEnterForeground() {
    lastEnteredForegroundTime_.store(now());
    renewSessionId();
}

void RDDISessionTracker::channelPrepareLog(RDDIChannelUnitProtocol&, RDDIAbstractLog& log) {
    if (dynamic_cast<RDDIStartSessionLog*>(&log) || dynamic_cast<RDDIStartServiceLog*>(&log)) return;
    if (!dynamic_cast<RDDINoAutoAssignSessionIdLog*>(&log)) log.sid = RDDISessionContext::sharedInstance()->sessionId();
    lastCreatedLogTime_.store(now());
}

bool RDDISessionTracker::hasSessionTimedOut() {
    std::lock_guard lock(lock_);
    const double current = now();
    const double lastLog = lastCreatedLogTime_.load();
    const double background = lastEnteredBackgroundTime_.load();
    const double foreground = lastEnteredForegroundTime_.load();
    const bool noLogLately = lastLog < 0 || current - lastLog >= sessionTimeout_;
    if (isApplicationExtension()) return noLogLately;
    const bool inBackgroundLongEnough =
        background >= 0 && foreground >= 0 && background > foreground && current - background >= sessionTimeout_;
    const bool wasInBackgroundLongEnough = background >= 0 && foreground - background >= sessionTimeout_;
    return noLogLately && (inBackgroundLongEnough || wasInBackgroundLongEnough);
}

void RDDISessionTracker::renewSessionId() {
    std::shared_ptr<RDDISessionTrackerDelegate> delegate;
    std::shared_ptr<RDDIStartSessionLog> log;
    {
        std::lock_guard lock(lock_);
        if (!started_) return;
        auto context = RDDISessionContext::sharedInstance();
        if (context->sessionId() && !hasSessionTimedOut()) return;
        const std::string sessionId = pf::UUID().uuidString();
        context->setSessionId(sessionId);
        RDDILogInfo(kRDDIAnalyticsLogTag, "New session ID: {}", sessionId);
        log = std::make_shared<RDDIStartSessionLog>();
        log->sid = sessionId;
        delegate = delegate_.lock();
    }
    // Sent outside the lock: the service enqueues it under its own lock.
    if (delegate) delegate->sessionTrackerProcessLog(*this, std::move(log));
}

}  // namespace rddi
