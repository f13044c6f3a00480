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

class InMemoryChannelUnit final : public RDDIChannelUnitProtocol {
public:
    InMemoryChannelUnit(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
                        std::weak_ptr<InMemoryChannelGroup> group)
        : configuration_(std::move(configuration)), group_(std::move(group)) {}

    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    void addDelegate(const std::shared_ptr<RDDIChannelDelegate>&) override {}
    void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>&) override {}
    void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) override;
    // Stamps the time like the real unit, asks the group's delegates whether to filter,
    // and records the log with its flags.
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
};

}  // namespace rddi::testkit
