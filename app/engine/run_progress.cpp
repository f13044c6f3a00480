#include "app/engine/run_progress.hpp"

#include <limits>

namespace gw {

float RunProgress::value() const {
    std::lock_guard lock(mutex_);
    if (folders_.empty()) return std::numeric_limits<float>::quiet_NaN();
    return float(sum_ / double(folders_.size()));
}

}  // namespace gw
