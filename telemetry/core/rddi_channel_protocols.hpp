#pragma once
// The contracts through which the SDK talks to its log pipeline: a channel group hands
// out channel units made from unit configurations, services enqueue their logs into
// their units, and delegates listen to what happens to the logs.
#include "platform/network/url_session.hpp"
#include "telemetry/core/rddi_abstract_log.hpp"
#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_log_container.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rddi {

class RDDIChannelProtocol;
class RDDIChannelUnitProtocol;
class RDDIChannelGroupProtocol;

// The settings of one channel unit; immutable once made.
class RDDIChannelUnitConfiguration {
public:
    static constexpr std::uint64_t kDefaultFlushInterval = 3;

    RDDIChannelUnitConfiguration(std::string groupId, long priority, std::uint64_t flushInterval,
                                 std::uint64_t batchSizeLimit, std::uint64_t pendingBatchesLimit)
        : groupId_(std::move(groupId)),
          priority_(priority),
          batchSizeLimit_(batchSizeLimit),
          pendingBatchesLimit_(pendingBatchesLimit),
          flushInterval_(flushInterval) {}

    // Priority 1, batches of 50, at most 3 in flight.
    static std::shared_ptr<const RDDIChannelUnitConfiguration> defaultConfiguration(
        std::string groupId, std::uint64_t flushInterval = kDefaultFlushInterval) {
        return std::make_shared<const RDDIChannelUnitConfiguration>(std::move(groupId), 1, flushInterval, 50, 3);
    }

    const std::string& groupId() const { return groupId_; }
    long priority() const { return priority_; }
    std::uint64_t batchSizeLimit() const { return batchSizeLimit_; }
    std::uint64_t pendingBatchesLimit() const { return pendingBatchesLimit_; }
    std::uint64_t flushInterval() const { return flushInterval_; }

private:
    std::string groupId_;
    long priority_;
    std::uint64_t batchSizeLimit_;
    std::uint64_t pendingBatchesLimit_;
    std::uint64_t flushInterval_;
};

// Every operation is optional: the defaults do nothing (and filter nothing).
class RDDIChannelDelegate {
public:
    virtual ~RDDIChannelDelegate() = default;
    virtual void channelGroupDidAddChannelUnit(RDDIChannelGroupProtocol& /*group*/,
                                               const std::shared_ptr<RDDIChannelUnitProtocol>& /*unit*/) {}
    virtual void channelPrepareLog(RDDIChannelUnitProtocol& /*channel*/, RDDIAbstractLog& /*log*/) {}
    virtual void channelDidPrepareLog(RDDIChannelUnitProtocol& /*channel*/, const RDDIAbstractLog& /*log*/,
                                      const std::string& /*internalId*/, RDDIFlags /*flags*/) {}
    virtual void channelDidCompleteEnqueueingLog(RDDIChannelUnitProtocol& /*channel*/,
                                                 const RDDIAbstractLog& /*log*/, const std::string& /*internalId*/) {}
    virtual void channelWillSendLog(RDDIChannelUnitProtocol& /*channel*/, const RDDIAbstractLog& /*log*/) {}
    virtual void channelDidSucceedSendingLog(RDDIChannelUnitProtocol& /*channel*/, const RDDIAbstractLog& /*log*/) {}
    // The error as it prints itself ("Error Domain=… Code=… \"…\""); empty when the
    // ingestion reported none (a bare failing status code).
    virtual void channelDidFailSendingLog(RDDIChannelUnitProtocol& /*channel*/, const RDDIAbstractLog& /*log*/,
                                          const std::string& /*error*/) {}
    // `channel` is the unit, or the group when the group itself was switched: a
    // listener tells them apart with a dynamic_cast to RDDIChannelUnitProtocol.
    virtual void channelDidSetEnabled(RDDIChannelProtocol& /*channel*/, bool /*enabled*/, bool /*deleteData*/) {}
    // The object is none when its party was freed before the queued call ran.
    virtual void channelDidPauseWithIdentifyingObject(RDDIChannelProtocol& /*channel*/,
                                                      const std::shared_ptr<const void>& /*object*/) {}
    virtual void channelDidResumeWithIdentifyingObject(RDDIChannelProtocol& /*channel*/,
                                                       const std::shared_ptr<const void>& /*object*/) {}
    // True keeps the log from being stored; later delegates are then not asked.
    virtual bool channelUnitShouldFilterLog(RDDIChannelUnitProtocol& /*unit*/, RDDIAbstractLog& /*log*/) {
        return false;
    }
};

class RDDIEnable {
public:
    virtual ~RDDIEnable() = default;
    // Switching off with deleteData drops what is stored.
    virtual void setEnabled(bool enabled, bool deleteDataOnDisabled) = 0;
};

// Call identifier (the batch id for a batch), HTTP response, response body and error;
// each but the identifier possibly none.
using RDDISendAsyncCompletionHandler =
    std::function<void(const std::string& callId, const std::optional<platform::network::HTTPURLResponse>& response,
                       const std::optional<platform::foundation::Data>& data,
                       const std::optional<platform::foundation::Error>& error)>;

// What a channel unit sends a batch through: one batch becomes one request.
class RDDIIngestionProtocol : public RDDIEnable {
public:
    virtual void sendAsync(const std::shared_ptr<RDDILogContainer>& data,
                           RDDISendAsyncCompletionHandler completionHandler) = 0;
    virtual void sendAsync(const std::shared_ptr<RDDILogContainer>& data, const std::optional<std::string>& eTag,
                           RDDISendAsyncCompletionHandler completionHandler) = 0;
    // The unit stores no log while this is false.
    virtual bool isReadyToSend() const = 0;
    virtual bool isEnabled() const = 0;
};

// What a group and a unit have in common. Delegates and identifying objects are held
// weakly: one that is freed drops out by itself.
class RDDIChannelProtocol : public RDDIEnable {
public:
    virtual void addDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) = 0;
    virtual void removeDelegate(const std::shared_ptr<RDDIChannelDelegate>& delegate) = 0;
    // Several parties may pause independently; sending restarts when no pause is left.
    virtual void pauseWithIdentifyingObject(const std::shared_ptr<const void>& object) = 0;
    virtual void resumeWithIdentifyingObject(const std::shared_ptr<const void>& object) = 0;
};

class RDDIChannelUnitProtocol : public RDDIChannelProtocol {
public:
    // Returns at once; persisting happens on the group's queue.
    virtual void enqueueItem(std::shared_ptr<RDDIAbstractLog> log, RDDIFlags flags) = 0;
    virtual void pauseSendingLogsWithToken(const std::string& token) = 0;
    virtual void resumeSendingLogsWithToken(const std::string& token) = 0;
    virtual void checkPendingLogs() = 0;
    virtual std::shared_ptr<const RDDIChannelUnitConfiguration> configuration() const = 0;
    virtual void setConfiguration(std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) = 0;
};

class RDDIChannelGroupProtocol : public RDDIChannelProtocol {
public:
    // None for a null configuration.
    virtual std::shared_ptr<RDDIChannelUnitProtocol> addChannelUnitWithConfiguration(
        std::shared_ptr<const RDDIChannelUnitConfiguration> configuration) = 0;
    // A null ingestion means the group's own.
    virtual std::shared_ptr<RDDIChannelUnitProtocol> addChannelUnitWithConfiguration(
        std::shared_ptr<const RDDIChannelUnitConfiguration> configuration,
        std::shared_ptr<RDDIIngestionProtocol> ingestion) = 0;
    // The completion is always called, with the outcome.
    virtual void setMaxStorageSize(long sizeInBytes, std::function<void(bool)> completionHandler) = 0;
    virtual std::shared_ptr<RDDIChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const = 0;
    virtual std::string logUrl() const = 0;
    virtual void setLogUrl(const std::string& logUrl) = 0;
    virtual std::optional<std::string> appSecret() const = 0;
    virtual void setAppSecret(const std::optional<std::string>& appSecret) = 0;
};

}  // namespace rddi
