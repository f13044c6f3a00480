#pragma once
// What the real-window saved-state tests share: a desktop whose settings ask for image
// sets in batch mode (a row per picture) and keep anything else from opening or asking,
// the saved state's path, and the rows the windows show.
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

namespace gwtest::ui {

class SavedStateDesktopTest : public ::testing::Test {
protected:
    static constexpr const char* kBundleId = "com.norvane.glyphwright";

    void SetUp() override {
        ASSERT_TRUE(session_.ready()) << session_.failure();
        ASSERT_TRUE(session_.startAccessibilityBus());
        const auto settings = session_.configHome() / kBundleId / (std::string(kBundleId) + ".plist");
        std::filesystem::create_directories(settings.parent_path());
        platform::foundation::UserDefaults defaults(settings);
        defaults.setInteger(2, "IconType");
        for (const char* key : {"ShowInstructions", "OpenFinder", "scanSubfoldersForAssetCatalogs"}) defaults.setBool(false, key);
        defaults.setBool(true, "suppressAllPromptsToReview");
    }

    std::filesystem::path savedState() const { return session_.dataHome() / kBundleId / "saved_glyphwright"; }

    // Waits until, of `candidates`, exactly `expected` show as rows of the program's windows.
    bool showsExactly(pid_t app, const std::set<std::string>& candidates, const std::set<std::string>& expected,
                      std::chrono::seconds timeout = std::chrono::seconds(120)) {
        const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
        std::set<std::string> shown;
        const bool matched = gwtest::x11::waitUntil(
            [&] {
                shown.clear();
                for (const auto& window : accessibility.windowsOf(app, gwtest::x11::AccessibilityBus::Elements::Showing)) {
                    window.find([&](const gwtest::x11::AccessibleElement& e) {
                        if (e.showing && candidates.count(e.name)) shown.insert(e.name);
                        return false;
                    });
                }
                return shown == expected;
            },
            timeout);
        std::string seen;
        for (const auto& name : shown) seen += name + " ";
        EXPECT_TRUE(matched) << "rows shown: " << seen;
        return matched;
    }

    gwtest::x11::DesktopSession session_;
};

}  // namespace gwtest::ui
