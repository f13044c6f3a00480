#include "telemetry/core/rddi_service.hpp"

#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"

namespace rddi {

namespace pf = platform::foundation;

std::string RDDIServiceAbstract::shortClassName() const {
    const std::string name = className();
    return name.size() > 4 ? name.substr(4) : std::string();
}

void RDDIServiceAbstract::applyEnabledState(bool isEnabled) {
    if (channelUnit_) channelUnit_->setEnabled(isEnabled, true);
}

bool RDDIServiceAbstract::canBeUsed() const {
    if (RDDIDezIdedev::isConfigured() && isStarted()) return true;
    RDDILogError(kRDDILogTag,
                 "{} service hasn't been started. You need to call [RDDIDezIdedev start:YOUR_APP_SECRET "
                 "withServices:LIST_OF_SERVICES] first.",
                 shortClassName());
    return false;
}

void RDDIServiceAbstract::startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                                                std::optional<std::string> appSecret,
                                                std::optional<std::string> transmissionTargetToken,
                                                bool fromApplication) {
    startedFromApplication_ = fromApplication;
    channelGroup_ = std::move(channelGroup);
    appSecret_ = std::move(appSecret);
    defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
    started_ = true;
    if (auto configuration = channelUnitConfiguration(); configuration && channelGroup_) {
        channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(configuration);
    }
    if (isEnabled()) applyEnabledState(true);
}

void RDDIServiceAbstract::updateConfiguration(std::optional<std::string> appSecret,
                                              std::optional<std::string> transmissionTargetToken) {
    startedFromApplication_ = true;
    appSecret_ = std::move(appSecret);
    defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
    if (isEnabled()) applyEnabledState(true);
}

bool RDDIServiceAbstract::isEnabled() const {
    const pf::Value stored = RDDIDezIdedevUserDefaults::shared()->objectForKey(isEnabledKey());
    return stored.isNull() ? true : stored.boolValue();
}

void RDDIServiceAbstract::setEnabled(bool isEnabled) {
    if (isEnabled == this->isEnabled()) return;
    applyEnabledState(isEnabled);
    RDDIDezIdedevUserDefaults::shared()->setObject(pf::Value(isEnabled), isEnabledKey());
}

bool RDDIServiceAbstract::classIsEnabled() {
    std::lock_guard lock(monitor_);
    return canBeUsed() && isEnabled();
}

void RDDIServiceAbstract::classSetEnabled(bool isEnabled) {
    // The SDK's switch is read before this service's monitor is taken: the entry point
    // takes its own lock and then a service's, so taking them the other way round here
    // could deadlock against a concurrent RDDIDezIdedev::setEnabled.
    const auto sdk = RDDIDezIdedev::sharedInstance();
    const bool sdkEnabled = sdk->sdkConfigured() && RDDIDezIdedev::isEnabled();
    std::lock_guard lock(monitor_);
    if (!canBeUsed()) return;
    if (!sdkEnabled && !sdk->isEnabledStateUpdating()) {
        RDDILogError(kRDDILogTag,
                     "The SDK is disabled. Re-enable the whole SDK from DezIdedev first before enabling {} service.",
                     shortClassName());
        return;
    }
    setEnabled(isEnabled);
}

}  // namespace rddi
