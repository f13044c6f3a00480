// The built window program on a desktop of the test's own, with a saved state that is
// damaged or cannot be saved: what comes back, what the alert over the main window says,
// what is kept, and a quit whose save fails asks before it ends.
#include "saved_state_x11_support.hpp"
#include "support/photo_like_png.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace {

namespace fs = std::filesystem;
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

    struct Alert {
        std::string window;  // as xdotool names it
        std::string text;    // the label that holds what was looked for
    };
    // The alert over `main` once a label in it holds `part` (as a screen reader reads it):
    // its window and that label's text. It must stand centred over the main window.
    std::optional<Alert> alertSaying(pid_t app, const std::string& main, const std::string& part) {
        const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
        std::string text;
        waitUntil(
            [&] {
                for (const auto& window : accessibility.windowsOf(app)) {
                    if (const auto* label = window.find([&](const gwtest::x11::AccessibleElement& e) {
                            return e.showing && e.name.find(part) != std::string::npos;
                        })) {
                        text = label->name;
                    }
                }
                return !text.empty();
            },
            kAppearDeadline);
        const auto alert = text.empty() ? std::nullopt : session_.newWindow(app, {main});
        const auto frame = alert ? session_.geometry(*alert) : std::nullopt, over = session_.geometry(main);
        if (!frame || !over) return std::nullopt;
        const int dx = (frame->x + frame->width / 2) - (over->x + over->width / 2);
        const int dy = (frame->y + frame->height / 2) - (over->y + over->height / 2);
        EXPECT_LE(std::abs(dx) + std::abs(dy), 40) << "the alert is not centred over the main window";
        return Alert{*alert, text};
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

// A quit whose save fails asks first; what comes back of a damaged state and what the alert
// over the main window says of it; a quit or an end nobody asked about that cannot save.
TEST_F(SavedStateDamageOnX11, WhatTheUserSeesOfADamagedStateAndOfASaveThatFails) {
    const std::set<std::string> all{"Alpha", "Beta", "Gamma"};
    const pid_t first = session_.launch(GW_DESKTOP_PATH, pictures({"Alpha", "Beta", "Gamma"}));
    const auto window = session_.firstWindow(first);
    ASSERT_FALSE(window.empty()) << session_.log(first);
    ASSERT_TRUE(showsExactly(first, all, all)) << session_.log(first);
    // A folder where the state belongs: writing it fails.
    fs::create_directories(savedState() / "in the way");
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    const auto failed = alertSaying(first, window, "If you quit now");
    ASSERT_TRUE(failed) << "no alert\n" << session_.log(first);
    EXPECT_NE(failed->text.find("Is a directory"), std::string::npos) << failed->text;
    EXPECT_TRUE(alertSaying(first, window, "Your pictures could not be saved."));
    if (auto shot = session_.screenshot("saved-state-save-failed")) shot->keepIfFailed();
    // Cancel: the window shows again with the pictures in it, and once the way is clear a quit saves.
    ASSERT_TRUE(session_.typeKeys(failed->window, "Escape"));
    EXPECT_TRUE(showsExactly(first, all, all));
    fs::remove_all(savedState());
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    ASSERT_EQ(session_.waitForExit(first), 0) << session_.log(first);

    const std::string whole = gwtest::readFile(savedState());
    std::string betaDamaged = whole;
    betaDamaged[whole.find("\"image\":\"", whole.find("\"imageName\":\"Beta\"")) + 40] = '*';
    struct Case {
        const char* name;
        std::string text;
        std::set<std::string> restored;
        const char* message;
        const char* detail;  // in the label that names where the damaged copy was kept
    };
    const std::vector<Case> cases = {
        {"missing-last-byte", whole.substr(0, whole.size() - 1), all,
         "Your last session was restored from a damaged saved state.", "Every picture came back."},
        {"picture-lost", betaDamaged, {"Alpha", "Gamma"}, "Some pictures of your last session could not be restored.",
         "Not restored: “Beta”."},
        // Zeroes, as a file system may leave a file it had not written out at a crash.
        {"unreadable", std::string(4096, '\0'), {}, "The pictures of your last session could not be restored.",
         "The saved state could not be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::writeFile(savedState(), c.text);
        const pid_t app = session_.launch(GW_DESKTOP_PATH);
        const auto main = session_.firstWindow(app);
        ASSERT_FALSE(main.empty()) << session_.log(app);
        EXPECT_TRUE(showsExactly(app, all, c.restored)) << session_.log(app);
        EXPECT_TRUE(alertSaying(app, main, c.message)) << "no alert says " << c.message;
        const auto alert = alertSaying(app, main, c.detail);
        ASSERT_TRUE(alert) << "no alert says " << c.detail << "\n" << session_.log(app);
        const auto kept = keptCopies();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_NE(alert->text.find(kept.front().string()), std::string::npos) << alert->text;
        if (auto shot = session_.screenshot(std::string("saved-state-") + c.name)) shot->keepIfFailed();
        ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
        // Saved anew beside the damaged copy, which stays as it was.
        EXPECT_EQ(gwtest::readFile(kept.front()), c.text);
        const auto saved = gwtest::readFile(savedState());
        for (const auto& name : c.restored) EXPECT_NE(saved.find("\"imageName\":\"" + name + "\""), std::string::npos);
        fs::remove(kept.front());
    }

    // Quit Anyway ends without the pictures and without a second try; a log-out (SIGTERM)
    // cannot wait for an answer, so the end goes on and says why on standard error.
    for (const bool asked : {true, false}) {
        SCOPED_TRACE(asked ? "Quit Anyway" : "SIGTERM");
        fs::remove_all(savedState());
        const pid_t app = session_.launch(GW_DESKTOP_PATH, pictures({"Delta", "Epsilon"}));
        const auto main = session_.firstWindow(app);
        ASSERT_FALSE(main.empty()) << session_.log(app);
        ASSERT_TRUE(showsExactly(app, {"Delta", "Epsilon"}, {"Delta", "Epsilon"})) << session_.log(app);
        fs::create_directories(savedState() / "in the way");
        if (asked) {
            ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
            const auto alert = alertSaying(app, main, "If you quit now");
            ASSERT_TRUE(alert) << "no alert\n" << session_.log(app);
            ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        } else {
            ASSERT_EQ(::kill(app, SIGTERM), 0);
        }
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
        EXPECT_EQ(session_.log(app).find("The pictures could not be saved at the end") == std::string::npos, asked)
            << session_.log(app);
    }
}

}  // namespace
