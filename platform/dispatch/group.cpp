#include "platform/dispatch/group.hpp"

#include "platform/foundation/error.hpp"

#include <condition_variable>
#include <utility>
#include <vector>

namespace platform::dispatch {

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable empty;
    long count = 0;
    std::vector<std::pair<DispatchQueue, DispatchQueue::Work>> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() const {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() const {
    // A waiter may drop the last handle as soon as the count reaches zero.
    auto state = state_;
    std::vector<std::pair<DispatchQueue, DispatchQueue::Work>> due;
    {
        std::lock_guard lock(state->mutex);
        if (state->count == 0) foundation::fatalError("a dispatch group was left more often than entered");
        if (--state->count > 0) return;
        due.swap(state->notifications);
    }
    state->empty.notify_all();
    for (auto& [queue, work] : due) queue.async(std::move(work));
}

void DispatchGroup::notify(const DispatchQueue& queue, DispatchQueue::Work work) const {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(work));
            return;
        }
    }
    queue.async(std::move(work));
}

bool DispatchGroup::wait(std::optional<std::chrono::nanoseconds> timeout) const {
    std::unique_lock lock(state_->mutex);
    auto isEmpty = [&] { return state_->count == 0; };
    if (!timeout) {
        state_->empty.wait(lock, isEmpty);
        return true;
    }
    return state_->empty.wait_for(lock, *timeout, isEmpty);
}

struct DispatchSemaphore::State {
    std::mutex mutex;
    std::condition_variable available;
    long value = 0;
    long waiters = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) {
    state_->value = value;
}

bool DispatchSemaphore::signal() const {
    // The woken waiter may drop the last handle before we are done notifying.
    auto state = state_;
    bool woke;
    {
        std::lock_guard lock(state->mutex);
        ++state->value;
        woke = state->waiters > 0;
    }
    if (woke) state->available.notify_one();
    return woke;
}

bool DispatchSemaphore::wait(std::optional<std::chrono::nanoseconds> timeout) const {
    std::unique_lock lock(state_->mutex);
    auto positive = [&] { return state_->value > 0; };
    ++state_->waiters;
    bool got = true;
    if (!timeout) {
        state_->available.wait(lock, positive);
    } else {
        got = state_->available.wait_for(lock, *timeout, positive);
    }
    --state_->waiters;
    if (got) --state_->value;
    return got;
}

void DispatchOnce::reset() {
    std::lock_guard lock(mutex_);
    done_.store(false, std::memory_order_release);
}

void DispatchOnce::checkNotReentered() const {
    if (runner_ == std::this_thread::get_id()) {
        foundation::fatalError("once-only work asked for itself while it was running");
    }
}

}  // namespace platform::dispatch
