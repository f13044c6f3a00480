#include "telemetry/pipeline/rddi_vud_ezezevuvo_channel_delegate.hpp"

#include "telemetry/core/rddi_dez_idedev.hpp"
#include "telemetry/core/rddi_logger.hpp"
#include "telemetry/core/rddi_utility.hpp"
#include "telemetry/pipeline/rddi_vud_ezezevuvo_ingestion.hpp"

#include <fmt/format.h>

namespace rddi {

namespace {
constexpr const char* kNamePattern = "^[a-zA-Z0-9]((\\.(?!(\\.|$)))|[_a-zA-Z0-9]){3,99}$";
constexpr std::size_t kMinNameLength = 4;
constexpr std::size_t kMaxNameLength = 100;

// kNamePattern, checked by hand and its length first: 4 to 100 of letters, digits, "_"
// and ".", beginning with a letter or digit, with no "." beside another or at the end.
bool matchesNamePattern(std::string_view name) {
    if (name.size() < kMinNameLength || name.size() > kMaxNameLength) return false;
    const auto alphanumeric = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alphanumeric(name.front()) || name.back() == '.') return false;
    for (std::size_t i = 1; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '.' ? name[i - 1] == '.' : !(alphanumeric(c) || c == '_')) return false;
    }
    return true;
}
constexpr const char* kValidationFailed = "Log validation failed.";

std::string groupIdOf(RDDIChannelUnitProtocol& unit) {
    auto configuration = unit.configuration();
    return configuration ? configuration->groupId() : std::string();
}
}  // namespace

RDDIVudEzezevuvoChannelDelegate::RDDIVudEzezevuvoChannelDelegate(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                                 const platform::foundation::UUID& installId,
                                                                 const std::optional<std::string>& baseUrl)
    : baseUrl_(baseUrl.value_or(kDefaultBaseUrl)), installId_(installId) {
    ingestion_ = RDDIVudEzezevuvoIngestion::create(std::move(httpClient), baseUrl_);
}

void RDDIVudEzezevuvoChannelDelegate::setLogUrl(const std::string& logUrl) { ingestion_->setBaseURL(logUrl); }

bool RDDIVudEzezevuvoChannelDelegate::isVudEzezevuvoGroup(const std::string& groupId) {
    return groupId.ends_with(kCompanionSuffix);
}

bool RDDIVudEzezevuvoChannelDelegate::shouldSendLogToVudEzezevuvo(const RDDIAbstractLog& log) {
    return !log.transmissionTargetTokens().empty() && dynamic_cast<const RDDICommonSchemaLog*>(&log) == nullptr;
}

bool RDDIVudEzezevuvoChannelDelegate::validateLog(const RDDICommonSchemaLog& log) { return validateLogName(log.name); }

bool RDDIVudEzezevuvoChannelDelegate::validateLogName(const std::optional<std::string>& name) {
    const std::string tag = RDDIDezIdedev::logTag();
    if (!name || name->empty()) {
        RDDILogError(tag, "{} Name must not be nil or empty.", kValidationFailed);
        return false;
    }
    if (!matchesNamePattern(*name)) {
        RDDILogError(tag, "{} Name must match '{}' but was '{}'", kValidationFailed, kNamePattern, RDDIQuoted(*name));
        return false;
    }
    return true;
}

std::shared_ptr<RDDIChannelUnitProtocol> RDDIVudEzezevuvoChannelDelegate::companionForGroupId(
    const std::string& groupId) const {
    std::lock_guard lock(channelsMutex_);
    auto it = vudEzezevuvoChannels_.find(groupId);
    return it == vudEzezevuvoChannels_.end() ? nullptr : it->second;
}

void RDDIVudEzezevuvoChannelDelegate::channelGroupDidAddChannelUnit(
    RDDIChannelGroupProtocol& group, const std::shared_ptr<RDDIChannelUnitProtocol>& unit) {
    const std::string groupId = groupIdOf(*unit);
    if (isVudEzezevuvoGroup(groupId)) return;
    auto configuration = RDDIChannelUnitConfiguration::defaultConfiguration(groupId + kCompanionSuffix,
                                                                            unit->configuration()->flushInterval());
    // Not under our lock: adding notifies every group delegate again, us included.
    auto companion = group.addChannelUnitWithConfiguration(configuration, ingestion_);
    std::lock_guard lock(channelsMutex_);
    vudEzezevuvoChannels_[groupId] = std::move(companion);
}

void RDDIVudEzezevuvoChannelDelegate::channelPrepareLog(RDDIChannelUnitProtocol&, RDDIAbstractLog& log) {
    auto* csLog = dynamic_cast<RDDICommonSchemaLog*>(&log);
    if (!csLog) return;
    const std::string iKey = csLog->iKey.value_or("");
    std::string epoch;
    std::uint64_t seq = 0;
    {
        std::lock_guard lock(epochsMutex_);
        auto it = epochsAndSeqsByIKey_.find(iKey);
        if (it == epochsAndSeqsByIKey_.end())
            it = epochsAndSeqsByIKey_.emplace(iKey, RDDICSEpochAndSeq(platform::foundation::UUID().uuidString())).first;
        seq = ++it->second.seq;
        epoch = it->second.epoch;
    }
    if (!csLog->ext) csLog->ext = std::make_shared<RDDICSExtensions>();
    if (!csLog->ext->sdkExt) csLog->ext->sdkExt = std::make_shared<RDDISDKExtension>();
    csLog->ext->sdkExt->epoch = epoch;
    csLog->ext->sdkExt->seq = static_cast<std::int64_t>(seq);
    csLog->ext->sdkExt->installId = installId_;
}

void RDDIVudEzezevuvoChannelDelegate::channelDidPrepareLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                                           const std::string&, RDDIFlags flags) {
    const std::string groupId = groupIdOf(channel);
    const auto* csLog = dynamic_cast<const RDDICommonSchemaLog*>(&log);
    if (csLog && !isVudEzezevuvoGroup(groupId)) {
        if (auto companion = companionForGroupId(groupId)) {
            // The unit's log object goes on; a copy keeps the two units from sharing one.
            companion->enqueueItem(std::make_shared<RDDICommonSchemaLog>(*csLog), flags);
        }
        return;
    }
    if (shouldSendLogToVudEzezevuvo(log)) {
        if (auto companion = companionForGroupId(groupId)) {
            for (auto& converted : log.toCommonSchemaLogsWithFlags(flags)) companion->enqueueItem(converted, flags);
        }
    }
}

bool RDDIVudEzezevuvoChannelDelegate::channelUnitShouldFilterLog(RDDIChannelUnitProtocol& unit, RDDIAbstractLog& log) {
    if (const auto* csLog = dynamic_cast<const RDDICommonSchemaLog*>(&log)) {
        if (isVudEzezevuvoGroup(groupIdOf(unit))) return !validateLog(*csLog);
        return true;
    }
    return !log.transmissionTargetTokens().empty();
}

void RDDIVudEzezevuvoChannelDelegate::channelDidSetEnabled(RDDIChannelProtocol& channel, bool enabled, bool deleteData) {
    if (auto* unit = dynamic_cast<RDDIChannelUnitProtocol*>(&channel)) {
        const std::string groupId = groupIdOf(*unit);
        if (isVudEzezevuvoGroup(groupId)) return;
        if (auto companion = companionForGroupId(groupId)) companion->setEnabled(enabled, deleteData);
    } else if (dynamic_cast<RDDIChannelGroupProtocol*>(&channel) && !enabled && deleteData) {
        std::lock_guard lock(epochsMutex_);
        epochsAndSeqsByIKey_.clear();
    }
}

void RDDIVudEzezevuvoChannelDelegate::channelDidPauseWithIdentifyingObject(RDDIChannelProtocol& channel,
                                                                           const std::shared_ptr<const void>& object) {
    auto* unit = dynamic_cast<RDDIChannelUnitProtocol*>(&channel);
    if (!unit || !object) return;
    if (auto companion = companionForGroupId(groupIdOf(*unit))) companion->pauseWithIdentifyingObject(object);
}

void RDDIVudEzezevuvoChannelDelegate::channelDidResumeWithIdentifyingObject(RDDIChannelProtocol& channel,
                                                                            const std::shared_ptr<const void>& object) {
    auto* unit = dynamic_cast<RDDIChannelUnitProtocol*>(&channel);
    if (!unit) return;
    if (auto companion = companionForGroupId(groupIdOf(*unit))) companion->resumeWithIdentifyingObject(object);
}

}  // namespace rddi
