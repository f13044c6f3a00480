#pragma once
// A channel unit: stores the logs of one group id in the shared log store and sends
// them in batches through its ingestion, when its flush timer fires or at once when a
// batch is full. All state but the delegate set and the configuration lives on the
// group's serial logs queue.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/pipeline/rddi_channel_delegate_list.hpp"
#include "telemetry/pipeline/rddi_storage.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rddi {

class RDDIChannelUnitDefault final : public RDDIChannelUnitProtocol,
                                     public std::enable_shared_from_this<RDDIChannelUnitDefault> {
public:
    RDDIChannelUnitDefault(std::shared_ptr<RDDIIngestionProtocol> ingestion, std::shared_ptr<RDDIStorage> storage,
                           std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
                           platform::dispatch::DispatchQueue logsDispatchQueue);
    ~RDDIChannelUnitDefault() override;

    // RDDIEnable / RDDIChannelProtocol
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) override;

    // RDDIChannelUnitProtocol
    void enqueueItem(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) override;
    void pauseSendingLogsWithToken(const std::string& token) override;
    void resumeSendingLogsWithToken(const std::string& token) override;
    // On the logs queue.
    void checkPendingLogs() override;
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration() const override;
    void setConfiguration(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) override;
    const platform::dispatch::DispatchQueue& logsDispatchQueue() const { return logsDispatchQueue_; }

    // Queued: drops every stored log of the unit and reports each as failed.
    void deleteAllLogsWithError(const platform::foundation::Error& error);

    // Snapshot of the live delegates, taken under the set's lock; call them outside it.
    std::vector<std::shared_ptr<RDDIChannelDelegate>> delegatesSnapshot() const;

    // "ChannelStartTimer:<group id>": where the start of a long flush period is kept.
    std::string oldestPendingLogTimestampKey() const;

    // Once the process exits, blocks on this queue no longer run the unit's work.
    static void quiesceQueueAtExit(const platform::dispatch::DispatchQueue& queue);

    // The error of logs dropped unsent: code 100.
    static platform::foundation::Error connectionPausedError();

    // State read on the logs queue, for tests and the group.
    struct State {
        std::uint64_t itemsCount = 0;
        std::vector<std::string> pendingBatchIds;
        bool availableBatchFromStorage = false;
        bool pendingBatchQueueFull = false;
        bool enabled = true;
        bool paused = false;
        bool discardLogs = false;
        bool timerArmed = false;
    };
    State stateSync() const;

private:
    // All on the logs queue.
    void enqueueOnQueue(const std::shared_ptr<RDDIAbstractLog>& log, const std::string& internalId, RDDIFlags flags);
    void flushQueue();
    void sendLogContainer(const std::shared_ptr<RDDILogContainer>& container);
    void handleSendCompletion(const std::string& batchId, const std::optional<platform::network::HTTPURLResponse>& response,
                              const std::shared_ptr<RDDILogContainer>& container,
                              const std::optional<platform::foundation::Error>& error);
    std::uint64_t resolveFlushInterval();
    void startTimer(std::uint64_t seconds);
    void resetTimer();
    void pauseWithIdentifyingObjectSync(const std::shared_ptr<const void>& object);
    void resumeWithIdentifyingObjectSync(const std::shared_ptr<const void>& object);
    void setEnabledSync(bool enabled, bool deleteData);
    void deleteAllLogsWithErrorSync(const platform::foundation::Error& error);
    void notifyFailureBeforeSendingForItem(const RDDIAbstractLog& log, const platform::foundation::Error& error);
    bool hasPauseLanes();
    std::string groupId() const { return configuration()->groupId(); }

    std::shared_ptr<RDDIIngestionProtocol> ingestion_;
    std::shared_ptr<RDDIStorage> storage_;
    platform::dispatch::DispatchQueue logsDispatchQueue_;

    mutable std::mutex configurationMutex_;
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration_;

    RDDIChannelDelegateList delegates_;

    // Logs-queue state.
    std::vector<std::weak_ptr<const void>> pausedIdentifyingObjects_;
    std::set<std::string> pausedTargetKeys_;
    std::optional<platform::dispatch::DispatchTimer> timerSource_;
    // The armed timer's clock and firing time, and when the flush is due (later when
    // logs were stored since the timer was armed).
    std::shared_ptr<platform::foundation::Clock> timerClock_;
    platform::foundation::Clock::Duration timerDeadline_{};
    platform::foundation::Clock::Duration flushDeadline_{};
    std::uint64_t itemsCount_ = 0;
    std::vector<std::string> pendingBatchIds_;
    bool availableBatchFromStorage_ = false;
    bool pendingBatchQueueFull_ = false;
    bool enabled_ = true;
    bool paused_ = false;
    bool discardLogs_ = false;
};

}  // namespace rddi
