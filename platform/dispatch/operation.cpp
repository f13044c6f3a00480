#include "platform/dispatch/operation.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace platform::dispatch {

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
    auto expected = BaseState::pending;
    if (!baseState_.compare_exchange_strong(expected, BaseState::executing)) return;
    if (isCancelled()) {
        baseState_.store(BaseState::finished, std::memory_order_release);
        executionStateDidChange();
        return;
    }
    executionStateDidChange();
    main();
    baseState_.store(BaseState::finished, std::memory_order_release);
    executionStateDidChange();
}

bool Operation::isReady() const {
    if (isCancelled()) return true;
    // A dependency that has finished stays finished: those before the first that had not
    // are not asked again, so that an operation waiting for thousands (a run's last, for
    // every folder) is asked about each once, not once for every one that finishes.
    // Each is asked outside our lock: it may take its own.
    while (true) {
        std::shared_ptr<Operation> next;
        {
            std::lock_guard lock(mutex_);
            if (finishedDependencies_ >= dependencies_.size()) return true;
            next = dependencies_[finishedDependencies_];
        }
        if (!next->isFinished()) return false;
        std::lock_guard lock(mutex_);
        if (finishedDependencies_ < dependencies_.size() && dependencies_[finishedDependencies_] == next) {
            ++finishedDependencies_;
        }
    }
}

bool Operation::isExecuting() const { return baseState_.load(std::memory_order_acquire) == BaseState::executing; }

bool Operation::isFinished() const { return baseState_.load(std::memory_order_acquire) == BaseState::finished; }

void Operation::cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    notify(Change::cancelled);
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
    if (!operation || operation.get() == this) return;
    {
        std::lock_guard lock(mutex_);
        if (std::find(dependencies_.begin(), dependencies_.end(), operation) != dependencies_.end()) return;
        dependencies_.push_back(operation);
    }
    {
        std::lock_guard lock(operation->mutex_);
        operation->dependents_.push_back(weak_from_this());
    }
    // The dependency may have finished before it learnt of us; let observers look again.
    if (operation->isFinished()) notify(Change::ready);
}

void Operation::removeDependency(const std::shared_ptr<Operation>& operation) {
    if (!operation) return;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(dependencies_.begin(), dependencies_.end(), operation);
        if (it == dependencies_.end()) return;
        if (std::size_t(it - dependencies_.begin()) < finishedDependencies_) --finishedDependencies_;
        dependencies_.erase(it);
    }
    {
        std::lock_guard lock(operation->mutex_);
        std::erase_if(operation->dependents_, [this](const std::weak_ptr<Operation>& w) {
            auto d = w.lock();
            return !d || d.get() == this;
        });
    }
    notify(Change::ready);
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
    std::lock_guard lock(mutex_);
    return dependencies_;
}

void Operation::setCompletionBlock(std::function<void()> block) {
    std::function<void()> previous;
    std::lock_guard lock(mutex_);
    previous = std::exchange(completionBlock_, std::move(block));
}

bool Operation::hasCompletionBlock() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(completionBlock_);
}

QualityOfService Operation::qualityOfService() const {
    std::lock_guard lock(mutex_);
    return qos_;
}

void Operation::setQualityOfService(QualityOfService qos) {
    std::lock_guard lock(mutex_);
    qos_ = qos;
}

std::optional<std::string> Operation::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void Operation::setName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

void Operation::waitUntilFinished() const {
    std::unique_lock lock(mutex_);
    finishedCondition_.wait(lock, [this] { return finishHandled_; });
}

Operation::ObserverToken Operation::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    auto token = nextToken_++;
    observers_.emplace(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void Operation::removeObserver(ObserverToken token) {
    std::shared_ptr<Observer> released;
    std::lock_guard lock(mutex_);
    auto it = observers_.find(token);
    if (it == observers_.end()) return;
    released = std::move(it->second);
    observers_.erase(it);
}

void Operation::notify(Change change) {
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        observers.reserve(observers_.size());
        for (auto& [token, observer] : observers_) observers.push_back(observer);
    }
    for (auto& observer : observers) (*observer)(*this, change);
}

void Operation::executionStateDidChange() {
    if (!isFinished()) {
        notify(Change::executing);
        return;
    }
    // Keep ourselves alive while finishing: an observer (the queue) may drop the last owner.
    auto self = weak_from_this().lock();
    if (finishing_.exchange(true, std::memory_order_acq_rel)) return;

    std::function<void()> completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(completionBlock_);
        completionBlock_ = nullptr;
    }
    if (completion) completion();
    completion = nullptr;

    std::vector<std::weak_ptr<Operation>> dependents;
    {
        std::lock_guard lock(mutex_);
        finishHandled_ = true;
        dependents = dependents_;
    }
    finishedCondition_.notify_all();
    for (auto& weak : dependents) {
        if (auto dependent = weak.lock()) dependent->notify(Change::ready);
    }
    notify(Change::finished);
}

BlockOperation::BlockOperation(std::function<void()> block) {
    if (block) blocks_.push_back(std::move(block));
}

void BlockOperation::addExecutionBlock(std::function<void()> block) {
    if (isExecuting() || isFinished()) {
        throw std::logic_error("execution blocks cannot be added once the operation has started");
    }
    std::lock_guard lock(blocksMutex_);
    if (block) blocks_.push_back(std::move(block));
}

std::size_t BlockOperation::executionBlockCount() const {
    std::lock_guard lock(blocksMutex_);
    return blocks_.size();
}

void BlockOperation::main() {
    std::vector<std::function<void()>> blocks;
    {
        std::lock_guard lock(blocksMutex_);
        blocks = std::move(blocks_);
        blocks_.clear();
    }
    for (auto& block : blocks) block();
}

void AsynchronousOperation::start() {
    if (executionState() != ExecutionState::initial) return;
    if (isCancelled()) {
        finish();
        return;
    }
    markExecuting();
    main();
}

bool AsynchronousOperation::isExecuting() const { return executionState() == ExecutionState::executing; }

bool AsynchronousOperation::isFinished() const { return executionState() == ExecutionState::finished; }

bool AsynchronousOperation::advance(ExecutionState to) {
    auto current = state_.load(std::memory_order_acquire);
    while (current < to) {
        if (state_.compare_exchange_weak(current, to, std::memory_order_acq_rel)) return true;
    }
    return false;
}

void AsynchronousOperation::markExecuting() {
    if (advance(ExecutionState::executing)) executionStateDidChange();
}

void AsynchronousOperation::finish() {
    if (advance(ExecutionState::finished)) executionStateDidChange();
}

}  // namespace platform::dispatch
