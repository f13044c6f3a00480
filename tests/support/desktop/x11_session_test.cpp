// The test desktop itself: its notification server keeps what it was sent, it finds,
// measures and photographs windows as the desktop's tools do, and every program started
// on it ends with it, including one that ignores SIGTERM and what a program started and
// left behind.
#include "support/desktop/x11_session.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>

namespace {

namespace fs = std::filesystem;
using gwtest::x11::DesktopSession;
using gwtest::x11::waitUntil;

// Gone, or a zombie nobody has reaped yet: it runs no more.
bool isGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

TEST(DesktopSession, TheNotificationServerListsWhatItWasSentInItsHistory) {
    DesktopSession session;
    ASSERT_TRUE(session.ready()) << session.failure();
    ASSERT_TRUE(session.startNotificationServer());
    ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"gdbus", "call", "--session", "--dest",
                                  "org.freedesktop.Notifications", "--object-path", "/org/freedesktop/Notifications",
                                  "--method", "org.freedesktop.Notifications.Notify", "tests", "0", "",
                                  "A title", "A subtitle", "[]", "{}", "60000"}));
    std::string history;
    EXPECT_TRUE(waitUntil(
        [&] {
            history = session.notificationHistory();
            return history.find("A title") != std::string::npos && history.find("A subtitle") != std::string::npos;
        },
        gwtest::x11::kAppearDeadline))
        << history;
}

TEST(DesktopSession, AScreenshotShowsAWindowsColouredAreasWhereTheyAre) {
    DesktopSession session;
    ASSERT_TRUE(session.ready()) << session.failure();
    // ImageMagick's viewer names no process on its window: it is found by its title.
    // A picture of a large and a small square of one colour, and a third square of a near
    // but different colour, shown by ImageMagick's viewer at the screen's top left.
    const auto picture = session.root() / "squares.png";
    ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "300x200", "xc:white", "-fill", "#D02080", "-draw",
                                  "rectangle 10,10 109,109", "-draw", "rectangle 200,20 219,39", "-fill", "#D080D0",
                                  "-draw", "rectangle 150,150 189,189", picture.string()}));
    const pid_t viewer = session.launch("display", {"-geometry", "+0+0", picture.string()});
    std::vector<std::string> windows;
    ASSERT_TRUE(waitUntil([&] { return !(windows = session.visibleWindowsNamed("squares")).empty(); },
                          gwtest::x11::kAppearDeadline))
        << session.log(viewer);
    const auto frame = session.geometry(windows.front());
    ASSERT_TRUE(frame);
    std::vector<gwtest::x11::ColourRegion> regions;
    std::optional<gwtest::x11::Screenshot> shot;
    EXPECT_TRUE(waitUntil(
        [&] {
            shot = session.screenshot("squares");
            if (!shot) return false;
            regions = gwtest::x11::regionsOfColour(*shot, {0xD0, 0x20, 0x80}, *frame);
            return regions.size() == 2;
        },
        std::chrono::seconds(60)));
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(regions[0].area, 100 * 100);
    EXPECT_EQ(regions[0].bounds.width, 100);
    EXPECT_EQ(regions[1].area, 20 * 20);
    EXPECT_EQ(regions[1].bounds.x - regions[0].bounds.x, 190);
    // Outside the window nothing is found.
    EXPECT_TRUE(gwtest::x11::regionsOfColour(*shot, {0xD0, 0x20, 0x80}, {1000, 800, 200, 200}).empty());
    shot->keepIfFailed();
}

// The session asks the server itself where the desktop's tools were started once per
// question: it must find, order, name and measure windows as they do, a window framed by
// the window manager included, and photograph a window where it lies.
TEST(DesktopSession, ItFindsAndMeasuresWindowsAsTheDesktopsToolsDo) {
    DesktopSession session;
    ASSERT_TRUE(session.ready()) << session.failure();
    const auto picture = session.root() / "square.png";
    ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "200x150", "xc:white", "-fill", "#D02080", "-draw",
                                  "rectangle 10,20 59,69", picture.string()}));
    const pid_t viewer = session.launch("display", {"-geometry", "+40+30", "-title", "one square", picture.string()});
    std::vector<std::string> windows;
    ASSERT_TRUE(waitUntil([&] { return !(windows = session.visibleWindowsNamed("one square")).empty(); },
                          gwtest::x11::kAppearDeadline))
        << session.log(viewer);
    const auto window = windows.front();
    // The viewer names no process on its window: it is given one, as toolkits do.
    const pid_t named = viewer + 100000;
    ASSERT_TRUE(gwtest::x11::run({"xprop", "-id", window, "-f", "_NET_WM_PID", "32c", "-set", "_NET_WM_PID",
                                  std::to_string(named)}));
    ASSERT_TRUE(waitUntil([&] { return !session.visibleWindows(named).empty(); }, gwtest::x11::kAppearDeadline));
    const auto listed = gwtest::x11::run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(named)});
    ASSERT_TRUE(listed);
    std::string found;
    for (const auto& id : session.visibleWindows(named)) found += id + "\n";
    EXPECT_EQ(found, *listed);
    EXPECT_TRUE(session.visibleWindows(viewer).empty());

    EXPECT_EQ(session.windowName(window) + "\n", gwtest::x11::run({"xdotool", "getwindowname", window}).value_or(""));
    const auto info = gwtest::x11::run({"xwininfo", "-id", window}).value_or("");
    const auto field = [&](const std::string& label) {
        const auto at = info.find(label + ":");
        return at == std::string::npos ? -1 : std::stoi(info.substr(at + label.size() + 1));
    };
    const auto frame = session.geometry(window);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->x, field("Absolute upper-left X"));
    EXPECT_EQ(frame->y, field("Absolute upper-left Y"));
    EXPECT_EQ(frame->width, field("Width"));
    EXPECT_EQ(frame->height, field("Height"));
    // Inside the window manager's frame: below its title bar.
    EXPECT_GT(frame->y, 30);

    std::vector<gwtest::x11::ColourRegion> regions;
    std::optional<gwtest::x11::Screenshot> shot;
    EXPECT_TRUE(waitUntil(
        [&] {
            shot = gwtest::x11::Screenshot::ofWindow(window, "one-square");
            if (!shot) return false;
            regions = gwtest::x11::regionsOfColour(*shot, {0xD0, 0x20, 0x80}, {0, 0, shot->width(), shot->height()});
            return regions.size() == 1;
        },
        std::chrono::seconds(60)));
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->width(), frame->width);
    EXPECT_EQ(shot->height(), frame->height);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].bounds.x, 10);
    EXPECT_EQ(regions[0].bounds.y, 20);
    EXPECT_EQ(regions[0].area, 50 * 50);
    shot->keepIfFailed();
}

TEST(DesktopSession, EveryProgramStartedOnItEndsWithIt) {
    struct Case {
        const char* name;
        const char* script;  // writes the pid of a program it leaves behind to the file $1
    };
    const std::vector<Case> cases = {
        {"ends on SIGTERM", "sleep 600 & echo $! > \"$1\"; wait"},
        {"ignores SIGTERM", "trap '' TERM; sleep 600 & echo $! > \"$1\"; while :; do sleep 1; done"},
        {"ended by itself", "sleep 600 & echo $! > \"$1\"; exit 3"},
    };
    gwtest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto pidFile = dir.path() / (std::string(c.name) + ".pid");
        pid_t program = -1;
        pid_t leftBehind = -1;
        {
            DesktopSession session;
            ASSERT_TRUE(session.ready()) << session.failure();
            program = session.launch("sh", {"-c", c.script, "sh", pidFile.string()});
            ASSERT_GT(program, 0);
            ASSERT_TRUE(waitUntil([&] { return fs::exists(pidFile) && gwtest::readFile(pidFile).ends_with('\n'); },
                                  std::chrono::seconds(60)));
            leftBehind = std::stoi(gwtest::readFile(pidFile));
            if (std::string(c.name) == "ended by itself") {
                EXPECT_EQ(session.waitForExit(program), 3);
            }
            EXPECT_FALSE(isGone(leftBehind));
        }
        EXPECT_TRUE(isGone(program));
        EXPECT_TRUE(waitUntil([&] { return isGone(leftBehind); }, std::chrono::seconds(30)));
    }
}

}  // namespace
