// The test desktop itself: its notification server keeps what it was sent, and every
// program started on it ends with it, including one that ignores SIGTERM and what a
// program started and left behind.
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
    ASSERT_TRUE(gwtest::x11::run({"timeout", "30", "gdbus", "call", "--session", "--dest",
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
