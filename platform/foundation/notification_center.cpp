#include "platform/foundation/notification_center.hpp"

#include <algorithm>

namespace platform::foundation {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: dispatch workers outlive the program's static objects, and what
    // they release at exit (a channel unit, its HTTP client) still stops observing here.
    static NotificationCenter* const center = new NotificationCenter();
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object, Handler handler,
                                                          const void* owner) {
    std::lock_guard lock(mutex_);
    auto obs = std::make_shared<Observation>(Observation{nextToken_++, std::move(name), object, owner,
                                                         std::move(handler), std::make_shared<std::atomic<bool>>(true)});
    observations_.push_back(obs);
    return obs->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(observations_, [&](const auto& o) {
        if (o->token != token) return false;
        o->alive->store(false);
        return true;
    });
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name, const void* object) {
    std::lock_guard lock(mutex_);
    std::erase_if(observations_, [&](const auto& o) {
        bool match = o->owner == owner && (name.empty() || o->name == name) && (object == nullptr || o->object == object);
        if (match) o->alive->store(false);
        return match;
    });
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observation>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : observations_) {
            if ((o->name.empty() || o->name == notification.name) &&
                (o->object == nullptr || o->object == notification.object)) {
                targets.push_back(o);
            }
        }
    }
    for (const auto& o : targets) {
        if (o->alive->load()) o->handler(notification);
    }
}

void NotificationCenter::post(std::string name, const void* object, Value userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return observations_.size();
}

}  // namespace platform::foundation
