#pragma once
// Routes logs meant for transmission targets to the Common Schema collector: every
// unit of the group gets a companion unit ("<group id>/one") that sends through the
// Common Schema ingestion; logs carrying target tokens stay out of their unit and go,
// converted, into its companion, stamped with epoch, sequence number and install id.
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/core/rddi_common_schema_log.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rddi {

class RDDIHttpClientProtocol;
class RDDIVudEzezevuvoIngestion;

class RDDIVudEzezevuvoChannelDelegate final : public RDDIChannelDelegate {
public:
    static constexpr const char* kDefaultBaseUrl = "https://one.dezidedev.ridevedod.com";
    static constexpr const char* kCompanionSuffix = "/one";

    // A none base URL means the default collector.
    RDDIVudEzezevuvoChannelDelegate(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                    const platform::foundation::UUID& installId,
                                    const std::optional<std::string>& baseUrl);

    // The ingestion's base URL; `baseUrl()` keeps the one given at creation.
    void setLogUrl(const std::string& logUrl);
    const std::string& baseUrl() const { return baseUrl_; }
    const std::shared_ptr<RDDIVudEzezevuvoIngestion>& vudEzezevuvoIngestion() const { return ingestion_; }

    static bool isVudEzezevuvoGroup(const std::string& groupId);
    static bool shouldSendLogToVudEzezevuvo(const RDDIAbstractLog& log);
    static bool validateLog(const RDDICommonSchemaLog& log);
    static bool validateLogName(const std::optional<std::string>& name);

    void channelGroupDidAddChannelUnit(RDDIChannelGroupProtocol& group,
                                       const std::shared_ptr<RDDIChannelUnitProtocol>& unit) override;
    void channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) override;
    void channelDidPrepareLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                              const std::string& internalId, RDDIFlags flags) override;
    bool channelUnitShouldFilterLog(RDDIChannelUnitProtocol& unit, RDDIAbstractLog& log) override;
    void channelDidSetEnabled(RDDIChannelProtocol& channel, bool enabled, bool deleteData) override;
    void channelDidPauseWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) override;
    void channelDidResumeWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) override;

    // The companion of a source unit, if any.
    std::shared_ptr<RDDIChannelUnitProtocol> companionForGroupId(const std::string& groupId) const;

private:
    std::shared_ptr<RDDIVudEzezevuvoIngestion> ingestion_;
    std::string baseUrl_;
    platform::foundation::UUID installId_;

    mutable std::mutex channelsMutex_;
    std::map<std::string, std::shared_ptr<RDDIChannelUnitProtocol>> vudEzezevuvoChannels_;

    // Several threads stamp at once: each key's sequence numbers stay unique and rise by one.
    std::mutex epochsMutex_;
    std::map<std::string, RDDICSEpochAndSeq> epochsAndSeqsByIKey_;
};

}  // namespace rddi
