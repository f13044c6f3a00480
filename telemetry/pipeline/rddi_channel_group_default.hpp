#pragma once
// The one object through which the SDK reaches its log pipeline: owns the serial logs
// queue, the shared log store, the Dez Idedev ingestion and the channel units; relays
// what every unit tells it to its own delegates.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/uuid.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/pipeline/rddi_channel_delegate_list.hpp"
#include "telemetry/pipeline/rddi_http_ingestion.hpp"
#include "telemetry/pipeline/rddi_storage.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rddi {

class RDDIHttpClientProtocol;

class RDDIChannelGroupDefault final : public RDDIChannelGroupProtocol,
                                      public RDDIChannelDelegate,
                                      public std::enable_shared_from_this<RDDIChannelGroupDefault> {
public:
    static constexpr const char* kLogsDispatchQueueLabel = "com.ridevedod.dezidedev.ChannelGroupQueue";

    // Makes the Dez Idedev ingestion on the client for the log URL and install id.
    static std::shared_ptr<RDDIChannelGroupDefault> create(std::shared_ptr<RDDIHttpClientProtocol> httpClient,
                                                           const platform::foundation::UUID& installId,
                                                           const std::string& logUrl);
    // Opens (or creates) the log store at once; the ingestion may be none.
    static std::shared_ptr<RDDIChannelGroupDefault> create(std::shared_ptr<RDDIDezIdedevIngestion> ingestion,
                                                           std::shared_ptr<RDDIStorage> storage = nullptr);

    // RDDIEnable / RDDIChannelProtocol
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) override;

    // RDDIChannelGroupProtocol
    std::shared_ptr<RDDIChannelUnitProtocol> addChannelUnitWithConfiguration(
        std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) override;
    std::shared_ptr<RDDIChannelUnitProtocol> addChannelUnitWithConfiguration(
        std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
        std::shared_ptr<RDDIIngestionProtocol> ingestion) override;
    void setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) override;
    std::shared_ptr<RDDIChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const override;
    std::string logUrl() const override;
    void setLogUrl(const std::string& logUrl) override;
    std::optional<std::string> appSecret() const override;
    void setAppSecret(const std::optional<std::string>& appSecret) override;

    // Relayed from the units, with the unit as channel.
    void channelPrepareLog(RDDIChannelUnitProtocol& channel, RDDIAbstractLog& log) override;
    void channelDidPrepareLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                              const std::string& internalId, RDDIFlags flags) override;
    void channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                         const std::string& internalId) override;
    void channelWillSendLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidSucceedSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log) override;
    void channelDidFailSendingLog(RDDIChannelUnitProtocol& channel, const RDDIAbstractLog& log,
                                  const std::string& error) override;
    void channelDidSetEnabled(RDDIChannelProtocol& channel, bool enabled, bool deleteData) override;
    void channelDidPauseWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) override;
    void channelDidResumeWithIdentifyingObject(RDDIChannelProtocol& channel, const std::shared_ptr<const void>& object) override;
    bool channelUnitShouldFilterLog(RDDIChannelUnitProtocol& unit, RDDIAbstractLog& log) override;

    const platform::dispatch::DispatchQueue& logsDispatchQueue() const { return logsDispatchQueue_; }
    const std::shared_ptr<RDDIStorage>& storage() const { return storage_; }
    const std::shared_ptr<RDDIDezIdedevIngestion>& ingestion() const { return ingestion_; }
    std::vector<std::shared_ptr<RDDIChannelUnitProtocol>> channels() const;

    RDDIChannelGroupDefault(std::shared_ptr<RDDIDezIdedevIngestion> ingestion, std::shared_ptr<RDDIStorage> storage);
    ~RDDIChannelGroupDefault() override;

    // Queues on every unit a look at its stored logs (they are sent if there are any).
    void checkStoredLogs();

private:
    std::vector<std::shared_ptr<RDDIChannelDelegate>> delegatesSnapshot() const;
    void enumerateDelegates(const std::function<void(RDDIChannelDelegate&)>& block) const;

    const std::shared_ptr<RDDIDezIdedevIngestion> ingestion_;
    const std::shared_ptr<RDDIStorage> storage_;
    const platform::dispatch::DispatchQueue logsDispatchQueue_;

    RDDIChannelDelegateList delegates_;

    // Read from any thread (channelUnitForGroupId) while services add units.
    mutable std::mutex channelsMutex_;
    std::vector<std::shared_ptr<RDDIChannelUnitProtocol>> channels_;
    std::uint64_t networkObservation_ = 0;
};

}  // namespace rddi
