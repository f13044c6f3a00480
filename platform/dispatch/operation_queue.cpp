#include "platform/dispatch/operation_queue.hpp"

#include "platform/dispatch/thread_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace platform::dispatch {

namespace {

struct Entry {
    std::shared_ptr<Operation> operation;
    Operation::ObserverToken token = 0;
    bool started = false;
};

}  // namespace

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    mutable std::mutex mutex;
    std::condition_variable allFinished;
    std::uint64_t nextSequence = 1;
    std::map<std::uint64_t, Entry> entries;  // by sequence: the order of adding
    std::unordered_map<const Operation*, std::uint64_t> sequenceOf;
    std::set<std::uint64_t> waiting;  // not started, not known to be ready
    std::set<std::uint64_t> ready;    // not started, ready when last looked at
    std::size_t executing = 0;
    int maxConcurrent = defaultMaxConcurrentOperationCount;
    std::optional<std::string> name;
    QualityOfService qos = QualityOfService::defaultLevel;
    bool suspended = false;

    std::size_t limit() const {
        if (maxConcurrent >= 0) return static_cast<std::size_t>(maxConcurrent);
        return std::max<std::size_t>(2, usableProcessorCount());
    }

    void onChange(Operation& operation, Operation::Change change);
    void pump(std::unique_lock<std::mutex>& lock);
};

std::size_t usableProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void OperationQueue::State::onChange(Operation& operation, Operation::Change change) {
    if (change == Operation::Change::executing) return;
    std::unique_lock lock(mutex);
    auto found = sequenceOf.find(&operation);
    if (found == sequenceOf.end()) return;
    auto sequence = found->second;
    if (change == Operation::Change::finished) {
        auto entry = entries.extract(sequence);
        sequenceOf.erase(found);
        waiting.erase(sequence);
        ready.erase(sequence);
        if (entry.mapped().started) --executing;
        if (entries.empty()) allFinished.notify_all();
        pump(lock);
        // The observer is dropped outside our lock; the operation is released last.
        entry.mapped().operation->removeObserver(entry.mapped().token);
        return;
    }
    if (waiting.count(sequence) && operation.isReady()) {
        waiting.erase(sequence);
        ready.insert(sequence);
    }
    pump(lock);
}

// Starts what may start. Called with the lock held; returns with it released.
void OperationQueue::State::pump(std::unique_lock<std::mutex>& lock) {
    std::vector<std::shared_ptr<Operation>> launch;
    while (!suspended && executing < limit() && !ready.empty()) {
        auto sequence = *ready.begin();
        ready.erase(ready.begin());
        auto& entry = entries.at(sequence);
        if (!entry.operation->isReady()) {  // a dependency was added after it became ready
            waiting.insert(sequence);
            continue;
        }
        entry.started = true;
        ++executing;
        launch.push_back(entry.operation);
    }
    auto queueQos = qos;
    lock.unlock();
    for (auto& operation : launch) {
        auto opQos = operation->qualityOfService();
        detail::ThreadPool::shared().submit(opQos == QualityOfService::defaultLevel ? queueQos : opQos,
                                            [operation] { operation->start(); });
    }
}

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(const std::shared_ptr<Operation>& operation) {
    if (!operation) throw std::invalid_argument("no operation to add");
    if (operation->isExecuting() || operation->isFinished()) {
        throw std::invalid_argument("an operation that has started cannot be added to a queue");
    }
    if (!operation->markEnqueued()) throw std::invalid_argument("the operation is already in a queue");

    // Observing before registering means no change can slip by: one that comes
    // before the entry exists is covered by the readiness check below. The
    // observer owns the queue state so that work left on a destroyed queue runs.
    auto state = state_;
    auto token = operation->addObserver(
        [state](Operation& changed, Operation::Change change) { state->onChange(changed, change); });

    std::unique_lock lock(state_->mutex);
    auto sequence = state_->nextSequence++;
    state_->entries.emplace(sequence, Entry{operation, token, false});
    state_->sequenceOf.emplace(operation.get(), sequence);
    if (operation->isReady()) {
        state_->ready.insert(sequence);
    } else {
        state_->waiting.insert(sequence);
    }
    state_->pump(lock);
}

std::shared_ptr<BlockOperation> OperationQueue::addOperation(std::function<void()> block) {
    auto operation = std::make_shared<BlockOperation>(std::move(block));
    addOperation(operation);
    return operation;
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations,
                                   bool waitUntilFinished) {
    for (auto& operation : operations) addOperation(operation);
    if (waitUntilFinished) {
        for (auto& operation : operations) operation->waitUntilFinished();
    }
}

void OperationQueue::cancelAllOperations() {
    for (auto& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(state_->mutex);
    state_->allFinished.wait(lock, [this] { return state_->entries.empty(); });
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::shared_ptr<Operation>> result;
    result.reserve(state_->entries.size());
    for (auto& [sequence, entry] : state_->entries) result.push_back(entry.operation);
    return result;
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    std::unique_lock lock(state_->mutex);
    state_->maxConcurrent = count >= 0 ? count : defaultMaxConcurrentOperationCount;
    state_->pump(lock);
}

std::optional<std::string> OperationQueue::name() const {
    std::lock_guard lock(state_->mutex);
    return state_->name;
}

void OperationQueue::setName(std::optional<std::string> name) {
    std::lock_guard lock(state_->mutex);
    state_->name = std::move(name);
}

QualityOfService OperationQueue::qualityOfService() const {
    std::lock_guard lock(state_->mutex);
    return state_->qos;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
    std::lock_guard lock(state_->mutex);
    state_->qos = qos;
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
    std::unique_lock lock(state_->mutex);
    state_->suspended = suspended;
    state_->pump(lock);
}

}  // namespace platform::dispatch
