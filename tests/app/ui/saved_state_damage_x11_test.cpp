// The built window program on a desktop of the test's own, with a saved state that is
// damaged or cannot be saved: what comes back, what the alert over the main window says,
// what is kept, and a quit whose save fails asks before it ends.
#include "saved_state_x11_support.hpp"
#include "support/permission_bound.hpp"
#include "support/photo_like_png.hpp"
#include "support/temp_dir.hpp"

#include <fmt/format.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::waitUntil;

std::string describe(const gwtest::x11::WindowGeometry& frame) {
    return fmt::format("the window at {},{} {}x{}", frame.x, frame.y, frame.width, frame.height);
}

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
        gwtest::x11::WindowGeometry where;
        waitUntil(
            [&] {
                for (const auto& window : accessibility.windowsOf(app, gwtest::x11::AccessibilityBus::Elements::Showing)) {
                    if (const auto* label = window.find([&](const gwtest::x11::AccessibleElement& e) {
                            return e.showing && e.name.find(part) != std::string::npos;
                        })) {
                        text = label->name;
                        where = window.extents;
                    }
                }
                return !text.empty();
            },
            kAppearDeadline);
        if (text.empty()) return std::nullopt;
        // Of the program's other windows (a panel may have opened beside the main window),
        // the one where the screen reader finds the label.
        std::optional<std::string> alert;
        waitUntil(
            [&] {
                for (const auto& id : session_.visibleWindows(app)) {
                    const auto frame = id == main ? std::nullopt : session_.geometry(id);
                    if (frame && std::abs(frame->x - where.x) + std::abs(frame->y - where.y) +
                                         std::abs(frame->width - where.width) <= 40) {
                        alert = id;
                    }
                }
                return alert.has_value();
            },
            kAppearDeadline);
        if (!alert) return std::nullopt;
        // Where the window manager has the two now (either may still be on its way there).
        std::optional<gwtest::x11::WindowGeometry> frame, over;
        const auto centred = [&] {
            frame = session_.geometry(*alert);
            over = session_.geometry(main);
            return frame && over &&
                   std::abs((frame->x + frame->width / 2) - (over->x + over->width / 2)) +
                           std::abs((frame->y + frame->height / 2) - (over->y + over->height / 2)) <= 40;
        };
        EXPECT_TRUE(waitUntil(centred, kAppearDeadline))
            << "the alert is not centred over the main window: " << (frame ? describe(*frame) : "none") << ", "
            << (over ? describe(*over) : "none");
        return Alert{*alert, text};
    }

    // Clicks the button of that name in a window of the program, as a user does.
    bool clickButton(pid_t app, const std::string& name) {
        const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
        std::optional<gwtest::x11::AccessibleElement> button;
        waitUntil(
            [&] {
                for (const auto& window : accessibility.windowsOf(app, gwtest::x11::AccessibilityBus::Elements::Showing)) {
                    if (const auto* found = window.find([&](const gwtest::x11::AccessibleElement& e) {
                            return e.showing && e.role == "push button" && e.name == name && e.extents.width > 0;
                        })) {
                        button = *found;
                    }
                }
                return button.has_value();
            },
            kAppearDeadline);
        return button && session_.clickAt(button->extents.x + button->extents.width / 2,
                                          button->extents.y + button->extents.height / 2);
    }

    // The names of the pictures of the saved state, in order.
    std::vector<std::string> savedNames() const {
        std::vector<std::string> names;
        const auto text = gwtest::readFile(savedState());
        const std::string key = "\"imageName\":\"";
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
            const auto start = at + key.size();
            names.push_back(text.substr(start, text.find('"', start) - start));
        }
        return names;
    }

    // Holds the lock of the saved state's folder, as a save under way does: a quit's save
    // waits for it.
    struct StateFolderHeld {
        explicit StateFolderHeld(const fs::path& folder) : fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(::flock(fd, LOCK_EX), 0);
        }
        ~StateFolderHeld() { release(); }
        void release() {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
        int fd;
    };

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
    std::string commaRemoved = whole;
    commaRemoved.erase(whole.find(",{", whole.find("\"imageName\":\"Alpha\"")), 1);
    // Twelve places that look like pictures named "n", nested, damaged at the core.
    std::string nestedAfterAlpha = whole;
    {
        std::string damage;
        for (int i = 0; i < 12; ++i) damage += R"({"imageWrapper":0,"imageName":"n","n":)";
        damage += "x" + std::string(12, '}') + ",";
        nestedAfterAlpha.insert(whole.find(",{", whole.find("\"imageName\":\"Alpha\"")) + 1, damage);
    }
    const auto handed = pictures({"Handed"}).front();
    const auto notAPicture = (session_.root() / "Notes.png").string(), another = (session_.root() / "More.png").string();
    gwtest::writeFile(notAPicture, "a few words, no picture");
    gwtest::writeFile(another, "more words");
    struct Case {
        const char* name;
        std::string text;
        std::set<std::string> restored;
        const char* message;
        const char* detail;  // in the label that names where the damaged copy was kept
        std::vector<std::string> handedOver = {};
        bool damaged = true;
    };
    const std::vector<Case> cases = {
        {"missing-last-byte", whole.substr(0, whole.size() - 1), all,
         "Your last session was restored from a damaged saved state.", "Every picture came back."},
        {"picture-lost", betaDamaged, {"Alpha", "Gamma"}, "Some pictures of your last session could not be restored.",
         "Not restored: “Beta”."},
        // However many are lost, the alert names ten and counts the others.
        {"many-lost", nestedAfterAlpha, all, "Some pictures of your last session could not be restored.",
         "“n”, “n”, “n”, “n”, “n”, “n”, “n”, “n”, “n”, “n” and 2 more."},
        // One comma gone between two pictures costs none of the pictures after it.
        {"comma-removed", commaRemoved, all, "Your last session was restored from a damaged saved state.",
         "Every picture came back."},
        // Zeroes, as a file system may leave a file it had not written out at a crash.
        {"unreadable", std::string(4096, '\0'), {}, "The pictures of your last session could not be restored.",
         "The saved state could not be read"},
        // What a file manager does: a picture handed over opens its panel beside the main
        // window while the alert shows; the alert keeps the keyboard.
        {"picture-handed-over", whole.substr(0, whole.size() - 1), {"Alpha", "Beta", "Gamma", "Handed"},
         "Your last session was restored from a damaged saved state.", "Every picture came back.", {handed}},
        // A file that is no picture is told, with a state or without one.
        {"no-picture-handed-over", whole, all, "The image could not be added.", "it could not be read as a picture",
         {notAPicture}, false},
        {"no-picture-handed-over-without-a-state", "", {}, "The image could not be added.", "The file is not a picture",
         {notAPicture}, false},
    };
    std::set<std::string> candidates = all;
    candidates.insert("Handed");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.text.empty()) {
            fs::remove(savedState());
        } else {
            gwtest::writeFile(savedState(), c.text);
        }
        const pid_t app = session_.launch(GW_DESKTOP_PATH, c.handedOver);
        const auto main = session_.firstWindow(app);
        ASSERT_FALSE(main.empty()) << session_.log(app);
        EXPECT_TRUE(showsExactly(app, candidates, c.restored)) << session_.log(app);
        EXPECT_TRUE(alertSaying(app, main, c.message)) << "no alert says " << c.message;
        const auto alert = alertSaying(app, main, c.detail);
        ASSERT_TRUE(alert) << "no alert says " << c.detail << "\n" << session_.log(app);
        const auto kept = keptCopies();
        ASSERT_EQ(kept.size(), c.damaged ? 1u : 0u);
        if (c.damaged) {
            EXPECT_NE(alert->text.find(kept.front().string()), std::string::npos) << alert->text;
        }
        if (auto shot = session_.screenshot(std::string("saved-state-") + c.name)) shot->keepIfFailed();
        ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
        // Saved anew beside the damaged copy, which stays as it was.
        if (c.damaged) {
            EXPECT_EQ(gwtest::readFile(kept.front()), c.text);
        }
        const auto saved = gwtest::readFile(savedState());
        for (const auto& name : c.restored) EXPECT_NE(saved.find("\"imageName\":\"" + name + "\""), std::string::npos);
        for (const auto& copy : kept) fs::remove(copy);
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
            auto alert = alertSaying(app, main, "If you quit now");
            ASSERT_TRUE(alert) << "no alert\n" << session_.log(app);
            // Return is Cancel: one key does not throw the pictures away.
            ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
            EXPECT_TRUE(showsExactly(app, {"Delta", "Epsilon"}, {"Delta", "Epsilon"})) << session_.log(app);
            EXPECT_FALSE(session_.hasEnded(app));
            ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
            alert = alertSaying(app, main, "If you quit now");
            ASSERT_TRUE(alert) << "no alert\n" << session_.log(app);
            ASSERT_TRUE(clickButton(app, "Quit Anyway"));
        } else {
            ASSERT_EQ(::kill(app, SIGTERM), 0);
        }
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
        EXPECT_EQ(session_.log(app).find("The pictures could not be saved at the end") == std::string::npos, asked)
            << session_.log(app);
    }
}

}  // namespace

namespace {

// Pictures of one colour each, so that a screenshot tells which are shown.
std::vector<std::string> colourPictures(const gwtest::x11::DesktopSession& session,
                                        const std::vector<std::pair<std::string, std::string>>& namesAndColours) {
    std::vector<std::string> files;
    for (const auto& [name, colour] : namesAndColours) {
        files.push_back((session.root() / (name + ".png")).string());
        EXPECT_TRUE(gwtest::x11::run({"convert", "-size", "96x96", "xc:" + colour, "PNG24:" + files.back()}));
    }
    return files;
}

bool overlap(const gwtest::x11::WindowGeometry& a, const gwtest::x11::WindowGeometry& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// Whether a window shows an area of `colour` (a picture of that colour in its list).
bool showsColour(const std::string& window, gwtest::x11::Rgb colour) {
    return waitUntil(
        [&] {
            const auto shot = gwtest::x11::Screenshot::ofWindow(window, "instance-colours");
            return shot && !gwtest::x11::regionsOfColour(*shot, colour, {0, 0, shot->width(), shot->height()}, 400).empty();
        },
        kAppearDeadline);
}

// A second launch of the window program, as a file manager makes it, hands its files to the
// running window (on the session bus, or through the runtime folder without one) and ends;
// the window opens them and comes back to the front; the quit keeps every picture.
TEST_F(SavedStateDamageOnX11, ASecondLaunchHandsItsPicturesToTheRunningWindowAndEnds) {
    constexpr gwtest::x11::Rgb kBlue{0x20, 0x40, 0xE0}, kGreen{0x20, 0xC0, 0x40};
    for (const bool bus : {true, false}) {
        SCOPED_TRACE(bus ? "on the session bus" : "without a session bus");
        fs::remove(savedState());
        const std::vector<std::string> environment =
            bus ? std::vector<std::string>{} : std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS="};
        const pid_t first = session_.launch(
            GW_DESKTOP_PATH, colourPictures(session_, {{"Red", "#E02020"}, {"Green", "#20C040"}}), environment);
        const auto window = session_.firstWindow(first);
        ASSERT_FALSE(window.empty()) << session_.log(first);
        ASSERT_TRUE(showsColour(window, kGreen)) << session_.log(first);
        const auto before = gwtest::x11::Screenshot::ofWindow(window, "instance-before");
        ASSERT_TRUE(before);
        EXPECT_TRUE(gwtest::x11::regionsOfColour(*before, kBlue, {0, 0, before->width(), before->height()}, 400).empty());
        // Put away: the second start brings the window back.
        ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "windowminimize", "--sync", window}));
        const pid_t second = session_.launch(GW_DESKTOP_PATH, colourPictures(session_, {{"Blue", "#2040E0"}}), environment);
        EXPECT_EQ(session_.waitForExit(second), 0) << session_.log(second);
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto shown = session_.visibleWindows(first);
                return std::find(shown.begin(), shown.end(), window) != shown.end();
            },
            kAppearDeadline))
            << "the window did not come back";
        EXPECT_TRUE(showsColour(window, kBlue)) << session_.log(first);
        // The panel that opens with the picture lies beside the window, not over it.
        const auto main = session_.geometry(window);
        ASSERT_TRUE(main);
        for (const auto& other : session_.visibleWindows(first)) {
            const auto frame = other == window ? std::nullopt : session_.geometry(other);
            EXPECT_TRUE(!frame || !overlap(*frame, *main)) << describe(*frame) << " lies over " << describe(*main);
        }
        ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(first), 0) << session_.log(first);
        EXPECT_EQ(savedNames(), (std::vector<std::string>{"Green", "Red", "Blue"}));
    }
}

// Files handed over that could not be added, one a request, gather in the one alert open
// over the window, whether they are missing or no pictures, also in single-image mode
// (where each file that was no picture opened an alert of its own: 53 windows for 200):
// two hundred requests open no more windows than one does, the alert names the first
// files and counts the others.
TEST_F(SavedStateDamageOnX11, FilesOfManyRequestsThatCannotBeAddedGatherInOneAlert) {
    for (const bool pictures : {false, true}) {
        const char* kind = pictures ? "Notes" : "Missing";
        SCOPED_TRACE(kind);
        fs::remove(savedState());
        const pid_t app = session_.launch(GW_DESKTOP_PATH);
        const auto main = session_.firstWindow(app);
        ASSERT_FALSE(main.empty()) << session_.log(app);
        GError* error = nullptr;
        GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
            session_.busAddress().c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        ASSERT_TRUE(bus) << error->message;
        constexpr int kRequests = 200;
        for (int i = 0; i < kRequests; ++i) {
            const auto file = session_.root() / fmt::format("{}-{:03}.png", kind, i);
            if (pictures) gwtest::writeFile(file, "a few words, no picture");
            const std::string uri = "file://" + file.string();
            const char* uris[] = {uri.c_str(), nullptr};
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "com.norvane.glyphwright", "/com/norvane/glyphwright", "org.freedesktop.Application", "Open",
                g_variant_new("(^asa{sv})", uris, nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, &error);
            ASSERT_TRUE(reply) << error->message;
            g_variant_unref(reply);
        }
        g_object_unref(bus);
        const auto alert = alertSaying(app, main, "and 190 more");
        ASSERT_TRUE(alert) << session_.log(app);
        EXPECT_NE(alert->text.find(fmt::format("{}-000.png", kind)), std::string::npos) << alert->text;
        EXPECT_NE(alert->text.find(fmt::format("{}-009.png", kind)), std::string::npos) << alert->text;
        EXPECT_EQ(alert->text.find(fmt::format("{}-010.png", kind)), std::string::npos) << alert->text;
        EXPECT_LE(session_.visibleWindows(app).size(), 2u);
        if (auto shot = session_.screenshot(fmt::format("{}-files-gathered", kind))) shot->keepIfFailed();
        ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    }
}

// A window manager slow to place the main window at the start (held up here until the
// program has asked for what it shows beside or over the window: the panel of a selected
// picture, the alerts of files that are no pictures): each waits for the window and opens
// beside it, or centred over it. An alert waits only so long: held up longer than that, the
// window manager finds the alert open already, and it comes over the window once that is
// placed.
TEST_F(SavedStateDamageOnX11, WhatOpensBeforeTheWindowManagerPlacesTheWindowOpensBesideOrOverIt) {
    const auto notAPicture = (session_.root() / "Notes.png").string(), another = (session_.root() / "More.png").string();
    gwtest::writeFile(notAPicture, "a few words, no picture");
    gwtest::writeFile(another, "more words");
    enum class Held { untilTheWindowIsMade, untilThePicturesAreIn, untilTheAlertIsOpen };
    struct Case {
        const char* name;
        std::vector<std::string> files;
        const char* alert;  // null: a panel opens beside the window
        Held held;          // how long the window manager is held up
    };
    const std::vector<Case> cases = {
        {"a panel", pictures({"East", "West"}), nullptr, Held::untilThePicturesAreIn},
        {"an alert of a file", {notAPicture}, "The image could not be added.", Held::untilTheAlertIsOpen},
        {"an alert of files", {notAPicture, another}, "Some files could not be added.", Held::untilTheWindowIsMade},
    };
    const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(savedState());
        ASSERT_EQ(::kill(session_.windowManager(), SIGSTOP), 0);
        const pid_t app = session_.launch(GW_DESKTOP_PATH, c.files);
        // What the program has asked for, as a screen reader finds it: its window, the
        // pictures' rows (the panel of the selected one is asked for with them), the alert.
        const auto shows = [&](const std::string& name) {
            return waitUntil(
                [&] {
                    for (const auto& window : accessibility.windowsOf(app, gwtest::x11::AccessibilityBus::Elements::Showing)) {
                        if (window.find([&](const auto& e) { return e.showing && e.name.find(name) != std::string::npos; }))
                            return true;
                    }
                    return false;
                },
                kAppearDeadline);
        };
        bool asked = shows("Create Asset Catalog");
        if (c.held == Held::untilThePicturesAreIn) asked = asked && shows("East") && shows("West");
        if (c.held == Held::untilTheAlertIsOpen) asked = asked && shows(c.alert);
        ASSERT_EQ(::kill(session_.windowManager(), SIGCONT), 0);
        ASSERT_TRUE(asked) << session_.log(app);
        const auto main = session_.firstWindow(app);
        ASSERT_FALSE(main.empty()) << session_.log(app);
        if (c.alert) {
            // Centred over the window, or no alert is found.
            const auto alert = alertSaying(app, main, c.alert);
            ASSERT_TRUE(alert) << session_.log(app);
            ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
        } else {
            const auto panel = session_.newWindow(app, {main});
            ASSERT_TRUE(panel) << session_.log(app);
            const auto mainFrame = session_.geometry(main), panelFrame = session_.geometry(*panel);
            ASSERT_TRUE(mainFrame && panelFrame);
            EXPECT_TRUE(!overlap(*mainFrame, *panelFrame)) << describe(*panelFrame) << " lies over " << describe(*mainFrame);
        }
        ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    }
}

// A launch that comes while the running window saves its quit (held here for as long as
// the test likes) waits for the end, shows no window meanwhile, and then starts with what
// was saved, its own picture added.
TEST_F(SavedStateDamageOnX11, ALaunchDuringASlowQuitWaitsForItAndStartsWithWhatWasSaved) {
    const std::set<std::string> names{"Early", "Earlier", "Late"};
    const pid_t first = session_.launch(GW_DESKTOP_PATH, pictures({"Earlier", "Early"}));
    const auto window = session_.firstWindow(first);
    ASSERT_FALSE(window.empty()) << session_.log(first);
    ASSERT_TRUE(showsExactly(first, names, {"Earlier", "Early"})) << session_.log(first);
    fs::create_directories(savedState().parent_path());
    pid_t second = -1;
    {
        StateFolderHeld held(savedState().parent_path());
        ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
        ASSERT_TRUE(waitUntil([&] { return session_.visibleWindows(first).empty(); }, kAppearDeadline));
        second = session_.launch(GW_DESKTOP_PATH, pictures({"Late"}));
        EXPECT_TRUE(waitUntil([&] { return session_.log(second).find("this start waits") != std::string::npos; },
                              kAppearDeadline))
            << session_.log(second);
        EXPECT_TRUE(session_.visibleWindows(second).empty());
        EXPECT_FALSE(session_.hasEnded(first));
        EXPECT_FALSE(session_.hasEnded(second));
    }
    EXPECT_EQ(session_.waitForExit(first), 0) << session_.log(first);
    const auto later = session_.firstWindow(second);
    ASSERT_FALSE(later.empty()) << session_.log(second);
    EXPECT_TRUE(showsExactly(second, names, names)) << session_.log(second);
    ASSERT_TRUE(session_.typeKeys(later, "ctrl+q"));
    EXPECT_EQ(session_.waitForExit(second), 0) << session_.log(second);
    EXPECT_EQ(savedNames(), (std::vector<std::string>{"Earlier", "Early", "Late"}));
}

// Forty pictures, most rows never drawn, their files then touched (same bytes, a new time)
// or moved away: a quit saves every picture it can (a touched file still holds the
// picture's bytes) and names each of the others with why; Return keeps the window with
// them, Quit Anyway ends with the others saved.
TEST_F(SavedStateDamageOnX11, AQuitSavesEveryPictureItCanAndNamesTheOthers) {
    std::vector<std::string> names;
    for (int i = 1; i <= 40; ++i) names.push_back(fmt::format("Pic{:02}", i));
    const auto files = pictures(names);
    const pid_t app = session_.launch(GW_DESKTOP_PATH, files);
    const auto main = session_.firstWindow(app);
    ASSERT_FALSE(main.empty()) << session_.log(app);
    // Every row is in the list, shown or not.
    const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
    ASSERT_TRUE(waitUntil(
        [&] {
            std::set<std::string> listed;
            for (const auto& window : accessibility.windowsOf(app)) {
                window.find([&](const gwtest::x11::AccessibleElement& e) {
                    if (e.name.rfind("Pic", 0) == 0 && e.name.size() == 5) listed.insert(e.name);
                    return false;
                });
            }
            return listed.size() == names.size();
        },
        std::chrono::seconds(240)))
        << session_.log(app);
    std::set<std::string> touched, moved;
    const auto away = session_.root() / "moved";
    fs::create_directories(away);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i % 2 == 0) {
            fs::last_write_time(files[i], fs::last_write_time(files[i]) + std::chrono::hours(1));
            touched.insert(names[i]);
        } else {
            fs::rename(files[i], away / fs::path(files[i]).filename());
            moved.insert(names[i]);
        }
    }
    ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
    auto alert = alertSaying(app, main, "Some pictures could not be saved.");
    ASSERT_TRUE(alert) << session_.log(app);
    const auto told = alertSaying(app, main, "is no longer there");
    ASSERT_TRUE(told) << session_.log(app);
    EXPECT_EQ(told->text.find("\\x0a"), std::string::npos) << "the pictures are not one a line: " << told->text;
    std::set<std::string> named;
    for (const auto& name : names) {
        if (told->text.find("“" + name + "”") != std::string::npos) named.insert(name);
    }
    EXPECT_FALSE(named.empty());
    for (const auto& name : named) EXPECT_TRUE(moved.count(name)) << name << " is named, but its file is in place";
    if (auto shot = session_.screenshot("saved-state-unsaved-named")) shot->keepIfFailed();
    // Return is Cancel: the window stays with every picture.
    ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
    EXPECT_TRUE(waitUntil([&] { return !session_.visibleWindows(app).empty(); }, kAppearDeadline));
    EXPECT_FALSE(session_.hasEnded(app));
    ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
    ASSERT_TRUE(alertSaying(app, main, "Some pictures could not be saved.")) << session_.log(app);
    ASSERT_TRUE(clickButton(app, "Quit Anyway"));
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    const auto saved = savedNames();
    const std::set<std::string> kept(saved.begin(), saved.end());
    for (const auto& name : names) {
        EXPECT_NE(kept.count(name), named.count(name)) << name << " is " << (kept.count(name) ? "both saved and named" : "neither saved nor named");
    }
    for (const auto& name : touched) EXPECT_TRUE(kept.count(name)) << name;
}

// A damaged state in a folder that is read-only at the start cannot be moved aside: the
// alert says so and that the pictures will be saved beside it; once the folder is writable
// again, the quit moves it aside first, and the pictures are saved in the state's place.
TEST_F(SavedStateDamageOnX11, ADamagedStateInAReadOnlyFolderIsSetAsideBeforeTheQuitReplacesIt) {
    if (!gwtest::runWherePermissionsBind()) return;
    const std::set<std::string> all{"North", "South"};
    const pid_t first = session_.launch(GW_DESKTOP_PATH, pictures({"North", "South"}));
    const auto window = session_.firstWindow(first);
    ASSERT_FALSE(window.empty()) << session_.log(first);
    ASSERT_TRUE(showsExactly(first, all, all)) << session_.log(first);
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    ASSERT_EQ(session_.waitForExit(first), 0) << session_.log(first);
    const auto whole = gwtest::readFile(savedState());
    const auto damaged = whole.substr(0, whole.size() - 1);
    gwtest::writeFile(savedState(), damaged);
    const auto folder = savedState().parent_path();
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);

    const pid_t app = session_.launch(GW_DESKTOP_PATH);
    const auto main = session_.firstWindow(app);
    ASSERT_FALSE(main.empty()) << session_.log(app);
    EXPECT_TRUE(showsExactly(app, all, all)) << session_.log(app);
    const auto alert = alertSaying(app, main, "It could not be moved aside");
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_TRUE(alert) << session_.log(app);
    EXPECT_NE(alert->text.find("saved_glyphwright.new"), std::string::npos) << alert->text;
    ASSERT_TRUE(session_.typeKeys(alert->window, "Return"));
    ASSERT_TRUE(session_.typeKeys(main, "ctrl+q"));
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    const auto kept = keptCopies();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(gwtest::readFile(kept.front()), damaged);
    EXPECT_EQ(savedNames(), (std::vector<std::string>{"North", "South"}));
    EXPECT_FALSE(fs::exists(savedState().string() + ".new"));
}

}  // namespace
