#pragma once
// The real-window harness: a private Xvfb server started by the test process itself,
// driven with xdotool; its windows found, measured and photographed by asking the server
// itself (tests ask many times a second while they wait: a program started for each
// question cost more processor time than the programs under test), photographs written
// as PNG only where they are kept.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace gwtest::x11 {

class XvfbServer {
public:
    // Starts `Xvfb -displayfd` (a display number nobody uses) with one screen of `width`
    // × `height` and `extraArguments`, and waits (bounded) for its display number.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {}, int width = 1280, int height = 1024);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0 && !display_.empty(); }
    // ":N".
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + width && py < y + height; }
};

// Of the X server of the test's DISPLAY (windows named by their ids in decimal, as
// xdotool writes and reads them):
// the viewable windows whose _NET_WM_PID is `pid`, in the order `xdotool search
// --onlyvisible --pid` lists them (each level of the tree before the next, bottom first);
std::vector<std::string> viewableWindowsOf(pid_t pid);
// where a window's inside lies on the screen (as xwininfo's absolute upper-left corner,
// width and height); none when it is gone;
std::optional<WindowGeometry> windowGeometry(const std::string& windowId);
// a window's title (_NET_WM_NAME, else WM_NAME); empty when it is gone or has none;
std::string windowTitle(const std::string& windowId);
// whether a window is a dialog of another (WM_TRANSIENT_FOR); none when it is gone.
std::optional<bool> isTransient(const std::string& windowId);

// Runs a program (no shell) with the test's DISPLAY and returns its standard output;
// none when it could not run or exited non-zero. With a limit, the program is ended as
// timeout(1) ends it once the limit has passed (and then none): kept here rather than by
// starting timeout(1), one start fewer for each of the many short runs of the desktop's tools.
std::optional<std::string> run(const std::vector<std::string>& argv);
std::optional<std::string> run(std::chrono::seconds limit, const std::vector<std::string>& argv);

struct Rgb {
    int r = 0, g = 0, b = 0;
};

class Screenshot {
public:
    // What the screen shows of a window ("root": the whole screen), as the server hands
    // it over; `name` is the file it is kept under (build/test-artifacts/<name>.png).
    static std::optional<Screenshot> ofWindow(const std::string& windowId, const std::string& name);
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;
    // Writes it as PNG to `file`; false when that failed.
    bool saveAs(const std::filesystem::path& file) const;
    // Keeps it under build/test-artifacts/ when the test failed.
    void keepIfFailed() const;

private:
    int width_ = 0, height_ = 0;
    // 32 bits a pixel, row after row, in the server's byte order; each channel at its shift.
    std::shared_ptr<void> reply_;
    const std::uint8_t* data_ = nullptr;
    bool mostSignificantFirst_ = false;
    std::array<int, 3> shifts_{};
    std::filesystem::path file_;
};

bool near(Rgb a, Rgb b, int tolerance = 12);

}  // namespace gwtest::x11
