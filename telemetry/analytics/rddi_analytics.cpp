#include "telemetry/analytics/rddi_analytics.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/analytics/rddi_analytics_category.hpp"
#include "telemetry/analytics/rddi_analytics_transmission_target.hpp"
#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_errors.hpp"
#include "telemetry/core/rddi_kept_values.hpp"
#include "telemetry/core/rddi_session_context.hpp"
#include "telemetry/core/rddi_user_id_context.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_user_defaults.hpp"
#include "telemetry/core/rddi_utility.hpp"

#include <algorithm>
#include <mutex>

namespace rddi {

namespace {

constexpr const char* kCriticalGroupIdSuffix = "critical";

// Archives refuse text holding a NUL: such a log, once stored, could never be read back
// to be sent. Checked where it is tracked, so that the caller still hears of it.
bool propertiesHoldNul(const RDDIEventProperties* properties) {
    if (!properties) return false;
    for (const auto& [key, property] : properties->properties()) {
        if (RDDIHoldsNul(key)) return true;
        if (!property) continue;
        if (property->name && RDDIHoldsNul(*property->name)) return true;
        const auto* string = dynamic_cast<const RDDIStringTypedProperty*>(property.get());
        if (string && string->value && RDDIHoldsNul(*string->value)) return true;
    }
    return false;
}

bool propertiesHoldNul(const std::optional<RDDIStringProperties>& properties) {
    if (!properties) return false;
    return std::any_of(properties->begin(), properties->end(),
                       [](const auto& entry) { return RDDIHoldsNul(entry.first) || RDDIHoldsNul(entry.second); });
}

void logNulRefusal(const std::string& logType) {
    RDDILogError(kRDDIAnalyticsLogTag,
                 "{} property keys and values cannot contain a NUL character; the {} is refused and reported as failed.",
                 logType, logType);
}

std::mutex gSharedLock;
std::shared_ptr<RDDIAnalytics> gShared;

}  // namespace

std::shared_ptr<RDDIAnalytics> RDDIAnalytics::sharedInstance() {
    std::lock_guard lock(gSharedLock);
    if (!gShared) {
        gShared = std::make_shared<RDDIAnalytics>();
        gShared->sessionTracker_->setDelegate(gShared);
    }
    return gShared;
}

void RDDIAnalytics::resetSharedInstance() {
    std::shared_ptr<RDDIAnalytics> previous;
    {
        std::lock_guard lock(gSharedLock);
        previous = std::move(gShared);
    }
    if (previous) previous->sessionTracker_->stop();
}

RDDIServiceClass RDDIAnalytics::serviceClass() {
    return {"RDDIAnalytics", [] { return std::static_pointer_cast<RDDIServiceInternal>(sharedInstance()); }};
}

RDDIAnalytics::RDDIAnalytics() {
    RDDIDezIdedevUserDefaults::shared()->migrateKeys(
        {
            {"RDDezIdedevAnalyticsIsEnabled", RDDIUserDefaultsPrefixKey{"kRDAnalyticsIsEnabledKey"}},
            {"RDDezIdedevPastSessions", std::string("pastSessionsKey")},
        },
        "Analytics");
    RDDIRegisterAnalyticsArchiveClasses();
}

// --- Class interface ---------------------------------------------------------------

void RDDIAnalytics::trackEvent(const std::string& eventName) { trackEvent(eventName, std::nullopt); }

void RDDIAnalytics::trackEvent(const std::string& eventName, const std::optional<RDDIStringProperties>& properties,
                               RDDIFlags flags) {
    auto bag = std::make_shared<RDDIEventProperties>(properties.value_or(RDDIStringProperties{}));
    sharedInstance()->trackEventWithTypedProperties(eventName, std::move(bag), flags);
}

void RDDIAnalytics::trackEvent(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                               RDDIFlags flags) {
    sharedInstance()->trackEventWithTypedProperties(eventName, std::move(properties), flags);
}

void RDDIAnalytics::trackPage(const std::string& pageName, const std::optional<RDDIStringProperties>& properties) {
    sharedInstance()->trackPageWithProperties(pageName, properties);
}

void RDDIAnalytics::pause() { sharedInstance()->pauseService(); }

void RDDIAnalytics::resume() { sharedInstance()->resumeService(); }

void RDDIAnalytics::trackEvent(const std::string& eventName, std::shared_ptr<RDDIEventProperties> properties,
                               const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target, RDDIFlags flags) {
    sharedInstance()->trackEventWithTypedProperties(eventName, std::move(properties), target, flags);
}

void RDDIAnalytics::setAutoPageTrackingEnabled(bool isEnabled) {
    sharedInstance()->autoPageTrackingEnabled_.store(isEnabled);
}

bool RDDIAnalytics::isAutoPageTrackingEnabled() { return sharedInstance()->autoPageTrackingEnabled(); }

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalytics::transmissionTargetForToken(const std::string& token) {
    return sharedInstance()->instanceTransmissionTargetForToken(token);
}

void RDDIAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->pauseTransmissionTarget(token);
}

void RDDIAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->resumeTransmissionTarget(token);
}

std::uint64_t RDDIAnalytics::transmissionInterval() { return sharedInstance()->flushInterval(); }

void RDDIAnalytics::setTransmissionInterval(std::uint64_t seconds) { sharedInstance()->updateFlushInterval(seconds); }

void RDDIAnalytics::setDelegate(std::shared_ptr<RDDIAnalyticsDelegate> delegate) {
    auto instance = sharedInstance();
    std::lock_guard lock(instance->delegateLock_);
    instance->delegate_ = std::move(delegate);
}

std::shared_ptr<RDDIAnalyticsDelegate> RDDIAnalytics::delegate() const {
    std::lock_guard lock(delegateLock_);
    return delegate_;
}

void RDDIAnalytics::channelWillSendLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log) {
    auto target = delegate();
    if (!target) return;
    if (const auto* event = dynamic_cast<const RDDIEventLog*>(&log)) target->analyticsWillSendEventLog(*this, *event);
    if (const auto* page = dynamic_cast<const RDDIPageLog*>(&log)) target->analyticsWillSendPageLog(*this, *page);
}

void RDDIAnalytics::channelDidSucceedSendingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log) {
    auto target = delegate();
    if (!target) return;
    if (const auto* event = dynamic_cast<const RDDIEventLog*>(&log)) {
        target->analyticsDidSucceedSendingEventLog(*this, *event);
    }
    if (const auto* page = dynamic_cast<const RDDIPageLog*>(&log)) target->analyticsDidSucceedSendingPageLog(*this, *page);
}

void RDDIAnalytics::channelDidFailSendingLog(RDDIChannelUnitProtocol&, const RDDIAbstractLog& log,
                                             const std::string& error) {
    auto target = delegate();
    if (!target) return;
    if (const auto* event = dynamic_cast<const RDDIEventLog*>(&log)) {
        target->analyticsDidFailSendingEventLog(*this, *event, error);
    }
    if (const auto* page = dynamic_cast<const RDDIPageLog*>(&log)) {
        target->analyticsDidFailSendingPageLog(*this, *page, error);
    }
}

// --- Tracking ----------------------------------------------------------------------

void RDDIAnalytics::trackEventWithTypedProperties(const std::string& eventName,
                                                  std::shared_ptr<RDDIEventProperties> properties, RDDIFlags flags) {
    trackEventWithTypedProperties(eventName, std::move(properties), nullptr, flags);
}

void RDDIAnalytics::trackEventWithTypedProperties(const std::string& eventName,
                                                  std::shared_ptr<RDDIEventProperties> properties,
                                                  const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target,
                                                  RDDIFlags flags) {
    std::shared_ptr<RDDIEventLog> refused;
    {
        // Held while the unit runs the prepare hooks on this thread; the targets and
        // configurators take it again there, hence a recursive lock.
        std::lock_guard lock(monitor());
        refused = trackEventLocked(eventName, std::move(properties), target, flags);
    }
    // Outside the lock: the delegate may track again, or wait on a thread that does.
    if (refused) reportRefusedLog(*refused);
}

std::shared_ptr<RDDIEventLog> RDDIAnalytics::trackEventLocked(const std::string& eventName,
                                                              std::shared_ptr<RDDIEventProperties> properties,
                                                              const std::shared_ptr<RDDIAnalyticsTransmissionTarget>& target,
                                                              RDDIFlags flags) {
    if (!canBeUsed() || !isEnabled()) return nullptr;
    const auto effectiveTarget = target ? target : defaultTransmissionTarget_;
    RDDIFlags persistence = flags & RDDIFlagsPersistenceMask;
    if (persistence != RDDIFlagsNormal && persistence != RDDIFlagsCritical) {
        RDDILogWarning(kRDDIAnalyticsLogTag, "Invalid flags ({}) received, using normal as a default.",
                       static_cast<unsigned>(persistence));
        persistence = RDDIFlagsNormal;
    }
    auto log = std::make_shared<RDDIEventLog>();
    if (effectiveTarget) {
        if (!effectiveTarget->isEnabled()) {
            RDDILogError(kRDDIAnalyticsLogTag, "This transmission target is disabled.");
            return nullptr;
        }
        log->addTransmissionTargetToken(effectiveTarget->transmissionTargetToken());
        log->tag = effectiveTarget;
        if (effectiveTarget == defaultTransmissionTarget_) log->userId = RDDIUserIdContext::sharedInstance()->userId();
    } else if (properties) {
        properties = validateDezIdedevEventProperties(*properties);
    }
    log->name = eventName;
    log->eventId = platform::foundation::UUID().uuidString();
    log->typedProperties = (properties && !properties->isEmpty()) ? properties : nullptr;
    if (propertiesHoldNul(log->typedProperties.get())) {
        logNulRefusal("event");
        return log;
    }
    sendLog(std::move(log), persistence);
    return nullptr;
}

void RDDIAnalytics::trackPageWithProperties(const std::string& pageName,
                                            const std::optional<RDDIStringProperties>& properties) {
    std::shared_ptr<RDDIPageLog> refused;
    {
        std::lock_guard lock(monitor());
        if (!canBeUsed() || !isEnabled()) return;
        auto log = std::make_shared<RDDIPageLog>();
        log->name = pageName;
        if (properties && !properties->empty()) log->properties = *properties;
        if (propertiesHoldNul(log->properties)) {
            logNulRefusal("page");
            refused = std::move(log);
        } else {
            sendLog(std::move(log), RDDIFlagsNormal);
        }
    }
    if (refused) reportRefusedLog(*refused);
}

void RDDIAnalytics::reportRefusedLog(const RDDIAbstractLog& log) {
    auto target = delegate();
    if (!target) return;
    const auto error = makeRDDIError(kRDDILogRefusedErrorCode, kRDDILogRefusedErrorDesc).printedDescription();
    if (const auto* event = dynamic_cast<const RDDIEventLog*>(&log)) {
        target->analyticsWillSendEventLog(*this, *event);
        target->analyticsDidFailSendingEventLog(*this, *event, error);
    }
    if (const auto* page = dynamic_cast<const RDDIPageLog*>(&log)) {
        target->analyticsWillSendPageLog(*this, *page);
        target->analyticsDidFailSendingPageLog(*this, *page, error);
    }
}

void RDDIAnalytics::sendLog(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) {
    auto unit = (flags & RDDIFlagsCritical) ? criticalChannelUnit_ : channelUnit_;
    if (unit) unit->enqueueItem(std::move(log), flags);
}

void RDDIAnalytics::pauseService() {
    std::lock_guard lock(monitor());
    if (!canBeUsed()) return;
    const std::shared_ptr<const void> self = shared_from_this();
    if (channelUnit_) channelUnit_->pauseWithIdentifyingObject(self);
    if (criticalChannelUnit_) criticalChannelUnit_->pauseWithIdentifyingObject(self);
}

void RDDIAnalytics::resumeService() {
    std::lock_guard lock(monitor());
    if (!canBeUsed()) return;
    const std::shared_ptr<const void> self = shared_from_this();
    if (channelUnit_) channelUnit_->resumeWithIdentifyingObject(self);
    if (criticalChannelUnit_) criticalChannelUnit_->resumeWithIdentifyingObject(self);
}

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalytics::instanceTransmissionTargetForToken(
    const std::string& token) {
    if (!RDDIAnalyticsTransmissionTarget::isValidToken(token)) {
        RDDILogError(kRDDIAnalyticsLogTag,
                     "Transmission target token must not be empty nor contain line breaks, NUL or commas.");
        return nullptr;
    }
    std::lock_guard lock(monitor());
    if (auto found = transmissionTargets_.find(token); found != transmissionTargets_.end()) {
        RDDILogDebug(kRDDIAnalyticsLogTag, "Returning transmission target found with id {}.",
                     RDDIAnalyticsTransmissionTarget::targetKeyFromToken(token));
        return found->second;
    }
    auto target = createTransmissionTargetForToken(token);
    transmissionTargets_[token] = target;
    return target;
}

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalytics::createTransmissionTargetForToken(
    const std::string& token) {
    auto group = channelGroup_ ? channelGroup_ : RDDIDezIdedev::sharedInstance()->channelGroup();
    auto target = RDDIAnalyticsTransmissionTarget::create(token, nullptr, group);
    RDDILogDebug(kRDDIAnalyticsLogTag, "Created transmission target with target key {}.",
                 RDDIAnalyticsTransmissionTarget::targetKeyFromToken(token));
    return target;
}

std::shared_ptr<RDDIAnalyticsTransmissionTarget> RDDIAnalytics::defaultTransmissionTarget() const {
    std::lock_guard lock(monitor());
    return defaultTransmissionTarget_;
}

std::shared_ptr<RDDIChannelUnitProtocol> RDDIAnalytics::companionUnit(bool critical) {
    std::lock_guard lock(monitor());
    auto& unit = critical ? vudEzezevuvoCriticalChannelUnit_ : vudEzezevuvoChannelUnit_;
    if (!unit && channelGroup_) {
        unit = channelGroup_->channelUnitForGroupId(groupId() + (critical ? std::string("_") + kCriticalGroupIdSuffix : "") +
                                                    "/one");
    }
    return unit;
}

void RDDIAnalytics::pauseTransmissionTarget(const std::string& token) {
    for (bool critical : {false, true}) {
        if (auto unit = companionUnit(critical)) unit->pauseSendingLogsWithToken(token);
    }
}

void RDDIAnalytics::resumeTransmissionTarget(const std::string& token) {
    for (bool critical : {false, true}) {
        if (auto unit = companionUnit(critical)) unit->resumeSendingLogsWithToken(token);
    }
}

void RDDIAnalytics::sessionTrackerProcessLog(RDDISessionTracker&, std::shared_ptr<RDDIAbstractLog> log) {
    std::lock_guard lock(monitor());
    sendLog(std::move(log), RDDIFlagsNormal);
}

void RDDIAnalytics::updateFlushInterval(std::uint64_t seconds) {
    std::lock_guard lock(monitor());
    if (isStarted()) {
        RDDILogError(kRDDIAnalyticsLogTag,
                     "The transmission interval should be set before the RDDIAnalytics service is started.");
        return;
    }
    if (seconds < kMinFlushInterval || seconds > kMaxFlushInterval) {
        RDDILogError(kRDDIAnalyticsLogTag,
                     "The transmission interval is not valid, it should be between {} second(s) and {} second(s) ({} day).",
                     kMinFlushInterval, kMaxFlushInterval, 1);
        return;
    }
    flushInterval_ = seconds;
    RDDILogDebug(kRDDIAnalyticsLogTag, "Transmission interval set to {} second(s)", seconds);
}

// --- Service -----------------------------------------------------------------------

std::shared_ptr<const RDDIChannelUnitConfiguration> RDDIAnalytics::channelUnitConfiguration() const {
    return channelUnitConfiguration_;
}

void RDDIAnalytics::startWithChannelGroup(std::shared_ptr<RDDIChannelGroupProtocol> channelGroup,
                                          std::optional<std::string> appSecret,
                                          std::optional<std::string> transmissionTargetToken, bool fromApplication) {
    std::lock_guard lock(monitor());
    channelUnitConfiguration_ = RDDIChannelUnitConfiguration::defaultConfiguration(groupId(), flushInterval_);
    RDDIServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret), transmissionTargetToken,
                                               fromApplication);
    if (transmissionTargetToken) defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
    if (channelGroup_) {
        criticalChannelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
            RDDIChannelUnitConfiguration::defaultConfiguration(groupId() + "_" + kCriticalGroupIdSuffix));
    }
    RDDILogVerbose(kRDDIAnalyticsLogTag, "Started Analytics service.");
}

void RDDIAnalytics::updateConfiguration(std::optional<std::string> appSecret,
                                        std::optional<std::string> transmissionTargetToken) {
    std::lock_guard lock(monitor());
    RDDIServiceAbstract::updateConfiguration(std::move(appSecret), transmissionTargetToken);
    if (transmissionTargetToken && !defaultTransmissionTarget_) {
        defaultTransmissionTarget_ = createTransmissionTargetForToken(*transmissionTargetToken);
    }
}

void RDDIAnalytics::setEnabled(bool isEnabled) {
    std::lock_guard lock(monitor());
    RDDIServiceAbstract::setEnabled(isEnabled);
    for (const auto& [token, target] : transmissionTargets_) target->setEnabled(isEnabled);
    if (defaultTransmissionTarget_) defaultTransmissionTarget_->setEnabled(isEnabled);
}

void RDDIAnalytics::applyEnabledState(bool isEnabled) {
    RDDIServiceAbstract::applyEnabledState(isEnabled);
    if (criticalChannelUnit_) criticalChannelUnit_->setEnabled(isEnabled, true);
    if (isEnabled) {
        if (startedFromApplication_) {
            resumeService();
            sessionTracker_->start();
            if (channelGroup_) {
                channelGroup_->addDelegate(sessionTracker_);
                channelGroup_->addDelegate(shared_from_this());
            }
            if (autoPageTrackingEnabled_.load()) {
                // Tracked once the current work is done, as the page would have been; taken
                // so that enabling again does not send it a second time.
                platform::dispatch::DispatchQueue::main().async([] {
                    const auto missed = RDDIAnalyticsCategory::takeMissedPageViewName();
                    if (missed && !missed->empty()) RDDIAnalytics::trackPage(*missed);
                });
            }
        }
        RDDILogInfo(kRDDIAnalyticsLogTag, "Analytics service has been enabled.");
    } else {
        if (startedFromApplication_) {
            if (channelGroup_) {
                channelGroup_->removeDelegate(sessionTracker_);
                channelGroup_->removeDelegate(shared_from_this());
            }
            sessionTracker_->stop();
            RDDISessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        }
        RDDILogInfo(kRDDIAnalyticsLogTag, "Analytics service has been disabled.");
    }
}

// --- Validation --------------------------------------------------------------------

bool RDDIAnalytics::channelUnitShouldFilterLog(RDDIChannelUnitProtocol& /*unit*/, RDDIAbstractLog& log) {
    if (auto* event = dynamic_cast<RDDIEventLog*>(&log)) return !validateLog(*event);
    if (auto* page = dynamic_cast<RDDIPageLog*>(&log)) return !validateLog(*page);
    return false;
}

bool RDDIAnalytics::validateLog(RDDILogWithNameAndProperties& log) {
    const std::string logType = log.type.value_or("");
    auto name = validateEventName(log.name, logType);
    if (!name) return false;
    log.name = name;
    if (log.properties) log.properties = RDDIUtility::validateProperties(*log.properties, *name, logType);
    return true;
}

std::optional<std::string> RDDIAnalytics::validateEventName(const std::optional<std::string>& name,
                                                            const std::string& logType) {
    if (!name || name->empty()) {
        RDDILogError(kRDDIAnalyticsLogTag, "{} name cannot be null or empty", logType);
        return std::nullopt;
    }
    // A stored log whose text holds a NUL can never be read back: refused here, where
    // the caller still hears why, rather than dropped unreported when it is sent.
    if (RDDIHoldsNul(*name)) {
        RDDILogError(kRDDIAnalyticsLogTag, "{} name cannot contain a NUL character", logType);
        return std::nullopt;
    }
    if (RDDIExceedsUTF16Length(*name, kMaxEventNameLength)) {
        RDDILogWarning(kRDDIAnalyticsLogTag,
                       "{} '{}' : name length cannot be longer than {} characters. Name will be truncated.", logType,
                       RDDIQuoted(*name), kMaxEventNameLength);
        return RDDITruncateToUTF16Length(*name, kMaxEventNameLength);
    }
    return name;
}

std::shared_ptr<RDDIEventProperties> RDDIAnalytics::validateDezIdedevEventProperties(
    const RDDIEventProperties& properties) {
    auto validated = std::make_shared<RDDIEventProperties>();
    for (const auto& [key, property] : properties.properties()) {
        if (validated->count() >= kMaxTypedProperties) {
            RDDILogWarning(kRDDIAnalyticsLogTag,
                           "Typed properties cannot contain more than {} items. Skipping other properties.",
                           kMaxTypedProperties);
            break;
        }
        auto copy = property ? validateDezIdedevTypedProperty(*property) : nullptr;
        if (!copy) continue;
        // A property made without a name is kept under its key rather than lost.
        if (!copy->name) copy->name = validateDezIdedevPropertyName(key);
        validated->setProperty(*copy->name, copy);
    }
    return validated;
}

std::shared_ptr<RDDITypedProperty> RDDIAnalytics::validateDezIdedevTypedProperty(const RDDITypedProperty& property) {
    auto copy = property.copy();
    if (copy->name) copy->name = validateDezIdedevPropertyName(*copy->name);
    if (auto* string = dynamic_cast<RDDIStringTypedProperty*>(copy.get()); string && string->value) {
        string->value = validateDezIdedevStringTypedPropertyValue(*string->value);
    }
    return copy;
}

std::string RDDIAnalytics::validateDezIdedevPropertyName(const std::string& name) {
    if (!RDDIExceedsUTF16Length(name, kMaxPropertyKeyLength)) return name;
    RDDILogWarning(kRDDIAnalyticsLogTag,
                   "Typed property '{}': key length cannot exceed {} characters. Property value will be truncated.",
                   RDDIQuoted(name), kMaxPropertyKeyLength);
    return RDDITruncateToUTF16Length(name, kMaxPropertyKeyLength);
}

std::string RDDIAnalytics::validateDezIdedevStringTypedPropertyValue(const std::string& value) {
    if (!RDDIExceedsUTF16Length(value, kMaxPropertyValueLength)) return value;
    RDDILogWarning(kRDDIAnalyticsLogTag,
                   "Typed property value length cannot exceed {} characters. Property value will be truncated.",
                   kMaxPropertyValueLength);
    return RDDITruncateToUTF16Length(value, kMaxPropertyValueLength);
}

}  // namespace rddi
