#pragma once
// A point in the code where a test may step in (to swap a link in at the worst moment,
// say). Unset, as outside tests, it costs one relaxed atomic load and takes no lock.
#include <atomic>
#include <functional>
#include <mutex>

namespace platform::foundation {

template <class... Args>
class TestHook {
public:
    void set(std::function<void(Args...)> hook) {
        std::lock_guard lock(mutex_);
        isSet_ = static_cast<bool>(hook);
        hook_ = std::move(hook);
    }

    void operator()(Args... args) const {
        if (!isSet_.load(std::memory_order_relaxed)) return;
        std::function<void(Args...)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = hook_;
        }
        if (hook) hook(args...);
    }

private:
    std::atomic<bool> isSet_{false};
    mutable std::mutex mutex_;
    std::function<void(Args...)> hook_;
};

}  // namespace platform::foundation
