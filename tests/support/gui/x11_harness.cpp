#include "support/gui/x11_harness.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace gwtest::x11 {

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments, int width, int height) {
    std::vector<std::string> args{"Xvfb",       "-displayfd", "3",   "-screen",  "0",
                                  std::to_string(width) + "x" + std::to_string(height) + "x24",
                                  "-nolisten",  "tcp",        "-noreset"};
    args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], 3);  // dup2 clears close-on-exec on the copy
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // no server outlives a test killed at its time limit
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        return;
    }
    // The server writes its display number and a newline once it accepts clients.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (number.empty() || number.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[32];
        const auto n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

std::optional<std::string> run(const std::vector<std::string>& argv) {
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (;;) {
        const auto n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return out;
}

std::optional<Screenshot> Screenshot::ofWindow(const std::string& windowId, const std::string& name) {
    const auto folder = std::filesystem::path(GW_BINARY_DIR) / "test-artifacts";
    std::filesystem::create_directories(folder);
    Screenshot shot;
    shot.file_ = folder / (name + ".png");
    if (!run({"timeout", "30", "import", "-window", windowId, "png:" + shot.file_.string()})) return std::nullopt;
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(shot.file_.c_str(), &error);
    if (!pixbuf) {
        if (error) g_error_free(error);
        return std::nullopt;
    }
    shot.width_ = gdk_pixbuf_get_width(pixbuf);
    shot.height_ = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
    shot.pixels_.resize(static_cast<std::size_t>(shot.width_) * shot.height_);
    for (int y = 0; y < shot.height_; ++y) {
        for (int x = 0; x < shot.width_; ++x) {
            const guchar* p = data + static_cast<std::ptrdiff_t>(y) * stride + x * channels;
            shot.pixels_[static_cast<std::size_t>(y) * shot.width_ + x] = Rgb{p[0], p[1], p[2]};
        }
    }
    g_object_unref(pixbuf);
    return shot;
}

Rgb Screenshot::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    return pixels_[static_cast<std::size_t>(y) * width_ + x];
}

void Screenshot::keepIfFailed() const {
    if (!::testing::Test::HasFailure()) {
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
}

bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

}  // namespace gwtest::x11
