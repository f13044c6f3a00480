#pragma once
// The built window program as a user drives it on a desktop of the test's own: launched
// with a picture handed over, its windows found as X windows and as a screen reader finds
// them, its controls clicked at their middle, keys typed, menus chosen, paths typed into
// its file dialogs.
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gwtest::x11 {

inline constexpr const char* kBundleId = "com.norvane.glyphwright";

// The name of a table's case: its row's name, dashes made underscores.
template <class Row>
std::string rowCaseName(const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class Walk {
public:
    explicit Walk(DesktopSession& session) : session_(session) {}

    DesktopSession& session() { return session_; }
    pid_t app() const { return app_; }
    const std::string& mainWindow() const { return main_; }

    std::filesystem::path settingsFile() const { return session_.configHome() / kBundleId / (std::string(kBundleId) + ".plist"); }
    std::filesystem::path picture() const { return session_.root() / "pic.png"; }

    // The window program's settings as it finds them at launch.
    platform::foundation::UserDefaults settings() const {
        std::filesystem::create_directories(settingsFile().parent_path());
        return platform::foundation::UserDefaults(settingsFile());
    }

    // Starts the program with the picture handed over and waits for its main window.
    bool launch() { return launchWith({picture().string()}); }
    // Starts the program with these arguments and environment (NAME=value) and waits for
    // its main window: the command, which hands a start without arguments to the window
    // program, or the window program itself with the files it is given, as the desktop
    // entry does.
    bool launchWith(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        accessibility_ = std::make_unique<AccessibilityBus>(session_.busAddress());
        app_ = session_.launch(arguments.empty() ? GW_GLYPHWRIGHT_PATH : GW_DESKTOP_PATH, arguments, environment);
        main_ = session_.firstWindow(app_);
        // The window is up once a screen reader finds it too.
        return !main_.empty() &&
               waitUntil([&] { return accessibleWindow(main_).has_value(); }, kAppearDeadline);
    }

    std::vector<std::string> windows() const { return session_.visibleWindows(app_); }

    // A window of the program other than those in `before`, waited for.
    std::optional<std::string> newWindow(const std::vector<std::string>& before) {
        return session_.newWindow(app_, before);
    }

    // A new window the window manager manages, passing over pop-ups (a dialog's path
    // completion can outlive the dialog for a moment, and is no window of its own).
    std::optional<std::string> newManagedWindow(std::vector<std::string> before) {
        for (;;) {
            const auto window = newWindow(before);
            if (!window) return std::nullopt;
            const auto info = gwtest::x11::run(std::chrono::seconds(30), {"xwininfo", "-id", *window});
            if (info && info->find("Override Redirect State: no") != std::string::npos) return window;
            before.push_back(*window);
        }
    }

    // Keys typed into the main window, then the window they bring up.
    std::optional<std::string> keysBringUp(const std::string& keys) {
        const auto before = windows();
        if (!session_.typeKeys(main_, keys)) return std::nullopt;
        return newWindow(before);
    }

    // The window a screen reader finds for an X window, with what shows in it: the one
    // that lies where the X window is, of the same title where there are several (a window
    // without a title of its own shows the program's name to X but none to a screen reader).
    std::optional<AccessibleElement> accessibleWindow(const std::string& windowId) const {
        const auto where = session_.geometry(windowId);
        if (!where) return std::nullopt;
        const std::string name = session_.windowName(windowId);
        std::optional<AccessibleElement> best;
        int bestDistance = 0;
        for (auto& window : accessibility_->windowsOf(app_, AccessibilityBus::Elements::Showing)) {
            if (!window.showing) continue;
            const int distance = std::abs(window.extents.x - where->x) + std::abs(window.extents.y - where->y) +
                                 std::abs(window.extents.width - where->width) +
                                 std::abs(window.extents.height - where->height) + (window.name == name ? 0 : 8);
            if (!best || distance < bestDistance) {
                best = std::move(window);
                bestDistance = distance;
            }
        }
        // Nothing within a few points of the X window is not that window.
        if (best && bestDistance > 40) return std::nullopt;
        return best;
    }

    // The first showing element of any window of the program that matches; with `window`,
    // where the screen reader puts the window that holds it.
    std::optional<AccessibleElement> element(const std::function<bool(const AccessibleElement&)>& match,
                                             WindowGeometry* window = nullptr) const {
        for (const auto& candidate : accessibility_->windowsOf(app_, AccessibilityBus::Elements::Showing)) {
            if (const auto* found = candidate.find([&](const AccessibleElement& e) { return e.showing && match(e); })) {
                if (window) *window = candidate.extents;
                return *found;
            }
        }
        return std::nullopt;
    }

    // Clicks the element as a user does, at its middle. The screen reader's tree follows
    // the windows with a lag: a window just placed or moved (a panel put beside the main
    // window, the main window moved aside for it) is still where it was in the tree for a
    // while, on a loaded machine for seconds, and a click there lands beside the element.
    // So the click waits until the tree puts the element's window where the window
    // manager has it, and the element stays where it is from one reading to the next.
    bool click(const std::function<bool(const AccessibleElement&)>& match) {
        std::optional<AccessibleElement> found;
        const auto settled = [&] {
            WindowGeometry window;
            const auto now = element(match, &window);
            const auto ids = windows();
            const bool placed = now && std::any_of(ids.begin(), ids.end(), [&](const std::string& id) {
                const auto frame = session_.geometry(id);
                return frame && std::abs(frame->x - window.x) + std::abs(frame->y - window.y) +
                                        std::abs(frame->width - window.width) + std::abs(frame->height - window.height) <= 2;
            });
            const bool steady = placed && found && found->extents.x == now->extents.x && found->extents.y == now->extents.y &&
                                found->extents.width == now->extents.width && found->extents.height == now->extents.height;
            found = placed ? now : std::nullopt;
            return steady;
        };
        waitUntil(settled, kAppearDeadline);
        return found && session_.clickAt(found->extents.x + found->extents.width / 2,
                                         found->extents.y + found->extents.height / 2);
    }
    bool click(const std::string& role, const std::string& name) {
        return click([&](const AccessibleElement& e) { return e.role == role && e.name == name; });
    }

    // Clicks a control of the main window and waits for the window it brings up.
    std::optional<std::string> clickBringsUp(const std::string& role, const std::string& name) {
        const auto before = windows();
        raise(main_);
        if (!click(role, name)) return std::nullopt;
        return newWindow(before);
    }

    // Opens a menu of the main window's menu bar and chooses the item whose name starts
    // with `itemStart`.
    std::optional<std::string> chooseFromMenu(const std::string& menu, const std::string& itemStart) {
        const auto before = windows();
        raise(main_);
        if (!click("menu item", menu)) return std::nullopt;
        const bool chosen = click([&](const AccessibleElement& e) {
            return e.role == "menu item" && e.name.rfind(itemStart, 0) == 0 && e.extents.width > 0;
        });
        if (!chosen) return std::nullopt;
        return newWindow(before);
    }

    // Puts a window over the others, as a click on it would. Without a window manager
    // nothing keeps a panel above the main window, which comes forward after it.
    bool raise(const std::string& window) {
        return gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "windowraise", window}).has_value();
    }

    // Types a path into the file dialog's name field and confirms it; true once the
    // dialog has gone. A just-mapped dialog may miss the first keys, and the path
    // completion it shows may take the first Return: both are tried again, after a wait
    // long enough for keys still on their way on a loaded machine (a retry clears them:
    // keys arrive in order).
    bool typePathIntoDialog(const std::string& dialog, const std::string& path) {
        const auto holdsPath = [&] {
            const auto tree = accessibleWindow(dialog);
            return tree && tree->find([&](const AccessibleElement& e) { return e.role == "text" && e.text == path; });
        };
        const auto gone = [&] {
            const auto now = windows();
            return std::find(now.begin(), now.end(), dialog) == now.end();
        };
        for (int attempt = 0; attempt < 3 && !holdsPath(); ++attempt) {
            if (!session_.typeKeys(dialog, "ctrl+a BackSpace")) return false;
            gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "type", "--delay", "20", path});
            waitUntil(holdsPath, std::chrono::seconds(30));
        }
        for (int attempt = 0; attempt < 3 && !gone(); ++attempt) {
            gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "key", "Return"});
            waitUntil(gone, std::chrono::seconds(30));
        }
        return gone();
    }

    // Chooses `folder` as the output folder through the main window's button and its
    // dialog; gives the window that follows (a folder of several catalogs brings one up),
    // never the path completion's pop-up that may outlive the dialog.
    std::optional<std::string> chooseOutputFolder(const std::filesystem::path& folder) {
        const auto before = windows();
        const auto dialog = clickBringsUp("push button", "Output Folder…");
        if (!dialog || !typePathIntoDialog(*dialog, folder.string())) return std::nullopt;
        return newManagedWindow(before);
    }

    // Types text, then Return, into an open pop-up (it holds the keyboard).
    bool typeIntoPopUp(const std::string& text) {
        return gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "type", "--delay", "40", text}) &&
               gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "key", "Return"});
    }

private:
    DesktopSession& session_;
    std::unique_ptr<AccessibilityBus> accessibility_;
    pid_t app_ = -1;
    std::string main_;
};

}  // namespace gwtest::x11
