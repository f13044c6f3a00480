#include "support/desktop/x11_session.hpp"

#include "support/desktop/accessibility_tree.hpp"
#include "support/machine_pace.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <thread>

extern char** environ;

namespace gwtest::x11 {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kGrace{10};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

}  // namespace

std::vector<ColourRegion> regionsOfColour(const Screenshot& shot, Rgb colour, const WindowGeometry& within,
                                          int minArea) {
    const int left = std::max(within.x, 0), top = std::max(within.y, 0);
    const int right = std::min(within.x + within.width, shot.width());
    const int bottom = std::min(within.y + within.height, shot.height());
    if (right <= left || bottom <= top) return {};
    const int w = right - left, h = bottom - top;
    std::vector<char> seen(static_cast<std::size_t>(w) * h, 0);
    auto index = [&](int x, int y) { return static_cast<std::size_t>(y - top) * w + (x - left); };
    std::vector<ColourRegion> regions;
    std::vector<std::pair<int, int>> stack;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            if (seen[index(x, y)] || !near(shot.at(x, y), colour)) continue;
            ColourRegion region;
            int minX = x, maxX = x, minY = y, maxY = y;
            seen[index(x, y)] = 1;
            stack.assign(1, {x, y});
            while (!stack.empty()) {
                const auto [px, py] = stack.back();
                stack.pop_back();
                ++region.area;
                minX = std::min(minX, px), maxX = std::max(maxX, px), minY = std::min(minY, py), maxY = std::max(maxY, py);
                for (const auto& [nx, ny] : {std::pair{px + 1, py}, std::pair{px - 1, py}, std::pair{px, py + 1},
                                             std::pair{px, py - 1}}) {
                    if (nx < left || ny < top || nx >= right || ny >= bottom || seen[index(nx, ny)]) continue;
                    if (!near(shot.at(nx, ny), colour)) continue;
                    seen[index(nx, ny)] = 1;
                    stack.emplace_back(nx, ny);
                }
            }
            region.bounds = WindowGeometry{minX, minY, maxX - minX + 1, maxY - minY + 1};
            if (region.area >= minArea) regions.push_back(region);
        }
    }
    std::sort(regions.begin(), regions.end(), [](const auto& a, const auto& b) { return a.area > b.area; });
    return regions;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, int wakeOn) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    const auto began = Clock::now();
    auto deadline = began + timeout;
    bool stretched = false;
    for (;;) {
        const auto asked = Clock::now();
        if (condition()) return true;
        const auto now = Clock::now();
        if (now > deadline) {
            if (stretched) return condition();
            // The timeout is an idle machine's: once it has passed, it is stretched once by
            // how slowly the machine runs now (measured then, so that waits that end in
            // time cost nothing).
            stretched = true;
            deadline += std::chrono::duration_cast<milliseconds>(timeout * (measurePace() - 1.0));
            continue;
        }
        auto pause = std::max({milliseconds(50), std::chrono::duration_cast<milliseconds>(2 * (now - asked)),
                               std::chrono::duration_cast<milliseconds>((now - began) / 10)});
        pause = std::min({pause, milliseconds(2000),
                          std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1)});
        if (wakeOn >= 0) {
            pollfd woken{wakeOn, POLLIN, 0};
            ::poll(&woken, 1, static_cast<int>(pause.count()));
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
}

DesktopSession::DesktopSession(int width, int height) : resources_(fs::path(GW_SOURCE_DIR) / "resources") {
    for (const char* name : {"home", "config", "data", "cache", "runtime", "logs"}) {
        fs::create_directories(dir_ / name);
    }
    fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    // No GLX: the programs draw without OpenGL, and a server that offers it loads a
    // software renderer at each start, a third of a second of processor time.
    xvfb_ = std::make_unique<XvfbServer>(std::vector<std::string>{"-br", "-extension", "GLX"}, width, height);
    if (!xvfb_->running()) {
        failure_ = "Xvfb did not start (is the xvfb package installed?)";
        return;
    }
    // xdotool and import run from this process.
    displayEnv_ = std::make_unique<ScopedEnv>("DISPLAY", xvfb_->display());
    try {
        bus_ = std::make_unique<desktop::PrivateSessionBus>();
    } catch (const std::exception& e) {
        failure_ = e.what();
        return;
    }
    // openbox runs its start-up command once it manages the screen.
    const auto managing = dir_ / "window-manager-ready";
    const pid_t manager = manager_ = launch("openbox", {"--sm-disable", "--startup", "touch " + managing.string()});
    if (manager <= 0 || !waitUntil([&] { return fs::exists(managing) || hasEnded(manager); }, kAppearDeadline) ||
        !fs::exists(managing)) {
        failure_ = "the window manager did not start (is the openbox package installed?)";
    }
}

DesktopSession::~DesktopSession() {
    // Programs first, while their display and bus still exist to end in order on.
    for (auto& [pid, child] : children_) endChild(pid, child);
    if (::testing::Test::HasFailure()) {
        for (const auto& [pid, child] : children_) {
            std::cerr << "--- " << child.name << " (" << pid << ") wrote:\n" << readFile(child.logFile) << "---\n";
        }
    }
    bus_.reset();
    displayEnv_.reset();
    xvfb_.reset();
}

void DesktopSession::endChild(pid_t pid, Child& child) {
    if (child.ended || hasEnded(pid)) {
        ::kill(-pid, SIGKILL);  // whatever it started and left behind
        return;
    }
    ::kill(-pid, SIGTERM);
    if (!awaitEnd(pid, kGrace)) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        child.ended = true;
    }
    ::kill(-pid, SIGKILL);
}

pid_t DesktopSession::launch(const std::string& program, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto name = text.substr(0, text.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || name == "HOME" ||
            name == "GW_RESOURCES_DIR" || name == "SESSION_MANAGER" || name == "DBUS_SESSION_BUS_ADDRESS" ||
            name.rfind("XDG_", 0) == 0)
            continue;
        env.push_back(text);
    }
    env.push_back("DISPLAY=" + xvfb_->display());
    env.push_back("QT_QPA_PLATFORM=xcb");
    if (bus_) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_->address());
    env.push_back("HOME=" + home().string());
    env.push_back("XDG_CONFIG_HOME=" + configHome().string());
    env.push_back("XDG_DATA_HOME=" + dataHome().string());
    env.push_back("XDG_CACHE_HOME=" + (dir_ / "cache").string());
    env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "runtime").string());
    env.push_back("GW_RESOURCES_DIR=" + resources_.string());
    // Qt exposes its widgets only when asked to or when a screen reader is running.
    if (accessible_) env.push_back("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1");
    // An extra entry takes the place of this desktop's own of the same name.
    for (const auto& entry : extraEnvironment) {
        const auto name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& existing) { return existing.rfind(name, 0) == 0; });
        env.push_back(entry);
    }

    const auto name = fs::path(program).filename().string();
    const auto logFile = dir_ / "logs" / (name + "-" + std::to_string(children_.size()) + ".log");
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        // A test process killed at its time limit takes the program along.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_RDONLY);
        if (log < 0 || null < 0 || ::chdir(dir_.path().c_str()) != 0) ::_exit(126);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execvpe(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);  // also from here: no race with an early kill of the group
        children_[pid] = Child{name, logFile, false};
    }
    return pid;
}

bool DesktopSession::hasEnded(pid_t pid) {
    auto found = children_.find(pid);
    if (found == children_.end()) return true;
    if (found->second.ended) return true;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        found->second.ended = true;
        exitStatus_[pid] = WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    return found->second.ended;
}

bool DesktopSession::awaitEnd(pid_t pid, std::chrono::milliseconds timeout) {
    // Readable once the process has ended (a kernel without pidfds: polled).
    const int ended = hasEnded(pid) ? -1 : static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const bool done = waitUntil([&] { return hasEnded(pid); }, timeout, ended);
    if (ended >= 0) ::close(ended);
    return done;
}

std::optional<int> DesktopSession::waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    if (!awaitEnd(pid, timeout)) return std::nullopt;
    const auto status = exitStatus_.find(pid);
    return status == exitStatus_.end() ? std::nullopt : status->second;
}

std::string DesktopSession::log(pid_t pid) const {
    const auto found = children_.find(pid);
    // A program just launched may not have made its log yet.
    std::error_code error;
    if (found == children_.end() || !fs::exists(found->second.logFile, error)) return {};
    return readFile(found->second.logFile);
}

bool DesktopSession::startNotificationServer() {
    const pid_t pid = launch("dunst");
    if (pid <= 0) return false;
    // dunstctl answers once dunst serves its own interface on the bus (it owns the
    // notification name first).
    // (Its complaints while dunst is still starting are of no interest.)
    return waitUntil(
        [&] { return !hasEnded(pid) && run({"sh", "-c", "timeout 30 dunstctl is-paused 2>/dev/null"}).has_value(); },
        kAppearDeadline);
}

bool DesktopSession::startAccessibilityBus() {
    // Where Debian keeps the launcher (at-spi2-core); it owns org.a11y.Bus on the session
    // bus and starts the accessibility bus, whose registry starts on demand.
    std::string launcher;
    for (const char* candidate : {"/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher"}) {
        if (fs::exists(candidate)) launcher = candidate;
    }
    if (launcher.empty() || !bus_) return false;
    const pid_t pid = launch(launcher, {"--launch-immediately"});
    if (pid <= 0) return false;
    accessible_ = waitUntil(
        [&] {
            return !hasEnded(pid) && AccessibilityBus(bus_->address()).connected();
        },
        kAppearDeadline);
    return accessible_;
}

const std::string& DesktopSession::busAddress() const {
    static const std::string none;
    return bus_ ? bus_->address() : none;
}

std::string DesktopSession::notificationHistory() const {
    run(std::chrono::seconds(30), {"dunstctl", "close-all"});
    return run(std::chrono::seconds(30), {"dunstctl", "history"}).value_or(std::string());
}

std::vector<std::string> DesktopSession::visibleWindows(pid_t pid) const { return viewableWindowsOf(pid); }

std::string DesktopSession::firstWindow(pid_t pid, std::chrono::milliseconds timeout) {
    std::string found;
    waitUntil(
        [&] {
            if (hasEnded(pid)) return false;
            // A dialog the program shows at once (a picture it cannot open) may be mapped in
            // the same moment as the main window, and listed before it.
            for (const auto& id : visibleWindows(pid)) {
                if (isTransient(id) == false) {
                    found = id;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

std::optional<std::string> DesktopSession::newWindow(pid_t pid, const std::vector<std::string>& known,
                                                     std::chrono::milliseconds timeout) {
    std::optional<std::string> found;
    waitUntil(
        [&] {
            for (const auto& id : visibleWindows(pid)) {
                if (std::find(known.begin(), known.end(), id) == known.end()) found = id;
            }
            return found.has_value() || hasEnded(pid);
        },
        timeout);
    return found;
}

std::vector<std::string> DesktopSession::visibleWindowsNamed(const std::string& pattern) const {
    const auto out = run(std::chrono::seconds(30), {"xdotool", "search", "--onlyvisible", "--name", pattern});
    return out ? lines(*out) : std::vector<std::string>{};
}

std::string DesktopSession::windowName(const std::string& windowId) const { return windowTitle(windowId); }

std::optional<WindowGeometry> DesktopSession::geometry(const std::string& windowId) const {
    return windowGeometry(windowId);
}

bool DesktopSession::typeKeys(const std::string& windowId, const std::string& keys) const {
    std::vector<std::string> command{"xdotool", "key", "--clearmodifiers"};
    std::istringstream each(keys);
    for (std::string key; each >> key;) command.push_back(key);
    return run(std::chrono::seconds(30), {"xdotool", "windowfocus", "--sync", windowId}) && run(std::chrono::seconds(30), command);
}

bool DesktopSession::clickAt(int x, int y) const {
    // No --sync: it waits for the pointer to move, forever when it is already there (a
    // second click at the same place). The server handles the move before the click anyway.
    return run(std::chrono::seconds(30), {"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"})
        .has_value();
}

std::optional<Screenshot> DesktopSession::screenshot(const std::string& name) const {
    return Screenshot::ofWindow("root", name);
}

}  // namespace gwtest::x11
