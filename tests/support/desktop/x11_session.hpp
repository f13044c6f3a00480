#pragma once
// A desktop of the test's own for the built programs: a private Xvfb server on a display
// nobody uses (black root), a window manager (openbox: windows get frames, dialogs are
// stacked and placed as a user's desktop does it), a private session bus, optionally
// `dunst` as the notification server, and HOME and the XDG folders in a scratch folder. Programs started through it
// see only that desktop; each runs in a process group of its own, and every one still
// running when the session ends (a failed assertion included) is ended: SIGTERM, then
// SIGKILL after a grace period. Waits are polls of a condition with a generous deadline.
#include "support/desktop/private_session_bus.hpp"
#include "support/gui/x11_harness.hpp"
#include "support/temp_dir.hpp"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace gwtest::x11 {

// Deadlines for a loaded two-core machine under sanitizers (stretched further by the
// machine's pace when they pass, see waitUntil).
inline constexpr std::chrono::seconds kAppearDeadline{120};
inline constexpr std::chrono::seconds kExitDeadline{90};

// A connected area of one colour on a screenshot.
struct ColourRegion {
    int area = 0;
    WindowGeometry bounds;
};
// The 4-connected areas of pixels near `colour` inside `within` of at least `minArea`
// pixels, largest first.
std::vector<ColourRegion> regionsOfColour(const Screenshot& shot, Rgb colour, const WindowGeometry& within,
                                          int minArea = 16);

// Asks `condition` until it holds or `timeout` passes; returns condition(). Between two
// questions it pauses 50 ms, or twice as long as the last question took (a screen
// reader's tree read over the bus costs the program under test and the bus as much as
// the test), or a tenth of the wait so far, whichever is longest, up to 2 s: what a wait
// costs stays a small share of the machine, and what comes after t is seen by about
// 1.1 t. With `wakeOn` (a descriptor), it asks again as soon as that becomes readable.
// `timeout` is an idle machine's: on a busy one it is stretched by the machine's pace.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, int wakeOn = -1);

// A pixel's brightness, 0 … 255, as the eye weighs the channels.
inline int luminance(Rgb c) { return (c.r * 299 + c.g * 587 + c.b * 114) / 1000; }

class DesktopSession {
public:
    // Starts the X server (one screen of `width` × `height`), the window manager and the
    // bus; check ready() (failure() says why not).
    explicit DesktopSession(int width = 1280, int height = 1024);
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    const std::string& display() const { return xvfb_->display(); }

    const std::filesystem::path& root() const { return dir_.path(); }
    // The window manager's process (openbox), for a test that holds it up.
    pid_t windowManager() const { return manager_; }
    std::filesystem::path home() const { return dir_ / "home"; }
    std::filesystem::path configHome() const { return dir_ / "config"; }
    std::filesystem::path dataHome() const { return dir_ / "data"; }

    // The bundle folder the programs read (GW_RESOURCES_DIR); the project's by default.
    void setResourcesDirectory(const std::filesystem::path& folder) { resources_ = folder; }

    // Starts `dunst` on this display and bus and waits until it answers; false when not.
    bool startNotificationServer();
    // Starts the accessibility bus (at-spi) on this session's bus and waits until it
    // answers; programs launched from then on expose their widgets on it. False when not.
    bool startAccessibilityBus();
    const std::string& busAddress() const;
    // What the notification server has shown (`dunstctl history`, JSON); what it still
    // shows is closed first, since only a closed notification enters the history.
    std::string notificationHistory() const;

    // Starts a program with this desktop's environment (plus `extraEnvironment`, NAME=value,
    // which replaces an entry of the same name);
    // its standard output and error go to a log file of its own.
    pid_t launch(const std::string& program, const std::vector<std::string>& arguments = {},
                 const std::vector<std::string>& extraEnvironment = {});
    // The exit status of a program started here once it ends by itself, none at the
    // deadline (it is left running) or when it was killed by a signal. Woken by the end
    // itself: how long a quit took is the program's, not a poll's.
    std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout = kExitDeadline);
    bool hasEnded(pid_t pid);
    std::string log(pid_t pid) const;

    // The visible top-level windows of a process (ids as xdotool writes them).
    std::vector<std::string> visibleWindows(pid_t pid) const;
    // The process's first visible window that is no dialog of another (its main window),
    // waited for; empty when the process ends first or none comes by `timeout`.
    std::string firstWindow(pid_t pid, std::chrono::milliseconds timeout = kAppearDeadline);
    // A visible window of the process other than those in `known`, waited for; none when
    // the process ends first or none comes by `timeout`.
    std::optional<std::string> newWindow(pid_t pid, const std::vector<std::string>& known,
                                         std::chrono::milliseconds timeout = kAppearDeadline);
    // A window's title as the window manager shows it.
    std::string windowName(const std::string& windowId) const;
    // The visible windows whose title matches `pattern` (a regular expression).
    std::vector<std::string> visibleWindowsNamed(const std::string& pattern) const;
    std::optional<WindowGeometry> geometry(const std::string& windowId) const;
    // Gives the window the keyboard focus and types `keys` (xdotool names separated by
    // spaces, e.g. "ctrl+q" or "Down Return").
    bool typeKeys(const std::string& windowId, const std::string& keys) const;
    // Moves the pointer to a point of the screen and clicks the first button there.
    bool clickAt(int x, int y) const;
    // The whole screen, saved under build/test-artifacts/<name>.png.
    std::optional<Screenshot> screenshot(const std::string& name) const;

private:
    struct Child {
        std::string name;
        std::filesystem::path logFile;
        bool ended = false;
    };
    void endChild(pid_t pid, Child& child);
    // Whether the program ended within `timeout` (woken by its end).
    bool awaitEnd(pid_t pid, std::chrono::milliseconds timeout);

    TempDir dir_;
    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<ScopedEnv> displayEnv_;
    std::unique_ptr<desktop::PrivateSessionBus> bus_;
    std::filesystem::path resources_;
    std::map<pid_t, Child> children_;
    std::map<pid_t, std::optional<int>> exitStatus_;
    std::string failure_;
    bool accessible_ = false;
    pid_t manager_ = -1;
};

}  // namespace gwtest::x11
