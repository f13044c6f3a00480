#pragma once
// The usage analytics service: turns requests to track events and pages into logs and
// hands them to its channel units with persistence flags.
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/analytics/rddi_session_tracker.hpp"
#include "telemetry/core/rddi_service.hpp"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

class RDDIAnalytics;
class RDDIAnalyticsTransmissionTarget;

// Hears what becomes of tracked events and pages; every operation is optional.
class RDDIAnalyticsDelegate {
public:
    virtual ~RDDIAnalyticsDelegate() = default;
    virtual void analyticsWillSendEventLog(RDDIAnalytics& /*analytics*/, const RDDIEventLog& /*log*/) {}
    virtual void analyticsDidSucceedSendingEventLog(RDDIAnalytics& /*analytics*/, const RDDIEventLog& /*log*/) {}
    virtual void analyticsDidFailSendingEventLog(RDDIAnalytics& /*analytics*/, const RDDIEventLog& /*log*/,
                                                 const std::string& /*error*/) {}
    virtual void analyticsWillSendPageLog(RDDIAnalytics& /*analytics*/, const RDDIPageLog& /*log*/) {}
    virtual void analyticsDidSucceedSendingPageLog(RDDIAnalytics& /*analytics*/, const RDDIPageLog& /*log*/) {}
    virtual void analyticsDidFailSendingPageLog(RDDIAnalytics& /*analytics*/, const RDDIPageLog& /*log*/,
                                                const std::string& /*error*/) {}
};

class RDDIAnalytics final : public RDDIServiceAbstract,
                            public RDDIChannelDelegate,
                            public RDDISessionTrackerDelegate,
                            public std::enable_shared_from_this<RDDIAnalytics> {
public:
    static constexpr std::uint64_t kMinFlushInterval = 3;
    static constexpr std::uint64_t kMaxFlushInterval = 86400;
    static constexpr std::size_t kMaxEventNameLength = 256;
    static constexpr std::size_t kMaxTypedProperties = 20;
    static constexpr std::size_t kMaxPropertyKeyLength = 125;
    static constexpr std::size_t kMaxPropertyValueLength = 125;

    static std::shared_ptr<RDDIAnalytics> sharedInstance();
    static void resetSharedInstance();
    // How the entry point is told to start this service.
    static RDDIServiceClass serviceClass();

    // --- Class interface (forwards to the shared instance) -----------------------
    static void trackEvent(const std::string& eventName);
    static void trackEvent(const std::string& eventName, const std::optional<RDDIStringProperties>& properties,
                           RDDIFlags flags = RDDIFlagsNormal);
    static void trackEvent(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                           RDDIFlags flags = RDDIFlagsNormal);
    static void trackEvent(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                           const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target, RDDIFlags flags);
    static void trackPage(const std::string& pageName,
                          const std::optional<RDDIStringProperties>& properties = std::nullopt);
    static void pause();
    static void resume();
    static std::uint64_t transmissionInterval();
    static void setTransmissionInterval(std::uint64_t seconds);
    // Held strongly.
    static void setDelegate(std::shared_ptr<RDDIAnalyticsDelegate> delegate);
    static void setAutoPageTrackingEnabled(bool isEnabled);
    static bool isAutoPageTrackingEnabled();
    // The root target for the token, made and kept on first request; none (logged) for
    // an empty token or one holding CR, LF, NUL or ",". Works before start too.
    static std::shared_ptr<RDDIAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);
    static void pauseTransmissionTargetForToken(const std::string& token);
    static void resumeTransmissionTargetForToken(const std::string& token);

    // --- Instance ----------------------------------------------------------------
    RDDIAnalytics();

    // A refusal is logged; nothing reaches the caller.
    void trackEventWithTypedProperties(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                                       RDDIFlags flags);
    // With no target, the default target (when there is one).
    void trackEventWithTypedProperties(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                                       const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target,
                                       RDDIFlags flags);
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> instanceTransmissionTargetForToken(const std::string& token);
    void pauseTransmissionTarget(const std::string& token);
    void resumeTransmissionTarget(const std::string& token);
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> defaultTransmissionTarget() const;
    const std::shared_ptr<RDDISessionTracker>& sessionTracker() const { return sessionTracker_; }
    bool autoPageTrackingEnabled() const { return autoPageTrackingEnabled_.load(); }
    void trackPageWithProperties(const std::string& pageName, const std::optional<RDDIStringProperties>& properties);
    void pauseService();
    void resumeService();

    std::string serviceName() const override { return "Analytics"; }
    std::string groupId() const override { return "Analytics"; }
    std::string logTag() const override { return kRDDIAnalyticsLogTag; }
    std::string className() const override { return "RDDIAnalytics"; }
    bool isAppSecretRequired() const override { return false; }
    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration() const override;

    void startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                               std::optional<std::string> appSecret,
                               std::optional<std::string> transmissionTargetToken, bool fromApplication) override;
    void updateConfiguration(std::optional<std::string> appSecret,
                             std::optional<std::string> transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;
    // The service's switch, then the same on every target handed out.
    void setEnabled(bool isEnabled) override;

    // Start-session logs go out with normal flags.
    void sessionTrackerProcessLog(RDDISessionTracker& tracker, std::shared_ptr<RDDIAbstractLog> log) override;

    std::shared_ptr<RDDIChannelUnitProtocol> criticalChannelUnit() const { return criticalChannelUnit_; }
    std::uint64_t flushInterval() const { return flushInterval_; }

    // Relayed to the analytics delegate for event and page logs only.
    void channelWillSendLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidSucceedSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidFailSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                  const std::string& error) override;

    // Names and string properties are checked when a log enters a unit; true drops it.
    bool channelUnitShouldFilterLog(RDDIChannelUnitProtocol& unit, RDDIAbstractLog& log) override;
    bool validateLog(RDDILogWithNameAndProperties& log);
    std::optional<std::string> validateEventName(const std::optional<std::string>& name, const std::string& logType);
    std::shared_ptr<RDDIEventProperties> validateDezIdedevEventProperties(const RDDIEventProperties& properties);
    std::shared_ptr<RDDITypedProperty> validateDezIdedevTypedProperty(const RDDITypedProperty& property);
    std::string validateDezIdedevPropertyName(const std::string& name);
    std::string validateDezIdedevStringTypedPropertyValue(const std::string& value);

private:
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> createTransmissionTargetForToken(const std::string& token);
    std::shared_ptr<RDDIChannelUnitProtocol> companionUnit(bool critical);
    // The log refused for a NUL in its properties, else none (sent, or dropped silently).
    std::shared_ptr<RDDIEventLog> trackEventLocked(const std::string& eventName,
                                                   std::shared_ptr<RDDIEventProperties> properties,
                                                   const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target,
                                                   RDDIFlags flags);
    void sendLog(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags);
    // The delegate hears of a log refused where it was tracked as of one that failed.
    void reportRefusedLog(const RDDIAbstractLog& log);
    void updateFlushInterval(std::uint64_t seconds);

    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration_;
    std::shared_ptr<RDDIChannelUnitProtocol> criticalChannelUnit_;
    std::shared_ptr<RDDIAnalyticsDelegate> delegate() const;

    std::uint64_t flushInterval_ = kMinFlushInterval;
    std::atomic<bool> autoPageTrackingEnabled_{false};
    std::shared_ptr<RDDISessionTracker> sessionTracker_ = std::make_shared<RDDISessionTracker>();
    std::map<std::string, std::shared_ptr<RDDIAnalyticsTransmissionTarget>> transmissionTargets_;
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> defaultTransmissionTarget_;
    std::shared_ptr<RDDIChannelUnitProtocol> vudEzezevuvoChannelUnit_;
    std::shared_ptr<RDDIChannelUnitProtocol> vudEzezevuvoCriticalChannelUnit_;
    mutable std::mutex delegateLock_;
    std::shared_ptr<RDDIAnalyticsDelegate> delegate_;
};

}  // namespace rddi
