#include "platform/appkit/screen_registry.hpp"

namespace platform::appkit {

ScreenRegistry& ScreenRegistry::shared() {
    static ScreenRegistry registry;
    return registry;
}

std::optional<ScreenSize> ScreenRegistry::primaryScreenSize() const {
    std::lock_guard lock(mutex_);
    return primary_;
}

void ScreenRegistry::setPrimaryScreenSize(std::optional<ScreenSize> size) {
    std::lock_guard lock(mutex_);
    primary_ = size;
}

}  // namespace platform::appkit
