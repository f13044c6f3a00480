#pragma once
// A channel's delegates, held weakly under their own lock. They are notified from a
// snapshot, outside the lock: a delegate may add units or delegates while it is told.
#include "telemetry/core/rddi_channel_protocols.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace rddi {

class RDDIChannelDelegateList {
public:
    // A delegate already there is not added twice.
    void add(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
        if (!delegate) return;
        std::lock_guard lock(mutex_);
        std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : delegates_)
            if (weak.lock() == delegate) return;
        delegates_.push_back(delegate);
    }

    void remove(const std::shared_ptr<RDDIChannelDelegate>& delegate) {
        std::lock_guard lock(mutex_);
        std::erase_if(delegates_, [&](const auto& weak) { return weak.expired() || weak.lock() == delegate; });
    }

    std::vector<std::shared_ptr<RDDIChannelDelegate>> snapshot() const {
        std::vector<std::shared_ptr<RDDIChannelDelegate>> strong;
        std::lock_guard lock(mutex_);
        strong.reserve(delegates_.size());
        for (const auto& weak : delegates_)
            if (auto delegate = weak.lock()) strong.push_back(std::move(delegate));
        return strong;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<RDDIChannelDelegate>> delegates_;
};

}  // namespace rddi
