#include "platform/appkit/application_state.hpp"

#include "platform/foundation/notification_center.hpp"

namespace platform::appkit {

ApplicationState& ApplicationState::shared() {
    static ApplicationState state;
    return state;
}

void ApplicationState::setActive(bool value) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    if (value) {
        if (active_.load()) return;
        center.post(kApplicationWillBecomeActiveNotification, this);
        active_.store(true);
    } else if (active_.exchange(false)) {
        center.post(kApplicationDidResignActiveNotification, this);
    }
}

void ApplicationState::reset() {
    hasApplication_.store(false);
    hidden_.store(false);
    active_.store(false);
}

}  // namespace platform::appkit
