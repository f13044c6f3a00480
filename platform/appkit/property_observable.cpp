#include "platform/appkit/property_observable.hpp"

#include <algorithm>

namespace platform::appkit {

PropertyObservable::Token PropertyObservable::addObserver(std::string key, Handler handler, bool wantsPrior) {
    std::lock_guard lock(mutex_);
    auto token = nextToken_++;
    observations_.push_back(std::make_shared<Observation>(Observation{token, std::move(key), std::move(handler), wantsPrior}));
    return token;
}

void PropertyObservable::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(observations_, [token](const auto& o) { return o->token == token; });
}

std::size_t PropertyObservable::observerCount() const {
    std::lock_guard lock(mutex_);
    return observations_.size();
}

std::size_t PropertyObservable::observerCount(std::string_view key) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(observations_.begin(), observations_.end(), [&](const auto& o) { return o->key == key; }));
}

KeyValueCoding::Token PropertyObservable::addKeyObserver(std::string key, ChangeHandler handler) {
    return addObserver(std::move(key), [handler = std::move(handler)](const PropertyChange&) { handler(); });
}

void PropertyObservable::setKeysAffectingValueForKey(std::string dependent, std::vector<std::string> affecting) {
    std::lock_guard lock(mutex_);
    for (auto& key : affecting) {
        auto& list = dependents_[std::move(key)];
        if (std::find(list.begin(), list.end(), dependent) == list.end()) list.push_back(dependent);
    }
}

void PropertyObservable::willChangeValueForKey(std::string_view key) { notify(key, true); }

void PropertyObservable::didChangeValueForKey(std::string_view key) { notify(key, false); }

void PropertyObservable::notify(std::string_view key, bool isPrior) {
    std::vector<std::shared_ptr<Observation>> targets;
    std::vector<std::string> dependents;
    {
        std::lock_guard lock(mutex_);
        if (observations_.empty()) return;
        targets = observations_;
        if (auto it = dependents_.find(key); it != dependents_.end()) dependents = it->second;
    }
    auto deliver = [&](std::string_view changedKey) {
        for (const auto& observation : targets) {
            if (isPrior && !observation->wantsPrior) continue;
            if (!observation->key.empty() && observation->key != changedKey) continue;
            {
                // An observer removed by an earlier handler of this round hears nothing more.
                std::lock_guard lock(mutex_);
                if (std::find(observations_.begin(), observations_.end(), observation) == observations_.end()) continue;
            }
            observation->handler(PropertyChange{changedKey, isPrior});
        }
    };
    deliver(key);
    for (const auto& dependent : dependents) deliver(dependent);
}

}  // namespace platform::appkit
