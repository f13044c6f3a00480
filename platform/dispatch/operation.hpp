#pragma once
// Units of work with dependencies, cancellation and a finish notice; stand in for
// the platform's operation classes. Operations are shared: create them with
// std::make_shared, since dependents and queues hold on to them.
//
// Whoever needs to follow an operation (its queue, the operations that depend on
// it, a progress display) adds an observer; it is told of every change of the
// executing, finished, cancelled and ready states on the thread that made it.
#include "platform/dispatch/quality_of_service.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::dispatch {

class Operation : public std::enable_shared_from_this<Operation> {
public:
    enum class Change { ready, executing, finished, cancelled };
    using Observer = std::function<void(Operation&, Change)>;
    using ObserverToken = std::uint64_t;

    Operation();
    virtual ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Runs the operation on the calling thread. The base marks it executing, calls
    // main() and marks it finished; a cancelled operation finishes without main().
    // Starting an operation that has started already does nothing.
    virtual void start();
    // The work of a synchronous operation.
    virtual void main() {}

    // Ready when every dependency has finished, or when cancelled (so that a queue
    // can retire it at once).
    virtual bool isReady() const;
    virtual bool isExecuting() const;
    virtual bool isFinished() const;
    virtual bool isAsynchronous() const { return false; }
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Marks the operation cancelled; what it does about it is up to the operation.
    virtual void cancel();

    void addDependency(const std::shared_ptr<Operation>& operation);
    void removeDependency(const std::shared_ptr<Operation>& operation);
    std::vector<std::shared_ptr<Operation>> dependencies() const;

    // Runs once, on the thread that finishes the operation, before waiters wake and
    // dependents are released; it is dropped after running.
    void setCompletionBlock(std::function<void()> block);
    bool hasCompletionBlock() const;

    QualityOfService qualityOfService() const;
    void setQualityOfService(QualityOfService qos);
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name);

    // Blocks until the operation has finished and its completion block has run.
    void waitUntilFinished() const;

    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);

protected:
    // For subclasses that keep their own execution state (overriding isExecuting()
    // and isFinished()): call after every change of it. Once isFinished() is true
    // the finish is handled exactly once: completion block, waiters, dependents,
    // observers.
    void executionStateDidChange();

private:
    friend class OperationQueue;
    enum class BaseState : int { pending, executing, finished };

    void notify(Change change);
    bool markEnqueued() { return !enqueued_.exchange(true); }

    mutable std::mutex mutex_;
    mutable std::condition_variable finishedCondition_;
    std::vector<std::shared_ptr<Operation>> dependencies_;
    // The first dependencies_ known to have finished.
    mutable std::size_t finishedDependencies_ = 0;
    std::vector<std::weak_ptr<Operation>> dependents_;
    std::function<void()> completionBlock_;
    QualityOfService qos_ = QualityOfService::defaultLevel;
    std::optional<std::string> name_;
    std::map<ObserverToken, std::shared_ptr<Observer>> observers_;
    ObserverToken nextToken_ = 1;
    bool finishHandled_ = false;

    std::atomic<BaseState> baseState_{BaseState::pending};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finishing_{false};
    std::atomic<bool> enqueued_{false};
};

// An operation that runs one or more blocks, in the order they were added.
class BlockOperation : public Operation {
public:
    BlockOperation() = default;
    explicit BlockOperation(std::function<void()> block);

    // Adding a block once the operation has started is refused (std::logic_error).
    void addExecutionBlock(std::function<void()> block);
    std::size_t executionBlockCount() const;

protected:
    void main() override;

private:
    mutable std::mutex blocksMutex_;
    std::vector<std::function<void()>> blocks_;
};

// An operation whose work outlives start(): it counts as executing from
// markExecuting() and as finished only from finish(), which may come from any
// thread at any later time. The state only moves forward; a repeated or late call
// changes nothing.
class AsynchronousOperation : public Operation {
public:
    enum class ExecutionState : std::uint8_t { initial, executing, finished };

    // Marks the operation executing and calls main(), which begins the work; a
    // cancelled operation is finished at once instead. Subclasses may override.
    void start() override;

    bool isAsynchronous() const override { return true; }
    bool isExecuting() const override;
    bool isFinished() const override;
    ExecutionState executionState() const { return state_.load(std::memory_order_acquire); }

    void markExecuting();
    void finish();

private:
    bool advance(ExecutionState to);

    std::atomic<ExecutionState> state_{ExecutionState::initial};
};

}  // namespace platform::dispatch
