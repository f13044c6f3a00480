#pragma once
// An observable in-memory channel group for tests. It stands in for the log pipeline's
// channel group (which persists and sends logs) and records instead what is handed to
// it: the units made, every enqueued log with its flags, switches and pauses.
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rddi::testkit {

struct EnqueuedLog {
    std::string groupId;
    std::shared_ptr<RDDIAbstractLog> log;
    RDDIFlags flags = 0;
    // A delegate asked for the log not to be stored.
    bool filtered = false;
};

class InMemoryChannelGroup;

class InMemoryChannelUnit final : public RDDIChannelUnitProtocol,
                                  public std::enable_shared_from_this<InMemoryChannelUnit> {
public:
    InMemoryChannelUnit(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
                        std::weak_ptr<InMemoryChannelGroup> group)
        : configuration_(std::move(configuration)), group_(std::move(group)) {}

    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<RDDIChannelDelegate>&) override {}
    void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>&) override {}
    void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    // Stamps the time like the real unit; for a valid log tells the group's delegates
    // channelPrepareLog and channelDidPrepareLog with a fresh internal id, as the real unit
    // does on the enqueuing thread. Then asks them whether to filter, records the log with
    // its flags and tells them channelDidCompleteEnqueueingLog (held back while the
    // group's holdCompletions switch is on).
    void enqueueItem(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) override;
    void pauseSendingLogsWithToken(const std::string&) override {}
    void resumeSendingLogsWithToken(const std::string&) override {}
    void checkPendingLogs() override {}
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration() const override { return configuration_; }
    void setConfiguration(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) override {
        configuration_ = std::move(configuration);
    }

    bool isEnabled() const;
    // (enabled, deleteData) of every setEnabled call, in order.
    std::vector<std::pair<bool, bool>> enabledCalls() const;
    bool isPaused() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const RDDIChannelUnitConfiguration> configuration_;
    std::weak_ptr<InMemoryChannelGroup> group_;
    bool enabled_ = true;
    std::vector<std::pair<bool, bool>> enabledCalls_;
    std::vector<std::weak_ptr<const void>> pausedBy_;
};

class InMemoryChannelGroup final : public RDDIChannelGroupProtocol,
                                   public std::enable_shared_from_this<InMemoryChannelGroup> {
public:
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) override;
    void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
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

    // What was recorded.
    std::vector<EnqueuedLog> logs() const;
    // Logs of one unit that no delegate filtered.
    std::vector<EnqueuedLog> storedLogs(const std::string& groupId) const;
    std::vector<std::string> unitGroupIds() const;
    std::shared_ptr<InMemoryChannelUnit> unit(const std::string& groupId) const;
    std::vector<std::pair<bool, bool>> enabledCalls() const;
    bool isPaused() const;
    std::vector<std::shared_ptr<RDDIChannelDelegate>> delegates() const;
    std::optional<long> maxStorageSize() const;

    void record(EnqueuedLog entry);

    // While on, channelDidCompleteEnqueueingLog is not sent: the logs stay "in flight",
    // as they are between a unit accepting them and storing them. Switching it off sends
    // the held ones in order.
    void setHoldsCompletions(bool hold);
    std::size_t heldCompletionCount() const;
    // Sends the completion now, or holds it; the unit calls this.
    void completeEnqueueing(const std::shared_ptr<InMemoryChannelUnit>& unit, std::shared_ptr<RDDIAbstractLog> log,
                            const std::string& internalId);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<InMemoryChannelUnit>> units_;
    std::vector<EnqueuedLog> logs_;
    std::vector<std::weak_ptr<RDDIChannelDelegate>> delegates_;
    std::vector<std::pair<bool, bool>> enabledCalls_;
    std::vector<std::weak_ptr<const void>> pausedBy_;
    std::string logUrl_;
    std::optional<std::string> appSecret_;
    std::optional<long> maxStorageSize_;
    bool holdsCompletions_ = false;
    struct HeldCompletion {
        std::shared_ptr<InMemoryChannelUnit> unit;
        std::shared_ptr<RDDIAbstractLog> log;
        std::string internalId;
    };
    std::vector<HeldCompletion> held_;
};

}  // namespace rddi::testkit
