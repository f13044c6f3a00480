#pragma once
// Automatic page tracking: once activated, every appearance the desktop layer reports
// becomes a page log named after the class that appeared, while the analytics service's
// automatic page tracking is on. An appearance before the service can be used is kept
// as the missed page and tracked when the service is enabled.
#include <optional>
#include <string>

namespace rddi {

class RDDIAnalyticsCategory {
public:
    RDDIAnalyticsCategory() = delete;

    // Registers with the desktop layer's appearance hook; once per process.
    static void activateCategory();
    static std::optional<std::string> missedPageViewName();
    // The missed page, forgotten as it is handed out so that it is tracked once.
    static std::optional<std::string> takeMissedPageViewName();

    // What one appearance does; the hook calls it after the layer's own work.
    static void viewWillAppear(const std::string& className, bool isContainer);
    // The page name of a class name: its last component after "::" or ".", less a
    // trailing "ViewController" when more than that remains. None for containers.
    static std::optional<std::string> pageNameForClassName(const std::string& className, bool isContainer);

    // Forgets the missed page (tests).
    static void resetMissedPageViewName();
};

}  // namespace rddi
