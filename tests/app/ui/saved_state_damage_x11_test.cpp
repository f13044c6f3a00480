// The built window program with a saved state that is damaged, cut short or cannot be
// saved, on a desktop of the test's own: the pictures that can be read come back, an
// alert over the main window says what could not and where the damaged file was kept,
// the next quit saves beside that copy instead of over it, temporaries of saves cut short
// go at the start (one still locked by its writer stays), and a quit whose save fails
// asks before it ends.
#include "saved_state_x11_support.hpp"
#include "support/photo_like_png.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using gwtest::x11::AccessibleElement;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::waitUntil;

class SavedStateDamageOnX11 : public gwtest::ui::SavedStateDesktopTest {
protected:
    // Picture files of their own under `names`.
    std::vector<std::string> pictures(const std::vector<std::string>& names) const {
        std::vector<std::string> files;
        std::uint32_t seed = 1;
        for (const auto& name : names) {
            files.push_back((session_.root() / (name + ".png")).string());
            std::ofstream(files.back(), std::ios::binary) << gwtest::photoLikePng(64, seed++);
        }
        return files;
    }

    bool showsExactly(pid_t app, const std::set<std::string>& candidates, const std::set<std::string>& expected) {
        return SavedStateDesktopTest::showsExactly(app, candidates, expected, std::chrono::seconds(120));
    }

    struct Alert {
        std::string window;  // as xdotool names it
        std::string text;    // the label that holds what was looked for
    };
    // The program's window showing a text that holds `part` (an alert), found by what a
    // screen reader reads in it; checked to stand centred over the main window.
    std::optional<Alert> alertSaying(pid_t app, const std::string& main, const std::string& part) {
        const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
        std::optional<Alert> found;
        std::optional<gwtest::x11::WindowGeometry> frame;
        waitUntil(
            [&] {
                for (const auto& window : accessibility.windowsOf(app)) {
                    const auto* label = window.find([&](const AccessibleElement& e) {
                        return e.showing && e.name.find(part) != std::string::npos;
                    });
                    if (!label) continue;
                    for (const auto& id : session_.visibleWindows(app)) {
                        const auto geometry = session_.geometry(id);
                        if (id != main && geometry && geometry->contains(label->extents.x, label->extents.y)) {
                            found = Alert{id, label->name};
                            frame = geometry;
                            return true;
                        }
                    }
                }
                return false;
            },
            kAppearDeadline);
        const auto mainFrame = session_.geometry(main);
        if (found && mainFrame) {
            const int dx = (frame->x + frame->width / 2) - (mainFrame->x + mainFrame->width / 2);
            const int dy = (frame->y + frame->height / 2) - (mainFrame->y + mainFrame->height / 2);
            EXPECT_LE(std::abs(dx) + std::abs(dy), 40) << "the alert is not centred over the main window";
        }
        return found;
    }

    // The program's visible windows, in order.
    std::vector<std::string> windowsOf(pid_t app) const {
        auto windows = session_.visibleWindows(app);
        std::sort(windows.begin(), windows.end());
        return windows;
    }

    // The saved-state copies kept aside as damaged.
    std::vector<fs::path> keptCopies() const {
        std::vector<fs::path> kept;
        for (const auto& entry : fs::directory_iterator(savedState().parent_path())) {
            if (entry.path().filename().string().rfind("saved_glyphwright.damaged-", 0) == 0) kept.push_back(entry.path());
        }
        return kept;
    }

};

// A file of that name, held under a write lock of this process as a save under way holds
// its temporary file.
struct LockedTemporary {
    explicit LockedTemporary(const fs::path& path) : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        locked = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
    }
    ~LockedTemporary() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
    bool locked = false;
};

TEST_F(SavedStateDamageOnX11, WhatCanBeReadComesBackTheAlertSaysWhatWasLostAndTheDamagedFileIsKept) {
    const std::set<std::string> all{"Alpha", "Beta", "Gamma"};
    {
        const pid_t app = session_.launch(GW_DESKTOP_PATH, pictures({"Alpha", "Beta", "Gamma"}));
        const auto window = session_.firstWindow(app);
        ASSERT_FALSE(window.empty()) << session_.log(app);
        ASSERT_TRUE(showsExactly(app, all, all)) << session_.log(app);
        ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
        ASSERT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    }
    const std::string whole = gwtest::readFile(savedState());
    std::string betaDamaged = whole;
    const auto beta = whole.find("\"image\":\"", whole.find("\"imageName\":\"Beta\"")) + 9;
    betaDamaged[beta + 30] = '*';

    struct Case {
        const char* name;
        std::string text;
        std::set<std::string> restored;
        std::string alertSays;
    };
    const std::vector<Case> cases = {
        {"missing-last-byte", whole.substr(0, whole.size() - 1), all, "Every picture came back."},
        {"beta-damaged", betaDamaged, {"Alpha", "Gamma"}, "Not restored: “Beta”."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::writeFile(savedState(), c.text);
        // What a killed save leaves beside the state, and what a save under way holds.
        const auto stale = savedState().parent_path() / ".saved_glyphwright.Stale1";
        gwtest::writeFile(stale, std::string(1 << 20, 'x'));
        const LockedTemporary underWay(savedState().parent_path() / ".saved_glyphwright.Busy22");
        ASSERT_TRUE(underWay.locked);
        const auto keptBefore = keptCopies();

        const pid_t app = session_.launch(GW_DESKTOP_PATH);
        const auto window = session_.firstWindow(app);
        ASSERT_FALSE(window.empty()) << session_.log(app);
        EXPECT_TRUE(showsExactly(app, all, c.restored)) << session_.log(app);
        const auto alert = alertSaying(app, window, c.alertSays);
        ASSERT_TRUE(alert) << "no alert says " << c.alertSays << "\n" << session_.log(app);
        std::vector<fs::path> added;
        for (const auto& copy : keptCopies()) {
            if (std::find(keptBefore.begin(), keptBefore.end(), copy) == keptBefore.end()) added.push_back(copy);
        }
        ASSERT_EQ(added.size(), 1u);
        EXPECT_NE(alert->text.find(added.front().string()), std::string::npos) << alert->text;
        RecordProperty(std::string(c.name) + "_alert", alert->text);
        if (auto shot = session_.screenshot(std::string("saved-state-") + c.name)) shot->keepIfFailed();
        EXPECT_FALSE(fs::exists(stale));
        EXPECT_TRUE(fs::exists(savedState().parent_path() / ".saved_glyphwright.Busy22"));

        ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
        // Saved anew beside the damaged copy, which stays as it was.
        EXPECT_EQ(gwtest::readFile(added.front()), c.text);
        EXPECT_NE(gwtest::readFile(savedState()).find("\"imageName\":\"Gamma\""), std::string::npos);
        fs::remove(savedState().parent_path() / ".saved_glyphwright.Busy22");
    }
}

TEST_F(SavedStateDamageOnX11, AQuitWhoseSaveFailsAsksFirstAndAnEndNobodyAskedAboutIsNotHeldUp) {
    const std::set<std::string> names{"Delta", "Epsilon"};
    const auto files = pictures({"Delta", "Epsilon"});
    const pid_t app = session_.launch(GW_DESKTOP_PATH, files);
    const auto window = session_.firstWindow(app);
    ASSERT_FALSE(window.empty()) << session_.log(app);
    ASSERT_TRUE(showsExactly(app, names, names)) << session_.log(app);
    // A folder where the state belongs: writing it fails.
    fs::create_directories(savedState() / "in the way");

    const auto shown = windowsOf(app);
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    auto alert = alertSaying(app, window, "If you quit now");
    ASSERT_TRUE(alert) << "no alert\n" << session_.log(app);
    EXPECT_NE(alert->text.find("Is a directory"), std::string::npos) << alert->text;
    EXPECT_TRUE(alertSaying(app, window, "Your pictures could not be saved."));
    RecordProperty("save_failed_alert", alert->text);
    if (auto shot = session_.screenshot("saved-state-save-failed")) shot->keepIfFailed();
    // Cancel: the windows stay, the pictures in them.
    ASSERT_TRUE(session_.typeKeys(alert->window, "Escape"));
    EXPECT_TRUE(waitUntil([&] { return windowsOf(app) == shown; }, kAppearDeadline));
    EXPECT_FALSE(session_.hasEnded(app));
    EXPECT_TRUE(showsExactly(app, names, names));

    // Quit Anyway: ended, the folder left as it was and nothing beside it.
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    alert = alertSaying(app, window, "If you quit now");
    ASSERT_TRUE(alert) << "no alert\n" << session_.log(app);
    ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    EXPECT_TRUE(fs::is_directory(savedState() / "in the way"));
    for (const auto& entry : fs::directory_iterator(savedState().parent_path())) {
        EXPECT_EQ(entry.path().filename().string().rfind(".saved_glyphwright.", 0), std::string::npos) << entry.path();
    }

    // A log-out (SIGTERM) cannot wait for an answer: the end goes on, and says why.
    const pid_t second = session_.launch(GW_DESKTOP_PATH, files);
    ASSERT_FALSE(session_.firstWindow(second).empty()) << session_.log(second);
    ASSERT_TRUE(showsExactly(second, names, names)) << session_.log(second);
    ASSERT_EQ(::kill(second, SIGTERM), 0);
    EXPECT_EQ(session_.waitForExit(second), 0) << session_.log(second);
    EXPECT_NE(session_.log(second).find("The pictures could not be saved at the end"), std::string::npos)
        << session_.log(second);
}

}  // namespace
