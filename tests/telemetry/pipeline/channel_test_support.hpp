#pragma once
// A scripted ingestion and a recording delegate for channel unit and group tests.
#include "telemetry/core/rddi_channel_protocols.hpp"
#include "telemetry/pipeline/stored_test_log.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rddi::testkit {

// Records every batch and answers only when told to.
class ScriptedIngestion : public rddi::RDDIIngestionProtocol {
public:
    struct Call {
        std::shared_ptr<rddi::RDDILogContainer> container;
        rddi::RDDISendAsyncCompletionHandler handler;
    };
    void setEnabled(bool enabled, bool) override { enabled_ = enabled; }
    void sendAsync(const std::shared_ptr<rddi::RDDILogContainer>& data,
                   rddi::RDDISendAsyncCompletionHandler handler) override {
        std::lock_guard lock(mutex_);
        calls_.push_back({data, std::move(handler)});
    }
    void sendAsync(const std::shared_ptr<rddi::RDDILogContainer>& data, const std::optional<std::string>&,
                   rddi::RDDISendAsyncCompletionHandler handler) override {
        sendAsync(data, std::move(handler));
    }
    bool isReadyToSend() const override { return ready_; }
    bool isEnabled() const override { return enabled_; }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Answers batch `index` (in sending order) with `status`, from another thread as a
    // network stack would.
    void answer(std::size_t index, int status) {
        auto call = calls().at(index);
        platform::network::HTTPURLResponse response;
        response.statusCode = status;
        std::thread([call, response] { call.handler(*call.container->batchId, response, std::nullopt, std::nullopt); })
            .join();
    }

    std::atomic<bool> ready_ = true;
    std::atomic<bool> enabled_ = true;

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

// Counts what the unit tells its delegates.
class RecordingDelegate : public rddi::RDDIChannelDelegate {
public:
    void channelDidCompleteEnqueueingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog&,
                                         const std::string&) override {
        ++completed;
    }
    void channelWillSendLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog&) override { ++willSend; }
    void channelDidSucceedSendingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog&) override {
        ++succeeded;
    }
    void channelDidFailSendingLog(rddi::RDDIChannelUnitProtocol&, const rddi::RDDIAbstractLog& log,
                                  const std::string& error) override {
        std::lock_guard lock(mutex);
        const auto* stored = dynamic_cast<const StoredTestLog*>(&log);
        failures.emplace_back(stored ? stored->name : std::string("?"), error);
    }
    void channelDidSetEnabled(rddi::RDDIChannelProtocol&, bool enabled, bool deleteData) override {
        std::lock_guard lock(mutex);
        switches.emplace_back(enabled, deleteData);
    }
    std::atomic<int> completed = 0, willSend = 0, succeeded = 0;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> failures;
    std::vector<std::pair<bool, bool>> switches;
};

inline std::shared_ptr<rddi::RDDIAbstractLog> makeLog(const std::string& name) {
    auto log = std::make_shared<StoredTestLog>(name, "payload of " + name);
    log->type = "storedTest";
    return log;
}

}  // namespace rddi::testkit
