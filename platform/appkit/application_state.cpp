#include "platform/appkit/application_state.hpp"

namespace platform::appkit {

ApplicationState& ApplicationState::shared() {
    static ApplicationState state;
    return state;
}

void ApplicationState::reset() {
    hasApplication_.store(false);
    hidden_.store(false);
    active_.store(false);
}

}  // namespace platform::appkit
