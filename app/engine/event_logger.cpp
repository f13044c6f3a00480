#include "app/engine/event_logger.hpp"

#include "app/engine/analytics_tracker.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"

namespace gw {

namespace pf = platform::foundation;

namespace {

// Builds the tracker hit; none stops the whole call, so neither back end hears of it.
std::optional<pf::Dictionary> buildEvent(const std::string& category, const std::string& action,
                                         const std::string& label) {
    auto builder = KKGADictionaryBuilder::createEventWithCategory(category, action, label, 0);
    if (!builder) return std::nullopt;
    return builder->build();
}

void sendToTracker(const pf::Dictionary& hit) {
    if (auto tracker = KKGAI()) tracker->send(hit);
}

}  // namespace

void EventLogger::log(const std::string& event) const {
    const auto hit = buildEvent("Generic", event, "");
    if (!hit) return;
    rddi::RDDIAnalytics::trackEvent(event);
    sendToTracker(*hit);
}

void EventLogger::log(const std::string& event, const pf::Dictionary& properties) const {
    const auto hit = buildEvent("Generic", event, "");
    if (!hit) return;
    rddi::RDDIStringProperties textProperties;
    for (const auto& [key, value] : properties) {
        if (const auto* text = value.asString()) textProperties.emplace(key, *text);
    }
    rddi::RDDIAnalytics::trackEvent(event, textProperties);
    sendToTracker(*hit);
}

void EventLogger::logSharingEvent(const std::optional<std::string>& action,
                                  const std::optional<std::string>& label) const {
    const auto hit = buildEvent("Sharing", action.value_or(""), label.value_or(""));
    if (!hit) return;
    sendToTracker(*hit);
}

}  // namespace gw
