#pragma once
// Runs operations on the shared thread pool once they are ready, at most
// maxConcurrentOperationCount at a time; stands in for the platform's operation
// queue. Dependencies between operations of different queues are honoured. An
// asynchronous operation occupies its slot until it finishes, not until start()
// returns. Work left on a queue that is destroyed still runs.
#include "platform/dispatch/operation.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::dispatch {

// The processors this process may run on (its affinity mask, which taskset and
// container limits narrow), at least one. Work is spread over that many, not over
// every processor of the machine.
std::size_t usableProcessorCount();

class OperationQueue {
public:
    // Let the queue choose (a few operations per processor).
    static constexpr int defaultMaxConcurrentOperationCount = -1;

    OperationQueue();
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // An operation belongs to one queue and runs once: adding one that was already
    // added somewhere, or that has started, throws std::invalid_argument.
    void addOperation(const std::shared_ptr<Operation>& operation);
    std::shared_ptr<BlockOperation> addOperation(std::function<void()> block);
    void addOperations(const std::vector<std::shared_ptr<Operation>>& operations, bool waitUntilFinished);

    void cancelAllOperations();
    // Blocks until every operation added so far (and any added meanwhile) has finished.
    void waitUntilAllOperationsAreFinished();

    // Operations added and not yet finished, in the order they were added.
    std::vector<std::shared_ptr<Operation>> operations() const;
    std::size_t operationCount() const;

    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name);
    // Applies to operations that do not set their own.
    QualityOfService qualityOfService() const;
    void setQualityOfService(QualityOfService qos);
    // A suspended queue starts nothing new; running operations go on.
    bool isSuspended() const;
    void setSuspended(bool suspended);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform::dispatch
