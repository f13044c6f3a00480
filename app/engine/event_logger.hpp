#pragma once
// The one place through which the application's usage events reach both analytics back
// ends: the Google Analytics tracker and the telemetry SDK's analytics service. Also
// handed to the review and other-apps prompters, which report their own events through it.
#include "platform/foundation/value.hpp"

#include <optional>
#include <string>

namespace gw {

// Stateless: every instance behaves the same. Failures are silent.
struct EventLogger {
    // "Generic" event to the tracker; the event to the analytics service.
    void log(const std::string& event) const;
    // As above; the analytics service also receives the properties whose values are
    // strings (the tracker gets none).
    void log(const std::string& event, const platform::foundation::Dictionary& properties) const;
    // "Sharing" event, to the tracker only.
    void logSharingEvent(const std::optional<std::string>& action, const std::optional<std::string>& label) const;
};

}  // namespace gw
