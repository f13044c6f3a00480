#include "support/gui/x11_harness.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace gwtest::x11 {

namespace {

template <class Reply>
using ReplyOf = std::unique_ptr<Reply, decltype(&std::free)>;
template <class Reply>
ReplyOf<Reply> owned(Reply* reply) {
    return ReplyOf<Reply>(reply, &std::free);
}

// A connection of its own to the server of DISPLAY, per question: a server of the same
// number may have been started anew since the last one.
class Connection {
public:
    Connection() : c_(xcb_connect(nullptr, nullptr)) {
        if (c_ && !xcb_connection_has_error(c_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    }
    ~Connection() {
        if (c_) xcb_disconnect(c_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return screen_ != nullptr; }
    xcb_connection_t* get() const { return c_; }
    const xcb_screen_t& screen() const { return *screen_; }

    xcb_atom_t atom(const char* name) const {
        const auto reply =
            owned(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

    // A window named as xdotool names it, or "root".
    std::optional<xcb_window_t> window(const std::string& id) const {
        if (!ok()) return std::nullopt;
        if (id == "root") return screen_->root;
        try {
            return static_cast<xcb_window_t>(std::stoul(id, nullptr, 0));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

private:
    xcb_connection_t* c_;
    const xcb_screen_t* screen_ = nullptr;
};

std::optional<std::string> propertyText(const Connection& x, xcb_window_t window, xcb_atom_t property) {
    const auto reply = owned(xcb_get_property_reply(
        x.get(), xcb_get_property(x.get(), 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
    return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

// As xdotool walks the tree: a window's children that match, then each child's subtree in turn.
void collectViewable(const Connection& x, xcb_window_t parent, xcb_atom_t pidAtom, uint32_t pid,
                     std::vector<std::string>& found, int depth) {
    const auto tree = owned(xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), parent), nullptr));
    if (!tree || depth > 64) return;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
    // Every child's questions at once, then the answers.
    std::vector<xcb_get_window_attributes_cookie_t> attributes(count);
    std::vector<xcb_get_property_cookie_t> pids(count);
    for (std::size_t i = 0; i < count; ++i) {
        attributes[i] = xcb_get_window_attributes(x.get(), children[i]);
        pids[i] = xcb_get_property(x.get(), 0, children[i], pidAtom, XCB_ATOM_CARDINAL, 0, 1);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto a = owned(xcb_get_window_attributes_reply(x.get(), attributes[i], nullptr));
        const auto p = owned(xcb_get_property_reply(x.get(), pids[i], nullptr));
        if (a && a->map_state == XCB_MAP_STATE_VIEWABLE && p && p->format == 32 &&
            xcb_get_property_value_length(p.get()) >= 4 &&
            *static_cast<const uint32_t*>(xcb_get_property_value(p.get())) == pid) {
            found.push_back(std::to_string(children[i]));
        }
    }
    for (std::size_t i = 0; i < count; ++i) collectViewable(x, children[i], pidAtom, pid, found, depth + 1);
}

std::optional<WindowGeometry> geometryOf(const Connection& x, xcb_window_t window) {
    const auto g = owned(xcb_get_geometry_reply(x.get(), xcb_get_geometry(x.get(), window), nullptr));
    if (!g) return std::nullopt;
    // As xwininfo does: the corner outside the border, in the root's coordinates.
    const auto border = static_cast<int16_t>(g->border_width);
    const auto at = owned(xcb_translate_coordinates_reply(
        x.get(), xcb_translate_coordinates(x.get(), window, g->root, static_cast<int16_t>(-border), static_cast<int16_t>(-border)),
        nullptr));
    if (!at) return std::nullopt;
    return WindowGeometry{at->dst_x, at->dst_y, g->width, g->height};
}

}  // namespace

std::vector<std::string> viewableWindowsOf(pid_t pid) {
    const Connection x;
    if (!x.ok()) return {};
    std::vector<std::string> found;
    collectViewable(x, x.screen().root, x.atom("_NET_WM_PID"), static_cast<uint32_t>(pid), found, 0);
    return found;
}

std::optional<WindowGeometry> windowGeometry(const std::string& windowId) {
    const Connection x;
    const auto window = x.window(windowId);
    return window ? geometryOf(x, *window) : std::nullopt;
}

std::string windowTitle(const std::string& windowId) {
    const Connection x;
    const auto window = x.window(windowId);
    if (!window) return {};
    auto title = propertyText(x, *window, x.atom("_NET_WM_NAME"));
    if (!title || title->empty()) title = propertyText(x, *window, XCB_ATOM_WM_NAME);
    return title.value_or(std::string());
}

std::optional<bool> isTransient(const std::string& windowId) {
    const Connection x;
    const auto window = x.window(windowId);
    if (!window) return std::nullopt;
    // A window that is gone answers with an error, not with an empty property.
    xcb_generic_error_t* error = nullptr;
    const auto reply = owned(xcb_get_property_reply(
        x.get(), xcb_get_property(x.get(), 0, *window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 0, 1), &error));
    std::free(error);
    if (!reply) return std::nullopt;
    return reply->type == XCB_ATOM_WINDOW && xcb_get_property_value_length(reply.get()) >= 4;
}

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

namespace {

std::optional<std::string> runWithin(const std::vector<std::string>& argv, std::optional<std::chrono::seconds> limit) {
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
    using Clock = std::chrono::steady_clock;
    auto deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    bool timedOut = false;
    for (;;) {
        int wait = -1;
        if (deadline != Clock::time_point::max()) {
            wait = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
        }
        pollfd readable{fds[0], POLLIN, 0};
        const int ready = pid > 0 ? ::poll(&readable, 1, wait) : 1;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            // As timeout(1) does: TERM at the limit (then KILL, should that not end it).
            ::kill(pid, timedOut ? SIGKILL : SIGTERM);
            deadline = timedOut ? Clock::time_point::max() : Clock::now() + std::chrono::seconds(5);
            timedOut = true;
            continue;
        }
        const auto n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<std::string> run(const std::vector<std::string>& argv) { return runWithin(argv, std::nullopt); }

std::optional<std::string> run(std::chrono::seconds limit, const std::vector<std::string>& argv) {
    return runWithin(argv, limit);
}

std::optional<Screenshot> Screenshot::ofWindow(const std::string& windowId, const std::string& name) {
    const Connection x;
    const auto window = x.window(windowId);
    if (!window) return std::nullopt;
    const xcb_screen_t& screen = x.screen();
    // What the screen shows where the window lies, as far as it lies on the screen.
    WindowGeometry area{0, 0, screen.width_in_pixels, screen.height_in_pixels};
    if (*window != screen.root) {
        const auto where = geometryOf(x, *window);
        if (!where) return std::nullopt;
        const int left = std::max(where->x, 0), top = std::max(where->y, 0);
        const int right = std::min(where->x + where->width, area.width), bottom = std::min(where->y + where->height, area.height);
        area = WindowGeometry{left, top, right - left, bottom - top};
    }
    if (area.width <= 0 || area.height <= 0) return std::nullopt;
    auto image = owned(xcb_get_image_reply(
        x.get(),
        xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen.root, static_cast<int16_t>(area.x),
                      static_cast<int16_t>(area.y), static_cast<uint16_t>(area.width), static_cast<uint16_t>(area.height),
                      ~0u),
        nullptr));
    if (!image) return std::nullopt;
    // The root's true-colour visual, 32 bits a pixel, as the test's servers run (24 bits deep).
    const xcb_visualtype_t* visual = nullptr;
    for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem && !visual; xcb_depth_next(&depth)) {
        for (auto v = xcb_depth_visuals_iterator(depth.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen.root_visual) visual = v.data;
        }
    }
    const auto* setup = xcb_get_setup(x.get());
    int bitsPerPixel = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == image->depth) bitsPerPixel = f.data->bits_per_pixel;
    }
    const auto bytes = static_cast<std::size_t>(xcb_get_image_data_length(image.get()));
    const std::size_t stride = static_cast<std::size_t>(area.width) * 4;
    if (!visual || bitsPerPixel != 32 || bytes < stride * static_cast<std::size_t>(area.height)) {
        ADD_FAILURE() << "the X server's screen is not 24-bit true colour at 32 bits a pixel";
        return std::nullopt;
    }
    Screenshot shot;
    shot.file_ = std::filesystem::path(GW_BINARY_DIR) / "test-artifacts" / (name + ".png");
    shot.width_ = area.width;
    shot.height_ = area.height;
    // The server's answer is the picture: read where it is asked for, never copied (a
    // test that waits for something to be drawn photographs the screen again and again).
    shot.data_ = xcb_get_image_data(image.get());
    shot.reply_ = std::shared_ptr<void>(image.release(), &std::free);
    shot.mostSignificantFirst_ = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    shot.shifts_ = {std::countr_zero(visual->red_mask), std::countr_zero(visual->green_mask),
                    std::countr_zero(visual->blue_mask)};
    return shot;
}

bool Screenshot::saveAs(const std::filesystem::path& file) const {
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width_, height_);
    if (!pixbuf) return false;
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* data = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const Rgb c = at(x, y);
            guchar* p = data + static_cast<std::ptrdiff_t>(y) * stride + x * 3;
            p[0] = static_cast<guchar>(c.r), p[1] = static_cast<guchar>(c.g), p[2] = static_cast<guchar>(c.b);
        }
    }
    GError* error = nullptr;
    const bool saved = gdk_pixbuf_save(pixbuf, file.c_str(), "png", &error, nullptr);
    if (error) g_error_free(error);
    g_object_unref(pixbuf);
    return saved;
}

Rgb Screenshot::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
    const uint8_t* p = data_ + (static_cast<std::size_t>(y) * width_ + x) * 4;
    const uint32_t pixel = mostSignificantFirst_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                                                 : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
    return Rgb{static_cast<int>(pixel >> shifts_[0]) & 0xFF, static_cast<int>(pixel >> shifts_[1]) & 0xFF,
               static_cast<int>(pixel >> shifts_[2]) & 0xFF};
}

void Screenshot::keepIfFailed() const {
    if (::testing::Test::HasFailure()) saveAs(file_);
}

bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

}  // namespace gwtest::x11
