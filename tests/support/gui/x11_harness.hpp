#pragma once
// The real-window harness: a private Xvfb server started by the test process itself,
// driven with xdotool, photographed with ImageMagick's `import` and read back with
// gdk-pixbuf.
#include <cstdint>
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

// Runs a program (no shell) with the test's DISPLAY and returns its standard output;
// none when it could not run or exited non-zero.
std::optional<std::string> run(const std::vector<std::string>& argv);

struct Rgb {
    int r = 0, g = 0, b = 0;
};

class Screenshot {
public:
    // `import -window <id>` into a PNG under the test's artifact folder, decoded.
    static std::optional<Screenshot> ofWindow(const std::string& windowId, const std::string& name);
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const;
    const std::filesystem::path& file() const { return file_; }
    // Keeps the file (under build/test-artifacts/) when the test failed, else removes it.
    void keepIfFailed() const;

private:
    int width_ = 0, height_ = 0;
    std::vector<Rgb> pixels_;
    std::filesystem::path file_;
};

bool near(Rgb a, Rgb b, int tolerance = 12);

}  // namespace gwtest::x11
