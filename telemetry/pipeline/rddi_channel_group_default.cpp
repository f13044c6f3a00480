#include "telemetry/pipeline/rddi_channel_group_default.hpp"

#include "platform/foundation/notification_center.hpp"
#include "platform/network/reachability.hpp"
#include "telemetry/pipeline/rddi_channel_unit_default.hpp"
#include "telemetry/pipeline/rddi_log_db_storage.hpp"

namespace rddi {

std::shared_ptr<RDDIChannelGroupDefault> RDDIChannelGroupDefault::create(
    std::shared_ptr<RDDIHttpClientProtocol> httpClient, const platform::foundation::UUID& installId,
    const std::string& logUrl) {
    return create(RDDIDezIdedevIngestion::create(std::move(httpClient), logUrl, installId.uuidString()));
}

std::shared_ptr<RDDIChannelGroupDefault> RDDIChannelGroupDefault::create(std::shared_ptr<RDDIDezIdedevIngestion> ingestion,
                                                                         std::shared_ptr<RDDIStorage> storage) {
    if (!storage) storage = std::make_shared<RDDILogDBStorage>();
    auto group = std::make_shared<RDDIChannelGroupDefault>(std::move(ingestion), std::move(storage));
    // Whatever the network watcher reports, the units look at what they hold: logs that
    // waited while it was down leave as soon as it is back, not with the next stored log.
    std::weak_ptr<RDDIChannelGroupDefault> weak = group;
    group->networkObservation_ = platform::foundation::NotificationCenter::defaultCenter().addObserver(
        std::string(platform::network::kReachabilityChangedNotification), nullptr,
        [weak](const platform::foundation::Notification&) {
            if (auto self = weak.lock()) self->checkStoredLogs();
        });
    return group;
}

RDDIChannelGroupDefault::~RDDIChannelGroupDefault() {
    if (networkObservation_) platform::foundation::NotificationCenter::defaultCenter().removeObserver(networkObservation_);
}

void RDDIChannelGroupDefault::checkStoredLogs() {
    for (const auto& channel : channels()) {
        if (auto unit = std::dynamic_pointer_cast<RDDIChannelUnitDefault>(channel)) {
            logsDispatchQueue_.async([unit] { unit->checkStoredLogs(); });
        }
    }
}

RDDIChannelGroupDefault::RDDIChannelGroupDefault(std::shared_ptr<RDDIDezIdedevIngestion> ingestion,
                                                 std::shared_ptr<RDDIStorage> storage)
    : ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      logsDispatchQueue_(kLogsDispatchQueueLabel) {
    RDDIChannelUnitDefault::quiesceQueueAtExit(logsDispatchQueue_);
}

// --- units -----------------------------------------------------------------------

std::shared_ptr<RDDIChannelUnitProtocol> RDDIChannelGroupDefault::addChannelUnitWithConfiguration(
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) {
    return addChannelUnitWithConfiguration(std::move(configuration), nullptr);
}

std::shared_ptr<RDDIChannelUnitProtocol> RDDIChannelGroupDefault::addChannelUnitWithConfiguration(
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration, std::shared_ptr<RDDIIngestionProtocol> ingestion) {
    if (!configuration) return nullptr;
    if (!ingestion) ingestion = ingestion_;
    auto unit = std::make_shared<RDDIChannelUnitDefault>(std::move(ingestion), storage_, std::move(configuration),
                                                         logsDispatchQueue_);
    unit->addDelegate(shared_from_this());
    // Logs an earlier process left of this group id go now, not with the unit's first new log.
    logsDispatchQueue_.async([unit] { unit->checkStoredLogs(); });
    {
        std::lock_guard lock(channelsMutex_);
        channels_.push_back(unit);
    }
    // Outside every lock: a delegate may add a unit of its own from here.
    for (const auto& delegate : delegatesSnapshot()) delegate->channelGroupDidAddChannelUnit(*this, unit);
    return unit;
}

std::shared_ptr<RDDIChannelUnitProtocol> RDDIChannelGroupDefault::channelUnitForGroupId(const std::string& groupId) const {
    std::lock_guard lock(channelsMutex_);
    for (const auto& unit : channels_)
        if (unit->configuration()->groupId() == groupId) return unit;
    return nullptr;
}

std::vector<std::shared_ptr<RDDIChannelUnitProtocol>> RDDIChannelGroupDefault::channels() const {
    std::lock_guard lock(channelsMutex_);
    return channels_;
}

void RDDIChannelGroupDefault::setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    logsDispatchQueue_.async([storage = storage_, sizeInBytes, completionHandler = std::move(completionHandler)] {
        storage->setMaxStorageSize(sizeInBytes, completionHandler);
    });
}

std::string RDDIChannelGroupDefault::logUrl() const { return ingestion_ ? ingestion_->baseURL() : std::string(); }

void RDDIChannelGroupDefault::setLogUrl(const std::string& logUrl) {
    if (ingestion_) ingestion_->setBaseURL(logUrl);
}

std::optional<std::string> RDDIChannelGroupDefault::appSecret() const {
    return ingestion_ ? ingestion_->appSecret() : std::nullopt;
}

void RDDIChannelGroupDefault::setAppSecret(const std::optional<std::string>& appSecret) {
    if (ingestion_) ingestion_->setAppSecret(appSecret);
}

// --- switching -------------------------------------------------------------------

void RDDIChannelGroupDefault::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    if (ingestion_) ingestion_->setEnabled(enabled, deleteDataOnDisabled);
    for (const auto& unit : channels()) unit->setEnabled(enabled, deleteDataOnDisabled);
    for (const auto& delegate : delegatesSnapshot()) delegate->channelDidSetEnabled(*this, enabled, deleteDataOnDisabled);
}

void RDDIChannelGroupDefault::pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    if (ingestion_) ingestion_->setEnabled(false, false);
    for (const auto& unit : channels()) unit->pauseWithIdentifyingObject(object);
}

void RDDIChannelGroupDefault::resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    if (ingestion_) ingestion_->setEnabled(true, false);
    for (const auto& unit : channels()) unit->resumeWithIdentifyingObject(object);
}

// --- delegates -------------------------------------------------------------------

void RDDIChannelGroupDefault::addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    delegates_.add(delegate);
}

void RDDIChannelGroupDefault::removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    delegates_.remove(delegate);
}

std::vector<std::shared_ptr<RDDIChannelDelegate>> RDDIChannelGroupDefault::delegatesSnapshot() const {
    return delegates_.snapshot();
}

void RDDIChannelGroupDefault::enumerateDelegates(const std::function<void(RDDIChannelDelegate&)>& block) const {
    for (const auto& delegate : delegatesSnapshot()) block(*delegate);
}

void RDDIChannelGroupDefault::channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelPrepareLog(channel, log); });
}

void RDDIChannelGroupDefault::channelDidPrepareLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                                   const std::string& internalId, RDDIFlags flags) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidPrepareLog(channel, log, internalId, flags); });
}

void RDDIChannelGroupDefault::channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol& channel,
                                                              const RDDIAbstractLog& log, const std::string& internalId) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidCompleteEnqueueingLog(channel, log, internalId); });
}

void RDDIChannelGroupDefault::channelWillSendLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelWillSendLog(channel, log); });
}

void RDDIChannelGroupDefault::channelDidSucceedSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidSucceedSendingLog(channel, log); });
}

void RDDIChannelGroupDefault::channelDidFailSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                                       const std::string& error) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidFailSendingLog(channel, log, error); });
}

void RDDIChannelGroupDefault::channelDidSetEnabled(RDDIChannelProtocol& channel, bool enabled, bool deleteData) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidSetEnabled(channel, enabled, deleteData); });
}

void RDDIChannelGroupDefault::channelDidPauseWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidPauseWithIdentifyingObject(channel, object); });
}

void RDDIChannelGroupDefault::channelDidResumeWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) {
    enumerateDelegates([&](RDDIChannelDelegate& d) { d.channelDidResumeWithIdentifyingObject(channel, object); });
}

bool RDDIChannelGroupDefault::channelUnitShouldFilterLog(RDDIChannelUnitProtocol& unit, RDDIAbstractLog& log) {
    for (const auto& delegate : delegatesSnapshot())
        if (delegate->channelUnitShouldFilterLog(unit, log)) return true;
    return false;
}

}  // namespace rddi
