#include "telemetry/support/in_memory_channel_group.hpp"

#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_device_tracker.hpp"

#include <algorithm>

namespace rddi::testkit {

namespace {

void removeObject(std::vector<std::weak_ptr<const void>>& objects, const std::shared_ptr<const void>& object) {
    std::erase_if(objects, [&](const auto& weak) {
        auto strong = weak.lock();
        return !strong || strong == object;
    });
}

bool anyAlive(const std::vector<std::weak_ptr<const void>>& objects) {
    return std::any_of(objects.begin(), objects.end(), [](const auto& weak) { return !weak.expired(); });
}

}  // namespace

// --- Unit ----------------------------------------------------------------------------

void InMemoryChannelUnit::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
    enabledCalls_.emplace_back(enabled, deleteDataOnDisabled);
}

void InMemoryChannelUnit::pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    std::lock_guard lock(mutex_);
    pausedBy_.push_back(object);
}

void InMemoryChannelUnit::resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    std::lock_guard lock(mutex_);
    removeObject(pausedBy_, object);
}

void InMemoryChannelUnit::enqueueItem(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) {
    auto group = group_.lock();
    if (!group || !log) return;
    // Stamped as the pipeline's channel unit stamps every log it accepts.
    if (!log->timestamp) log->timestamp = platform::foundation::Date::now();
    if (!log->device) log->device = RDDIDeviceTracker::sharedInstance()->device();
    const auto delegates = group->delegates();
    std::optional<std::string> internalId;
    if (log->isValid()) {
        internalId = platform::foundation::UUID().uuidString();
        for (const auto& delegate : delegates) delegate->channelPrepareLog(*this, *log);
        for (const auto& delegate : delegates) delegate->channelDidPrepareLog(*this, *log, *internalId, flags);
    }
    bool filtered = false;
    for (const auto& delegate : delegates) {
        if (delegate->channelUnitShouldFilterLog(*this, *log)) {
            filtered = true;
            break;
        }
    }
    group->record({configuration()->groupId(), log, flags, filtered});
    if (internalId) group->completeEnqueueing(shared_from_this(), std::move(log), *internalId);
}

bool InMemoryChannelUnit::isEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

std::vector<std::pair<bool, bool>> InMemoryChannelUnit::enabledCalls() const {
    std::lock_guard lock(mutex_);
    return enabledCalls_;
}

bool InMemoryChannelUnit::isPaused() const {
    std::lock_guard lock(mutex_);
    return anyAlive(pausedBy_);
}

// --- Group ---------------------------------------------------------------------------

void InMemoryChannelGroup::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    std::lock_guard lock(mutex_);
    enabledCalls_.emplace_back(enabled, deleteDataOnDisabled);
}

void InMemoryChannelGroup::addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegates_.push_back(delegate);
}

void InMemoryChannelGroup::removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    std::erase_if(delegates_, [&](const auto& weak) {
        auto strong = weak.lock();
        return !strong || strong == delegate;
    });
}

void InMemoryChannelGroup::pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    std::lock_guard lock(mutex_);
    pausedBy_.push_back(object);
}

void InMemoryChannelGroup::resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) {
    std::lock_guard lock(mutex_);
    removeObject(pausedBy_, object);
}

std::shared_ptr<RDDIChannelUnitProtocol> InMemoryChannelGroup::addChannelUnitWithConfiguration(
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) {
    return addChannelUnitWithConfiguration(std::move(configuration), nullptr);
}

std::shared_ptr<RDDIChannelUnitProtocol> InMemoryChannelGroup::addChannelUnitWithConfiguration(
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration, std::shared_ptr<RDDIIngestionProtocol>) {
    if (!configuration) return nullptr;
    auto unit = std::make_shared<InMemoryChannelUnit>(std::move(configuration), weak_from_this());
    std::lock_guard lock(mutex_);
    units_.push_back(unit);
    return unit;
}

void InMemoryChannelGroup::setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) {
    {
        std::lock_guard lock(mutex_);
        maxStorageSize_ = sizeInBytes;
    }
    if (completionHandler) completionHandler(true);
}

std::shared_ptr<RDDIChannelUnitProtocol> InMemoryChannelGroup::channelUnitForGroupId(const std::string& groupId) const {
    return unit(groupId);
}

std::string InMemoryChannelGroup::logUrl() const {
    std::lock_guard lock(mutex_);
    return logUrl_;
}

void InMemoryChannelGroup::setLogUrl(const std::string& logUrl) {
    std::lock_guard lock(mutex_);
    logUrl_ = logUrl;
}

std::optional<std::string> InMemoryChannelGroup::appSecret() const {
    std::lock_guard lock(mutex_);
    return appSecret_;
}

void InMemoryChannelGroup::setAppSecret(const std::optional<std::string>& appSecret) {
    std::lock_guard lock(mutex_);
    appSecret_ = appSecret;
}

std::vector<EnqueuedLog> InMemoryChannelGroup::logs() const {
    std::lock_guard lock(mutex_);
    return logs_;
}

std::vector<EnqueuedLog> InMemoryChannelGroup::storedLogs(const std::string& groupId) const {
    std::vector<EnqueuedLog> stored;
    for (auto& entry : logs()) {
        if (entry.groupId == groupId && !entry.filtered) stored.push_back(entry);
    }
    return stored;
}

std::vector<std::string> InMemoryChannelGroup::unitGroupIds() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& unit : units_) ids.push_back(unit->configuration()->groupId());
    return ids;
}

std::shared_ptr<InMemoryChannelUnit> InMemoryChannelGroup::unit(const std::string& groupId) const {
    std::lock_guard lock(mutex_);
    for (const auto& unit : units_) {
        if (unit->configuration()->groupId() == groupId) return unit;
    }
    return nullptr;
}

std::vector<std::pair<bool, bool>> InMemoryChannelGroup::enabledCalls() const {
    std::lock_guard lock(mutex_);
    return enabledCalls_;
}

bool InMemoryChannelGroup::isPaused() const {
    std::lock_guard lock(mutex_);
    return anyAlive(pausedBy_);
}

std::vector<std::shared_ptr<RDDIChannelDelegate>> InMemoryChannelGroup::delegates() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<RDDIChannelDelegate>> alive;
    for (const auto& weak : delegates_) {
        if (auto strong = weak.lock()) alive.push_back(std::move(strong));
    }
    return alive;
}

std::optional<long> InMemoryChannelGroup::maxStorageSize() const {
    std::lock_guard lock(mutex_);
    return maxStorageSize_;
}

void InMemoryChannelGroup::record(EnqueuedLog entry) {
    std::lock_guard lock(mutex_);
    logs_.push_back(std::move(entry));
}

void InMemoryChannelGroup::setHoldsCompletions(bool hold) {
    std::vector<HeldCompletion> release;
    {
        std::lock_guard lock(mutex_);
        holdsCompletions_ = hold;
        if (!hold) release.swap(held_);
    }
    for (auto& entry : release) {
        for (const auto& delegate : delegates())
            delegate->channelDidCompleteEnqueueingLog(*entry.unit, *entry.log, entry.internalId);
    }
}

std::size_t InMemoryChannelGroup::heldCompletionCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

void InMemoryChannelGroup::completeEnqueueing(const std::shared_ptr<InMemoryChannelUnit>& unit,
                                              std::shared_ptr<RDDIAbstractLog> log, const std::string& internalId) {
    {
        std::lock_guard lock(mutex_);
        if (holdsCompletions_) {
            held_.push_back({unit, std::move(log), internalId});
            return;
        }
    }
    for (const auto& delegate : delegates()) delegate->channelDidCompleteEnqueueingLog(*unit, *log, internalId);
}

}  // namespace rddi::testkit
