#include "telemetry/analytics/rddi_analytics_category.hpp"

#include "platform/appkit/view_appearance.hpp"
#include "telemetry/analytics/rddi_analytics.hpp"

#include <array>
#include <mutex>
#include <string_view>
#include <utility>

namespace rddi {

namespace {

constexpr std::array<std::string_view, 3> kContainerClassNames = {"NSTabViewController", "NSSplitViewController",
                                                                  "NSPageController"};
constexpr std::string_view kViewControllerSuffix = "ViewController";

std::mutex gMissedLock;
std::optional<std::string> gMissedPageViewName;

}  // namespace

void RDDIAnalyticsCategory::activateCategory() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::appkit::ViewAppearance::addObserver(
            [](const std::string& className, bool isContainer) { viewWillAppear(className, isContainer); });
    });
}

std::optional<std::string> RDDIAnalyticsCategory::missedPageViewName() {
    std::lock_guard lock(gMissedLock);
    return gMissedPageViewName;
}

std::optional<std::string> RDDIAnalyticsCategory::takeMissedPageViewName() {
    std::lock_guard lock(gMissedLock);
    return std::exchange(gMissedPageViewName, std::nullopt);
}

void RDDIAnalyticsCategory::resetMissedPageViewName() {
    std::lock_guard lock(gMissedLock);
    gMissedPageViewName.reset();
}

std::optional<std::string> RDDIAnalyticsCategory::pageNameForClassName(const std::string& className,
                                                                       bool isContainer) {
    if (isContainer) return std::nullopt;
    std::string name = className;
    const auto colons = name.rfind("::");
    const auto dot = name.rfind('.');
    std::size_t start = 0;
    if (colons != std::string::npos) start = colons + 2;
    if (dot != std::string::npos && dot + 1 > start) start = dot + 1;
    name = name.substr(start);
    for (const auto container : kContainerClassNames) {
        if (name == container || className == container) return std::nullopt;
    }
    if (name.size() > kViewControllerSuffix.size() && name.ends_with(kViewControllerSuffix)) {
        name.resize(name.size() - kViewControllerSuffix.size());
    }
    if (name.empty()) return std::nullopt;
    return name;
}

void RDDIAnalyticsCategory::viewWillAppear(const std::string& className, bool isContainer) {
    if (!RDDIAnalytics::isAutoPageTrackingEnabled()) return;
    const auto page = pageNameForClassName(className, isContainer);
    if (!page) return;
    if (RDDIAnalytics::sharedInstance()->isAvailable()) {
        resetMissedPageViewName();
        RDDIAnalytics::trackPage(*page);
    } else {
        std::lock_guard lock(gMissedLock);
        gMissedPageViewName = page;
    }
}

}  // namespace rddi
