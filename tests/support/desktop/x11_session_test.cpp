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
