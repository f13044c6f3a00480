#pragma once
// A transmission target sends events as Common Schema logs under its own tenant token.
// Targets form a tree: the analytics service hands out roots by token, each target hands
// out children. A target's switch is stored per target key; a child of a disabled parent
// starts disabled. One process-wide authentication provider attaches a ticket to the logs
// of every target. State is guarded by the analytics service's lock.
#include "telemetry/analytics/rddi_analytics_authentication_provider.hpp"
#include "telemetry/analytics/rddi_event_log.hpp"
#include "telemetry/analytics/rddi_property_configurator.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace rddi {

class RDDIAnalyticsTransmissionTarget final : public RDDIChannelDelegate,
                                              public std::enable_shared_from_this<RDDIAnalyticsTransmissionTarget> {
public:
    // Adds the configurator and then the target as delegates of the group.
    static std::shared_ptr<RDDIAnalyticsTransmissionTarget> create(
        const std::string& token, const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& parent,
        const std::shared_ptr<RDDIChannelGroupProtocol>& channelGroup);

    const std::string& transmissionTargetToken() const { return token_; }
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> parentTarget() const { return parent_.lock(); }
    const std::shared_ptr<RDDIPropertyConfigurator>& propertyConfigurator() const { return configurator_; }
    const std::string& isEnabledKey() const { return isEnabledKey_; }

    void trackEvent(const std::string& eventName);
    void trackEvent(const std::string& eventName, const std::optional<RDDIStringProperties>& properties,
                    RDDIFlags flags = RDDIFlagsNormal);
    void trackEvent(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                    RDDIFlags flags = RDDIFlagsNormal);

    // The child for the token, made and kept on first request; none for a token that
    // could not travel in a request header (logged).
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);

    // The stored switch; on when nothing is stored.
    bool isEnabled() const;
    // Enabling is refused while the parent (or, for a root, the service) is off; the
    // value is passed on to every child either way.
    void setEnabled(bool isEnabled);
    // Holds back or lets go this target's logs in the Common Schema units.
    void pause();
    void resume();
    bool isImmediateParent() const;

    // One provider for all targets; asked for a token at once.
    static void addAuthenticationProvider(const std::shared_ptr<RDDIAnalyticsAuthenticationProvider>& provider);
    static std::shared_ptr<RDDIAnalyticsAuthenticationProvider> authenticationProvider();
    // Forgets the provider (tests, and a fresh start).
    static void resetAuthenticationProvider();

    // Attaches the provider's ticket key to this target's Common Schema logs.
    void channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) override;

    // The part of a token before its first "-".
    static std::string targetKeyFromToken(const std::string& token);
    // Empty, or holding CR, LF, NUL or "," (which would corrupt the "apikey" header).
    static bool isValidToken(const std::string& token);

private:
    RDDIAnalyticsTransmissionTarget(std::string token, const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& parent,
                                    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup);

    const std::string token_;
    const std::weak_ptr<RDDIAnalyticsTransmissionTarget> parent_;
    // Weak: logs stored by the group carry their target as their tag.
    const std::weak_ptr<RDDIChannelGroupProtocol> channelGroup_;
    std::string isEnabledKey_;
    std::shared_ptr<RDDIPropertyConfigurator> configurator_;
    std::map<std::string, std::shared_ptr<RDDIAnalyticsTransmissionTarget>> children_;
};

}  // namespace rddi
