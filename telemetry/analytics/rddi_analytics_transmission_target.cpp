#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"

#include "telemetry/analytics/rddi_analytics.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"

#include <mutex>

namespace rddi {

namespace pf = platform::foundation;

namespace {

std::mutex gProviderLock;
std::shared_ptr<RDDIAnalyticsAuthenticationProvider> gProvider;

std::recursive_mutex& analyticsLock() { return RDDIAnalytics::sharedInstance()->monitor(); }

}  // namespace

std::string RDDIAnalyticsTransmissionTarget::targetKeyFromToken(const std::string& token) {
    return token.substr(0, token.find('-'));
}

bool RDDIAnalyticsTransmissionTarget::isValidToken(const std::string& token) {
    return !token.empty() && token.find_first_of(std::string_view("\r\n\0,", 4)) == std::string::npos;
}

RDDIAnalyticsTransmissionTarget::RDDIAnalyticsTransmissionTarget(
    std::string token, const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& parent,
    std::shared_ptr<RDDIChannelGroupProtocol> channelGroup)
    : token_(std::move(token)), parent_(parent), channelGroup_(std::move(channelGroup)) {
    isEnabledKey_ = RDDIAnalytics::sharedInstance()->isEnabledKey() + "/" + targetKeyFromToken(token_);
}

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalyticsTransmissionTarget::create(
    const std::string& token, const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& parent,
    const std::shared_ptr<RDDIChannelGroupProtocol>& channelGroup) {
    std::shared_ptr<RDDIAnalyticsTransmissionTarget> target(
        new RDDIAnalyticsTransmissionTarget(token, parent, channelGroup));
    target->configurator_ = std::make_shared<RDDIPropertyConfigurator>(target);
    {
        std::lock_guard lock(analyticsLock());
        const bool parentEnabled = parent ? parent->isEnabled() : RDDIAnalytics::sharedInstance()->isEnabled();
        if (!parentEnabled) RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(false), target->isEnabledKey_);
    }
    if (channelGroup) {
        channelGroup->addDelegate(target->configurator_);
        channelGroup->addDelegate(target);
    }
    return target;
}

void RDDIAnalyticsTransmissionTarget::trackEvent(const std::string& eventName) {
    trackEvent(eventName, std::shared_ptr<RDDIEventProperties>(), RDDIFlagsNormal);
}

void RDDIAnalyticsTransmissionTarget::trackEvent(const std::string& eventName,
                                                 const std::optional<RDDIStringProperties>& properties,
                                                 RDDIFlags flags) {
    trackEvent(eventName, properties ? std::make_shared<RDDIEventProperties>(*properties) : nullptr, flags);
}

void RDDIAnalyticsTransmissionTarget::trackEvent(const std::string& eventName,
                                                 std::shared_ptr<RDDIEventProperties> properties, RDDIFlags flags) {
    // The nearest target's default wins, and what the caller passed beats every default.
    auto merged = std::make_shared<RDDIEventProperties>();
    {
        std::lock_guard lock(analyticsLock());
        for (auto target = shared_from_this(); target; target = target->parentTarget()) {
            target->configurator_->mergeTypedPropertiesWith(*merged);
        }
    }
    if (properties) {
        merged->mergeEventProperties(*properties);
    } else if (merged->isEmpty()) {
        merged = nullptr;
    }
    RDDIAnalytics::trackEvent(eventName, std::move(merged), shared_from_this(), flags);
}

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
    if (!isValidToken(token)) {
        RDDILogError(kRDDIAnalyticsLogTag,
                     "Transmission target token must not be empty nor contain line breaks, NUL or commas.");
        return nullptr;
    }
    std::lock_guard lock(analyticsLock());
    if (auto found = children_.find(token); found != children_.end()) return found->second;
    auto child = create(token, shared_from_this(), channelGroup_.lock());
    children_[token] = child;
    return child;
}

bool RDDIAnalyticsTransmissionTarget::isEnabled() const {
    std::lock_guard lock(analyticsLock());
    const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(isEnabledKey_);
    return stored.isNull() ? true : stored.boolValue();
}

bool RDDIAnalyticsTransmissionTarget::isImmediateParent() const {
    if (auto parent = parentTarget()) return parent->isEnabled();
    return RDDIAnalytics::sharedInstance()->isEnabled();
}

void RDDIAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
    std::lock_guard lock(analyticsLock());
    if (isEnabled != this->isEnabled()) {
        if (isEnabled && !isImmediateParent()) {
            RDDILogWarning(kRDDIAnalyticsLogTag,
                           "Can't enable; parent transmission target and/or Analytics service is disabled.");
            return;
        }
        RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(isEnabled), isEnabledKey_);
        if (isEnabled) resume();
    }
    for (const auto& [token, child] : children_) child->setEnabled(isEnabled);
}

void RDDIAnalyticsTransmissionTarget::pause() {
    if (!isEnabled()) {
        RDDILogError(kRDDIAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    RDDIAnalytics::pauseTransmissionTargetForToken(token_);
}

void RDDIAnalyticsTransmissionTarget::resume() {
    if (!isEnabled()) {
        RDDILogError(kRDDIAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    RDDIAnalytics::resumeTransmissionTargetForToken(token_);
}

void RDDIAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<RDDIAnalyticsAuthenticationProvider>& provider) {
    if (!provider) {
        RDDILogError(kRDDIAnalyticsLogTag, "Authentication provider may not be null.");
        return;
    }
    std::shared_ptr<RDDIAnalyticsAuthenticationProvider> previous;
    {
        std::lock_guard lock(gProviderLock);
        previous = std::exchange(gProvider, provider);
    }
    // An answer to the replaced provider's request, on whatever thread it comes, is dropped.
    if (previous && previous != provider) previous->invalidate();
    provider->acquireTokenAsync();
}

std::shared_ptr<RDDIAnalyticsAuthenticationProvider> RDDIAnalyticsTransmissionTarget::authenticationProvider() {
    std::lock_guard lock(gProviderLock);
    return gProvider;
}

void RDDIAnalyticsTransmissionTarget::resetAuthenticationProvider() {
    std::shared_ptr<RDDIAnalyticsAuthenticationProvider> previous;
    {
        std::lock_guard lock(gProviderLock);
        previous = std::move(gProvider);
    }
    if (previous) previous->invalidate();
}

void RDDIAnalyticsTransmissionTarget::channelPrepareLog(RDDIChannelUnitProtocol&, RDDIAbstractLog& log) {
    auto* csLog = dynamic_cast<RDDICommonSchemaLog*>(&log);
    if (!csLog || !csLog->transmissionTargetTokens().contains(token_) || !isEnabled()) return;
    auto provider = authenticationProvider();
    if (!provider) return;
    if (!csLog->ext) csLog->ext = std::make_shared<RDDICSExtensions>();
    if (!csLog->ext->protocolExt) csLog->ext->protocolExt = std::make_shared<RDDIProtocolExtension>();
    if (provider->ticketKeyHash()) csLog->ext->protocolExt->ticketKeys = std::vector<std::string>{*provider->ticketKeyHash()};
    provider->checkTokenExpiry();
}

}  // namespace rddi
