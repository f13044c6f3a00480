#pragma once
// The usage analytics service: turns requests to track events and pages into logs and
// hands them to its channel units with persistence flags.
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/core/rddi_service.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

class RDDIAnalytics;

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
    static void trackPage(const std::string& pageName,
                          const std::optional<RDDIStringProperties>& properties = std::nullopt);
    static void pause();
    static void resume();
    static std::uint64_t transmissionInterval();
    static void setTransmissionInterval(std::uint64_t seconds);
    // Held strongly.
    static void setDelegate(std::shared_ptr<RDDIAnalyticsDelegate> delegate);

    // --- Instance ----------------------------------------------------------------
    RDDIAnalytics();

    // A refusal is logged; nothing reaches the caller.
    void trackEventWithTypedProperties(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                                       RDDIFlags flags);
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
    void applyEnabledState(bool isEnabled) override;

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
    void sendLog(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags);
    void updateFlushInterval(std::uint64_t seconds);

    std::shared_ptr<const RDDIChannelUnitConfiguration> channelUnitConfiguration_;
    std::shared_ptr<RDDIChannelUnitProtocol> criticalChannelUnit_;
    std::shared_ptr<RDDIAnalyticsDelegate> delegate() const;

    std::uint64_t flushInterval_ = kMinFlushInterval;
    mutable std::mutex delegateLock_;
    std::shared_ptr<RDDIAnalyticsDelegate> delegate_;
};

}  // namespace rddi
