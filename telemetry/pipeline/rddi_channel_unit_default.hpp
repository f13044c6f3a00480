#pragma once
// A channel unit: stores the logs of one group id in the shared log store and sends
// them in batches through its ingestion, when its flush timer fires or at once when a
// batch is full. All state but the delegate set, the configuration and the logs
// waiting to be stored lives on the group's serial logs queue.
//
// Enqueued logs wait in a list of the unit's and are stored a few hundred at a time in
// one transaction, by one block on the logs queue that gives way to the answers of sent
// batches: a burst is stored at the pace of the disk's transactions, not its commits,
// and batches keep leaving while it is stored. Operations that callers order against
// their enqueues (pausing, switching, deleting) first store the logs enqueued before
// them, so they take effect exactly between the same logs as if each log were a block
// of its own.
//
// Logs stored by an earlier process, by another process, or left behind because a
// save failed are sent when the unit is made, when it resumes, when the network
// comes back, and after a save fails, not only after a new log is stored.
//
// While the store is held back by another process (it cannot be reached without the
// lock that process holds), the logs wait in the list and are tried again now and
// then; never more than kMaxHeldLogs of them: later ones, and those still waiting when
// the process exits, are reported to the delegates as failed.
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/dispatch/timer.hpp"
#include "platform/foundation/clock.hpp"
#include "platform/foundation/error.hpp"
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/pipeline/rddi_channel_delegate_list.hpp"
#include "telemetry/pipeline/rddi_storage.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
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
    // On the logs queue: counts the unit's stored logs and flushes them, or arms the
    // timer for them, as if they had just been stored.
    void checkStoredLogs();
    // Logs enqueued at most this many at a time go into one transaction.
    static constexpr std::size_t kLogsPerSave = 256;
    // Logs waiting for a store another process holds: at most this many, about 6 MB of
    // memory for logs of the usual size, or half of what the default store keeps.
    static constexpr std::size_t kMaxHeldLogs = 5000;
    // How soon a store that was held back is tried again.
    static constexpr std::chrono::milliseconds kHeldRetryInterval{250};

    // Snapshot of the live delegates, taken under the set's lock; call them outside it.
    std::vector<std::shared_ptr<RDDIChannelDelegate>> delegatesSnapshot() const;

    // "ChannelStartTimer:<group id>": where the start of a long flush period is kept.
    std::string oldestPendingLogTimestampKey() const;

    // Once the process exits, blocks on this queue no longer run the unit's work.
    static void quiesceQueueAtExit(const platform::dispatch::DispatchQueue& queue);

    // The error of logs dropped unsent: code 100.
    static platform::foundation::Error connectionPausedError();
    // The error of logs the store could not write (a full disk, a folder that cannot be written): code 101.
    static platform::foundation::Error storeCannotWriteError();

    // State read on the logs queue, for tests and the group, once the logs enqueued
    // before are stored.
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
    State stateSync();

private:
    struct QueuedLog {
        std::shared_ptr<RDDIAbstractLog> log;
        std::string internalId;
        RDDIFlags flags = 0;
        std::uint64_t serial = 0;
    };
    // The serial the next enqueued log will get: work queued now comes after every log
    // enqueued before.
    std::uint64_t nextSerial();
    // Runs `work` on the logs queue once the logs enqueued before this call are stored.
    void asyncAfterQueuedLogs(std::function<void(RDDIChannelUnitDefault&)> work);

    // At exit: what no block will store any more is stored now or reported as failed.
    static void quiesceAtExit();

    // All on the logs queue.
    // Stores the queued logs whose serial is below `before`, at most `most` of them; true
    // when the store held them back (they are queued again).
    bool storeQueuedLogs(std::uint64_t before, std::size_t most);
    void storeLogsBlock();
    // True when the store held the chunk's logs back: they are queued again, first.
    bool storeChunk(std::vector<QueuedLog>& chunk);
    // The store held logs back: tried again soon, and what waits beyond kMaxHeldLogs (all
    // of it once the process exits) reported as failed.
    void holdStoring();
    void failQueuedLogsBeyond(std::size_t kept);
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

    // Enqueued logs not yet stored, oldest first; a block on the queue stores them.
    std::mutex queuedMutex_;
    std::deque<QueuedLog> queuedLogs_;
    std::uint64_t nextSerial_ = 0;
    bool storingScheduled_ = false;
    // The store held logs back and has taken none since; more than kMaxHeldLogs waiting
    // have a block of their own to report them.
    std::atomic<bool> storeHeld_{false};
    bool sheddingScheduled_ = false;
    // Serials of the operations queued behind enqueued logs and not yet run: logs
    // enqueued after one of them are stored after it.
    std::multiset<std::uint64_t> barriers_;

    // Logs-queue state.
    std::vector<std::weak_ptr<const void>> pausedIdentifyingObjects_;
    std::set<std::string> pausedTargetKeys_;
    std::optional<platform::dispatch::DispatchTimer> timerSource_;
    std::optional<platform::dispatch::DispatchTimer> heldRetry_;
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
