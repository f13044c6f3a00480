// The built window program on a desktop of the test's own (Xvfb, a private bus, dunst): it
// opens its window with the menu strip drawn, the other-apps prompt holds the first quit
// back at launch count 8 and the second quit saves and exits, a forced update ends the
// process as soon as its alert is answered, and a picture handed over becomes a catalog
// through the keyboard, the destination dialog and the catalog prompt, and takes no key
// from that dialog when it comes in while the dialog is typed into.
#include "platform/foundation/base64.hpp"
#include "platform/foundation/bookmark.hpp"
#include "platform/foundation/json.hpp"
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/accessibility_tree.hpp"
#include "support/desktop/x11_session.hpp"
#include "support/machine_pace.hpp"
#include "support/program_run.hpp"
#include "support/temp_dir.hpp"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <sched.h>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::x11::DesktopSession;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::luminance;
using gwtest::x11::Rgb;
using gwtest::x11::waitUntil;

constexpr const char* kBundleId = "com.norvane.glyphwright";
// The Contents.json of a catalog or a folder inside one, as the writer makes it.
constexpr const char* kCatalogInfo = "{\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n";

class DesktopOnX11 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session_.ready()) << session_.failure(); }

    fs::path settingsFile() const { return session_.configHome() / kBundleId / (std::string(kBundleId) + ".plist"); }
    fs::path savedState() const { return session_.dataHome() / kBundleId / "saved_glyphwright"; }

    // The window program's settings, as it finds them at launch.
    void seedSettings(const std::map<std::string, std::int64_t>& integers,
                      const std::map<std::string, bool>& flags = {}) const {
        fs::create_directories(settingsFile().parent_path());
        pf::UserDefaults settings(settingsFile());
        for (const auto& [key, value] : integers) settings.setInteger(value, key);
        for (const auto& [key, value] : flags) settings.setBool(value, key);
    }

    // The program a desktop starts: the command, which hands a start without arguments to
    // the window program, or the window program itself with the files it is given, as the
    // desktop entry does.
    static const char* programFor(const std::vector<std::string>& arguments) {
        return arguments.empty() ? GW_GLYPHWRIGHT_PATH : GW_DESKTOP_PATH;
    }

    // A started window program and its main window (empty when none appeared).
    std::pair<pid_t, std::string> launchWithWindow(const std::vector<std::string>& arguments = {}) {
        const pid_t pid = session_.launch(programFor(arguments), arguments);
        return {pid, mainWindow(pid)};
    }

    // The main window of a started program: its first visible window, waited for.
    std::string mainWindow(pid_t pid) {
        std::string found = session_.firstWindow(pid);
        EXPECT_FALSE(found.empty()) << "no window appeared";
        return found;
    }


    // Waits for the program's dialog titled `pattern` (a regular expression), types `text`
    // into it, presses Return and waits until it has gone. `shownBeforeReturn` receives the
    // program's windows as Return is pressed: the dialog's own completion pop-up among
    // them, which may outlive the dialog for a moment.
    void typeIntoDialog(pid_t pid, const std::string& pattern, const std::string& text,
                        std::vector<std::string>* shownBeforeReturn = nullptr) {
        std::string dialog;
        ASSERT_NO_FATAL_FAILURE(focusDialog(pid, pattern, dialog));
        ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "type", "--delay", "20", text}));
        if (shownBeforeReturn) *shownBeforeReturn = session_.visibleWindows(pid);
        ASSERT_TRUE(session_.typeKeys(dialog, "Return"));
        EXPECT_TRUE(waitUntil([&] { return session_.visibleWindowsNamed(pattern).empty(); }, kAppearDeadline)) << pattern;
    }

    // Waits for the program's dialog titled `pattern` and gives it the keyboard; `dialog`
    // receives its window.
    void focusDialog(pid_t pid, const std::string& pattern, std::string& dialog) {
        std::vector<std::string> dialogs;
        ASSERT_TRUE(waitUntil([&] { return !(dialogs = session_.visibleWindowsNamed(pattern)).empty(); }, kAppearDeadline))
            << pattern << "\n" << session_.log(pid);
        dialog = dialogs.front();
        ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "windowfocus", "--sync", dialog}));
    }

    DesktopSession session_;
};

bool isVisible(DesktopSession& session, pid_t pid, const std::string& window) {
    const auto windows = session.visibleWindows(pid);
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

// How many pixels of each luminance the rectangle [x0, x1) x [y0, y1) holds.
std::map<int, int> shadesIn(const gwtest::x11::Screenshot& shot, int x0, int x1, int y0, int y1) {
    std::map<int, int> shades;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) ++shades[luminance(shot.at(x, y))];
    }
    return shades;
}

// A strip's background: its most common shade.
int mostCommonShade(const std::map<int, int>& shades) {
    return std::max_element(shades.begin(), shades.end(), [](auto& a, auto& b) { return a.second < b.second; })
        ->first;
}

TEST_F(DesktopOnX11, TheWindowOpensWithItsMenuStripDrawnAndAQuitEndsIt) {
    const auto [app, window] = launchWithWindow();
    ASSERT_FALSE(window.empty()) << session_.log(app);
    const auto frame = session_.geometry(window);
    ASSERT_TRUE(frame);
    ASSERT_GE(frame->width, 200);
    ASSERT_GE(frame->height, 100);

    // The root outside the window is the server's black; inside, the window has painted
    // itself, and its top strip holds the menu titles' text.
    std::optional<gwtest::x11::Screenshot> shot;
    const Rgb root{0, 0, 0};
    int covered = 0, total = 0, textPixels = 0;
    const bool drawn = waitUntil(
        [&] {
            shot = session_.screenshot("desktop-window");
            if (!shot) return false;
            covered = total = textPixels = 0;
            for (int y = frame->y; y < frame->y + frame->height; y += 4) {
                for (int x = frame->x; x < frame->x + frame->width; x += 4) {
                    ++total;
                    if (!gwtest::x11::near(shot->at(x, y), root)) ++covered;
                }
            }
            // The strip's background is its most common shade; text is far from it.
            const auto shades =
                shadesIn(*shot, frame->x + 2, frame->x + std::min(frame->width, 400), frame->y + 2, frame->y + 20);
            const int background = mostCommonShade(shades);
            for (const auto& [shade, count] : shades) {
                if (std::abs(shade - background) >= 80) textPixels += count;
            }
            return covered * 100 >= total * 95 && textPixels >= 30;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(shot);
    EXPECT_TRUE(drawn) << covered << " of " << total << " samples painted, " << textPixels << " text pixels";
    // Outside the window the root shows.
    for (const auto& [x, y] : {std::pair{0, 0}, std::pair{1279, 1023}}) {
        if (!frame->contains(x, y)) {
            EXPECT_TRUE(gwtest::x11::near(shot->at(x, y), root)) << x << "," << y;
        }
    }
    shot->keepIfFailed();

    // A first launch asks nothing: Ctrl+Q ends it in order.
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    EXPECT_TRUE(fs::exists(savedState()));
}

TEST_F(DesktopOnX11, AtLaunchCountEightTheFirstQuitShowsThePromptAndTheSecondSavesAndExits) {
    // This launch is the eighth, and the other-apps framework agrees after this launch's
    // preparation.
    seedSettings({{std::string(kBundleId) + "launchCount", 7}, {"SiblingcastSuppressionRemaining", 1}});
    const auto [app, window] = launchWithWindow();
    ASSERT_FALSE(window.empty()) << session_.log(app);

    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    const auto prompt = session_.newWindow(app, {window});
    ASSERT_TRUE(prompt) << "no prompt appeared\n" << session_.log(app);
    EXPECT_FALSE(session_.hasEnded(app));
    EXPECT_TRUE(isVisible(session_, app, window));
    EXPECT_FALSE(fs::exists(savedState()));

    // "Not now": the prompt goes, the window stays.
    ASSERT_TRUE(session_.typeKeys(*prompt, "Escape"));
    EXPECT_TRUE(waitUntil([&] { return !isVisible(session_, app, *prompt); }, kAppearDeadline));
    EXPECT_TRUE(isVisible(session_, app, window));
    EXPECT_FALSE(session_.hasEnded(app));

    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    ASSERT_TRUE(fs::exists(savedState()));
    EXPECT_NE(gwtest::readFile(savedState()).find("\"imageInputs\":[]"), std::string::npos);
    pf::UserDefaults settings(settingsFile());
    EXPECT_EQ(settings.integerForKey(std::string(kBundleId) + "launchCount"), 8);
}

// The version record on 127.0.0.1, read through a bundle whose Info names the server.
class VersionServer {
public:
    explicit VersionServer(std::string record) : record_(std::move(record)) {
        port_ = server_.bind_to_any_port("127.0.0.1");
        server_.Get("/store/glyphwright_version_config.json", [this](const httplib::Request&, httplib::Response& res) {
            ++requests_;
            res.set_content(record_, "application/json");
        });
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        waitUntil([this] { return server_.is_running(); }, std::chrono::seconds(30));
    }
    ~VersionServer() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    int requests() const { return requests_; }

    // A copy of the project's bundle folder whose Info names this server as the download folder.
    void writeBundle(const fs::path& folder) const {
        const fs::path resources = fs::path(GW_SOURCE_DIR) / "resources";
        fs::create_directories(folder);
        for (const auto& entry : fs::directory_iterator(resources)) {
            if (entry.path().filename() != "Info.plist") fs::create_symlink(entry.path(), folder / entry.path().filename());
        }
        std::string info = gwtest::readFile(resources / "Info.plist");
        const std::string key = "\t<key>GWManifestDownloadFolder</key>\n\t<string>http://127.0.0.1:" +
                                std::to_string(port_) + "/store/</string>\n</dict>";
        info.replace(info.rfind("</dict>"), 7, key);
        gwtest::writeFile(folder / "Info.plist", info);
    }

private:
    std::string record_;
    httplib::Server server_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

TEST_F(DesktopOnX11, AForcedUpdateAlertClosesOnReturnAndTheProcessExitsAtOnceWithoutSaving) {
    VersionServer server(R"({"latestBuildVersion": 99, "latestVersionDisplayString": "9.9", "forceUpdate": true})");
    ASSERT_GT(server.port(), 0);
    server.writeBundle(session_.root() / "bundle");
    session_.setResourcesDirectory(session_.root() / "bundle");

    const auto [app, window] = launchWithWindow();
    ASSERT_FALSE(window.empty()) << session_.log(app);
    const auto alert = session_.newWindow(app, {window});
    ASSERT_TRUE(alert) << "no alert appeared\n" << session_.log(app);
    EXPECT_EQ(server.requests(), 1);

    // At once: five seconds of an idle machine, scaled by the machine's pace now.
    gwtest::Pace pace;
    ASSERT_TRUE(session_.typeKeys(*alert, "Return"));
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    const auto took = std::chrono::steady_clock::now() - answered;
    EXPECT_LE(took, pace.bound(std::chrono::seconds(5)))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    // Not an orderly end: nothing is saved.
    EXPECT_FALSE(fs::exists(savedState()));
}

}  // namespace

namespace {

// The picture's colour as it shows on screen: large in the well, small in the strip's thumbnail.
constexpr Rgb kPictureColour{0xD0, 0x20, 0x80};

// The centres of the menu titles in a window's menu strip, left to right: runs of columns
// holding text, split where at least 8 columns hold none.
std::vector<std::pair<int, int>> menuTitleCentres(const gwtest::x11::Screenshot& shot,
                                                  const gwtest::x11::WindowGeometry& frame) {
    const int top = frame.y + 2, bottom = frame.y + 18;
    const int background = mostCommonShade(shadesIn(shot, frame.x, frame.x + frame.width, top, bottom));
    std::vector<std::pair<int, int>> centres;
    int start = -1, last = -1;
    for (int x = frame.x; x <= frame.x + frame.width; ++x) {
        bool text = false;
        for (int y = top; y < bottom && x < frame.x + frame.width; ++y) {
            if (std::abs(luminance(shot.at(x, y)) - background) >= 80) text = true;
        }
        if (text) {
            if (start < 0) start = x;
            last = x;
        } else if (start >= 0 && x - last >= 8) {
            centres.emplace_back((start + last) / 2, (top + bottom) / 2);
            start = -1;
        }
    }
    return centres;
}

}  // namespace

TEST_F(DesktopOnX11, AHandedOverPictureBecomesACatalogThroughTheKeyboardAndComesBackAfterARelaunch) {
    ASSERT_TRUE(session_.startNotificationServer());
    // The strip stands in for the Touch Bar; no help panel or file manager gets in the way,
    // and the folder chosen stays the output (no search for the catalogs below it).
    seedSettings({}, {{"ShowTouchBar", true},
                      {"ShowInstructions", false},
                      {"OpenFinder", false},
                      {"scanSubfoldersForAssetCatalogs", false}});
    const auto picture = session_.root() / "pic.png";
    ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "1024x1024", "xc:#D02080", "PNG24:" + picture.string()}));
    // The output folder already holds the catalog: creating asks first.
    const auto out = session_.root() / "out";
    const auto iconSet = out / "Assets.xcassets/AppIcon.appiconset";
    fs::create_directories(out / "Assets.xcassets");
    gwtest::writeFile(out / "Assets.xcassets/Contents.json", kCatalogInfo);

    const auto [app, window] = launchWithWindow({picture.string()});
    ASSERT_FALSE(window.empty()) << session_.log(app);
    const auto frame = session_.geometry(window);
    ASSERT_TRUE(frame);

    // The well shows the picture, and the strip one thumbnail of it.
    std::optional<gwtest::x11::Screenshot> shot;
    std::vector<gwtest::x11::ColourRegion> regions;
    const auto showsWellAndThumbnail = [&] {
        shot = session_.screenshot("main-window");
        if (!shot) return false;
        regions = gwtest::x11::regionsOfColour(*shot, kPictureColour, *frame, 64);
        return regions.size() == 2 && regions[0].bounds.width >= 100 && regions[1].area * 4 < regions[0].area &&
               regions[1].bounds.y > regions[0].bounds.y + regions[0].bounds.height;
    };
    EXPECT_TRUE(waitUntil(showsWellAndThumbnail, std::chrono::seconds(60))) << regions.size() << " areas";
    ASSERT_TRUE(shot);
    shot->keepIfFailed();

    // iOS app icons, then the destination dialog from the File menu (the first title, its
    // second item), the output folder typed into it.
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+1"));
    const auto titles = menuTitleCentres(*shot, *frame);
    ASSERT_GE(titles.size(), 2u);
    ASSERT_TRUE(session_.clickAt(titles[0].first, titles[0].second));
    const auto menu = session_.newWindow(app, {window});
    ASSERT_TRUE(menu) << "the File menu did not open";
    ASSERT_TRUE(session_.typeKeys(*menu, "Down Down Return"));
    ASSERT_NO_FATAL_FAILURE(typeIntoDialog(app, "^Choose the Output Folder", out.string()));
    // The create controls come on once the output folder is known: the strip's right half
    // (its create button) changes its look. Only then is the shortcut pressed.
    const gwtest::x11::WindowGeometry createButton{frame->x + frame->width / 2, frame->y + frame->height - 34,
                                                   frame->width / 2, 34};
    std::optional<gwtest::x11::Screenshot> now;
    EXPECT_TRUE(waitUntil(
        [&] {
            now = session_.screenshot("create-enabled");
            if (!now) return false;
            int changed = 0;
            for (int y = createButton.y; y < createButton.y + createButton.height; ++y) {
                for (int x = createButton.x; x < createButton.x + createButton.width; ++x) {
                    if (!gwtest::x11::near(now->at(x, y), shot->at(x, y))) ++changed;
                }
            }
            return changed >= 20;
        },
        std::chrono::seconds(60)));
    if (now) now->keepIfFailed();

    // Create: the catalog prompt asks; added to the catalog, the icon set is written.
    const auto before = session_.visibleWindows(app);
    ASSERT_TRUE(session_.typeKeys(window, "ctrl+b"));
    const auto prompt = session_.newWindow(app, before);
    if (!prompt) session_.screenshot("no-catalog-prompt");  // kept for the failure
    ASSERT_TRUE(prompt) << "no catalog prompt appeared\n" << session_.log(app);
    const auto promptShot = session_.screenshot("catalog-prompt");
    // The first choice ("Add to") is on as the prompt opens; Return continues with it.
    ASSERT_TRUE(session_.typeKeys(*prompt, "Return"));
    // The set the command line writes: its Contents.json and every picture it names.
    const auto golden = fs::path(GW_FIXTURES_DIR) / "golden/ios-icon";
    const auto goldenContents = gwtest::readFile(golden / "Assets.xcassets/AppIcon.appiconset/Contents.json");
    EXPECT_TRUE(waitUntil(
        [&] {
            return fs::exists(iconSet / "Contents.json") && gwtest::readFile(iconSet / "Contents.json") == goldenContents;
        },
        kAppearDeadline))
        << session_.log(app);
    if (::testing::Test::HasFailure()) session_.screenshot("not-written");  // kept for the failure
    if (promptShot) promptShot->keepIfFailed();
    std::istringstream listing(gwtest::readFile(golden / "images.txt"));
    for (std::string file, size; listing >> file >> size;) EXPECT_TRUE(fs::is_regular_file(iconSet / file)) << file;

    // The notification server was told, with the title and the type as subtitle.
    std::string history;
    EXPECT_TRUE(waitUntil(
        [&] {
            history = session_.notificationHistory();
            return history.find("Asset catalog") != std::string::npos &&
                   history.find("iOS App Icons") != std::string::npos;
        },
        kAppearDeadline))
        << history;

    ASSERT_TRUE(session_.typeKeys(window, "ctrl+q"));
    ASSERT_EQ(session_.waitForExit(app), 0) << session_.log(app);

    // Relaunched without arguments: the saved picture is back in the well.
    const auto [again, window2] = launchWithWindow();
    ASSERT_FALSE(window2.empty()) << session_.log(again);
    const auto frame2 = session_.geometry(window2);
    ASSERT_TRUE(frame2);
    EXPECT_TRUE(waitUntil(
        [&] {
            shot = session_.screenshot("main-window-relaunched");
            if (!shot) return false;
            regions = gwtest::x11::regionsOfColour(*shot, kPictureColour, *frame2, 64);
            return !regions.empty() && regions[0].bounds.width >= 100;
        },
        std::chrono::seconds(60)));
    ASSERT_TRUE(shot);
    shot->keepIfFailed();
    ASSERT_TRUE(session_.typeKeys(window2, "ctrl+q"));
    EXPECT_EQ(session_.waitForExit(again), 0) << session_.log(again);
}

// The desktop as a user meets it beyond the main window: Preferences, the prompts, the
// recent output folders, the recently-used list, and failures told in alerts.
namespace {

constexpr std::int64_t kIOSIcon = 0;
constexpr std::int64_t kMacOSIcon = 1;
constexpr std::int64_t kImageSet = 2;

struct Point {
    int x = 0, y = 0;
};
Point centreOf(const gwtest::x11::WindowGeometry& g) { return {g.x + g.width / 2, g.y + g.height / 2}; }

class DesktopDialogsOnX11 : public DesktopOnX11 {
protected:
    // Settings that keep the help panel, the file manager, the review prompt and the
    // catalog search out of the way.
    void seedQuietSettings(std::int64_t outputType) const {
        seedSettings({{"IconType", outputType}}, {{"ShowInstructions", false},
                                                  {"OpenFinder", false},
                                                  {"suppressAllPromptsToReview", true},
                                                  {"scanSubfoldersForAssetCatalogs", false}});
    }

    fs::path writePicture() const {
        const auto picture = session_.root() / "pic.png";
        EXPECT_TRUE(gwtest::x11::run({"convert", "-size", "1024x1024", "xc:#D02080", "PNG24:" + picture.string()}));
        return picture;
    }

    // Launches, moves the main window off the screen's centre (so "over the window" and
    // "centred on the screen" differ) and reads its menu titles once it is drawn.
    // `prefix`: a command the program is started through (taskset and its options).
    void launchAt(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
                  const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> command = prefix;
        command.push_back(programFor(arguments));
        command.insert(command.end(), arguments.begin(), arguments.end());
        app_ = session_.launch(command.front(), std::vector<std::string>(command.begin() + 1, command.end()),
                               environment);
        window_ = mainWindow(app_);
        ASSERT_FALSE(window_.empty()) << session_.log(app_);
        ASSERT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "windowmove", "--sync", window_, "60", "40"}));
        std::optional<gwtest::x11::Screenshot> shot;
        ASSERT_TRUE(waitUntil(
            [&] {
                frame_ = session_.geometry(window_).value_or(gwtest::x11::WindowGeometry{});
                if (frame_.width < 200 || frame_.x > 200) return false;
                shot = session_.screenshot("menu-strip");
                titles_ = shot ? menuTitleCentres(*shot, frame_) : std::vector<std::pair<int, int>>{};
                return titles_.size() >= 6;
            },
            kAppearDeadline))
            << titles_.size() << " menu titles";
        if (shot) shot->keepIfFailed();
    }

    // Opens the `index`-th menu of the bar and types `keys` into it.
    void useMenu(std::size_t index, const std::string& keys) {
        ASSERT_LT(index, titles_.size());
        const auto before = session_.visibleWindows(app_);
        // A click that comes while the program is busy may be lost with the menu's pointer
        // grab: clicked again after a while, up to three times.
        std::optional<std::string> menu;
        for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
            ASSERT_TRUE(session_.clickAt(titles_[index].first, titles_[index].second));
            menu = session_.newWindow(app_, before, std::chrono::seconds(20));
        }
        if (!menu) session_.screenshot("menu-did-not-open");  // kept for the failure
        ASSERT_TRUE(menu) << "menu " << index << " did not open";
        ASSERT_TRUE(session_.typeKeys(*menu, keys));
    }

    // File ▸ Choose Output Folder…, the folder typed in.
    // `pictures`: how long the pictures handed over may take to be read, after which the
    // create button comes on.
    void chooseOutputFolder(const fs::path& folder, std::chrono::milliseconds pictures = kAppearDeadline) {
        ASSERT_NO_FATAL_FAILURE(useMenu(0, "Down Down Return"));
        ASSERT_NO_FATAL_FAILURE(typeIntoDialog(app_, "^Choose the Output Folder", folder.string()));
        // Settled once it is among the recent folders (saved as it becomes the output).
        ASSERT_TRUE(waitUntil(
            [&] { return fs::exists(settingsFile()) && gwtest::readFile(settingsFile()).find(folder.string()) != std::string::npos; },
            kAppearDeadline))
            << session_.log(app_);
        // The create button comes on once the pictures are in and the readiness check has
        // seen the folder. Only then does Ctrl+B create: typed before, it is ignored, and
        // a test going on would wait for sets nobody asked for.
        ASSERT_NO_FATAL_FAILURE(waitForCreateButton(true, pictures));
    }

    // Waits until the create button is on (no run under way, pictures and a folder
    // chosen: its title turns from grey to dark), or off again (a run under way).
    void waitForCreateButton(bool on = true, std::chrono::milliseconds timeout = kAppearDeadline) {
        const gwtest::x11::WindowGeometry title{frame_.x + frame_.width / 4, frame_.y + frame_.height - 30,
                                                frame_.width / 2, 26};
        int dark = 0;
        std::optional<gwtest::x11::Screenshot> shot;
        ASSERT_TRUE(waitUntil(
            [&] {
                shot = session_.screenshot("create-button");
                dark = 0;
                for (int y = title.y; shot && y < title.y + title.height; ++y) {
                    for (int x = title.x; x < title.x + title.width; ++x) dark += luminance(shot->at(x, y)) < 90 ? 1 : 0;
                }
                return shot && (dark >= 30) == on;
            },
            timeout))
            << dark << " dark pixels on the create button, which should be " << (on ? "on" : "off") << "\n"
            << session_.log(app_);
        if (shot) shot->keepIfFailed();
    }

    // A new window of the program: shown over the main window, centred on it, titled with
    // the application's name (or `title`).
    std::string expectOverMainWindow(const std::vector<std::string>& before, const std::string& title,
                                     const std::string& what) {
        const auto shown = session_.newWindow(app_, before);
        EXPECT_TRUE(shown) << "no " << what << " appeared\n" << session_.log(app_);
        if (!shown) return {};
        EXPECT_EQ(session_.windowName(*shown), title) << what;
        const auto main = session_.geometry(window_);
        const auto over = session_.geometry(*shown);
        EXPECT_TRUE(main && over);
        if (main && over) {
            const auto a = centreOf(*main), b = centreOf(*over);
            // Centred on the main window's frame: within the height of a title bar.
            EXPECT_LE(std::abs(a.x - b.x) + std::abs(a.y - b.y), 40)
                << what << " at " << over->x << "," << over->y << " " << over->width << "x" << over->height
                << ", main window at " << main->x << "," << main->y << " " << main->width << "x" << main->height;
        }
        return *shown;
    }

    // Ctrl+Q in the main window: the program ends with status 0.
    void quitAndExpectCleanExit() {
        ASSERT_TRUE(session_.typeKeys(window_, "ctrl+q"));
        EXPECT_EQ(session_.waitForExit(app_), 0) << session_.log(app_);
    }

    pid_t app_ = 0;
    std::string window_;
    gwtest::x11::WindowGeometry frame_;
    std::vector<std::pair<int, int>> titles_;
};

// The rows of `area` that hold text or lines (far from the area's most common shade).
std::vector<int> rowsWithContent(const gwtest::x11::Screenshot& shot, const gwtest::x11::WindowGeometry& area) {
    const int background = mostCommonShade(shadesIn(shot, area.x, area.x + area.width, area.y, area.y + area.height));
    std::vector<int> rows;
    for (int y = area.y; y < area.y + area.height; ++y) {
        int marks = 0;
        for (int x = area.x; x < area.x + area.width; ++x) {
            if (std::abs(luminance(shot.at(x, y)) - background) >= 80) ++marks;
        }
        if (marks >= 3) rows.push_back(y);
    }
    return rows;
}

// The alpha of one pixel of a PNG file (0 transparent … 1 opaque), read by ImageMagick.
std::optional<double> alphaAt(const fs::path& png, int x, int y) {
    const auto out = gwtest::x11::run(
        {"convert", png.string(), "-format", "%[fx:p{" + std::to_string(x) + "," + std::to_string(y) + "}.a]", "info:"});
    if (!out) return std::nullopt;
    return std::stod(*out);
}

TEST_F(DesktopDialogsOnX11, PreferencesShowTheirControlsOverTheWindowAndTheirRoundingShapesTheNextCatalog) {
    seedQuietSettings(kMacOSIcon);
    const auto picture = writePicture();
    ASSERT_NO_FATAL_FAILURE(launchAt({picture.string()}));

    // The picture opened is in the desktop's recently-used list, with its type and the application.
    const auto list = session_.dataHome() / "recently-used.xbel";
    std::string recent;
    EXPECT_TRUE(waitUntil(
        [&] {
            recent = fs::exists(list) ? gwtest::readFile(list) : std::string();
            return recent.find("href=\"file://" + picture.string() + "\"") != std::string::npos &&
                   recent.find("type=\"image/png\"") != std::string::npos &&
                   recent.find("name=\"Glyphwright\"") != std::string::npos;
        },
        kAppearDeadline))
        << recent;

    // Ctrl+, opens Preferences over the window, at a size that shows every control.
    auto before = session_.visibleWindows(app_);
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+comma"));
    const auto preferences = expectOverMainWindow(before, "Preferences — Glyphwright", "Preferences");
    ASSERT_FALSE(preferences.empty());
    const auto area = session_.geometry(preferences);
    ASSERT_TRUE(area);
    EXPECT_GE(area->width, 400);
    EXPECT_GE(area->height, 180);
    // Drawn: captions, two rows of segments, the switch and the hint fill the window from
    // near its top to near its bottom, not one strip of it.
    std::optional<gwtest::x11::Screenshot> shot;
    std::vector<int> rows;
    EXPECT_TRUE(waitUntil(
        [&] {
            shot = session_.screenshot("preferences");
            rows = shot ? rowsWithContent(*shot, *area) : std::vector<int>{};
            return rows.size() >= 60 && rows.front() < area->y + area->height / 4 &&
                   rows.back() > area->y + area->height / 2;
        },
        std::chrono::seconds(60)))
        << rows.size() << " rows with content";
    if (shot) shot->keepIfFailed();

    // The keyboard starts on Round Corners of the macOS icons: Space switches it on.
    ASSERT_TRUE(session_.typeKeys(preferences, "space"));
    EXPECT_TRUE(waitUntil(
        [&] { return pf::UserDefaults(settingsFile()).boolForKey("macIconRoundCorners"); }, kAppearDeadline));
    // A second Ctrl+, closes them.
    ASSERT_TRUE(session_.typeKeys(preferences, "ctrl+comma"));
    EXPECT_TRUE(waitUntil([&] { return !isVisible(session_, app_, preferences); }, kAppearDeadline));

    // The next catalog has round corners: its largest icon is clear at the corner.
    const auto out = session_.root() / "out";
    fs::create_directories(out);
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(out));
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    const auto icon = out / "Assets.xcassets/AppIcon.appiconset/icon_512x512@2x.png";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(out / "Assets.xcassets/AppIcon.appiconset/Contents.json") &&
                                       alphaAt(icon, 512, 512).has_value(); },
                          kAppearDeadline))
        << session_.log(app_);
    EXPECT_EQ(alphaAt(icon, 0, 0), 0.0);
    EXPECT_EQ(alphaAt(icon, 512, 512), 1.0);

    quitAndExpectCleanExit();
}

TEST_F(DesktopDialogsOnX11, EachAlreadyExistsPromptOpensOverTheMainWindow) {
    seedQuietSettings(kIOSIcon);
    const auto picture = writePicture();
    const auto out = session_.root() / "out";
    const auto iconSet = out / "Assets.xcassets/AppIcon.appiconset";
    fs::create_directories(iconSet);
    gwtest::writeFile(out / "Assets.xcassets/Contents.json", kCatalogInfo);
    gwtest::writeFile(iconSet / "Contents.json", kCatalogInfo);
    ASSERT_TRUE(gwtest::x11::run({"convert", "-size", "64x64", "xc:#2080D0", "PNG24:" + (iconSet / "old.png").string()}));
    ASSERT_NO_FATAL_FAILURE(launchAt({picture.string()}));
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(out));

    // The catalog exists: its prompt opens over the window; "Add to" goes on.
    auto before = session_.visibleWindows(app_);
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    const auto catalogPrompt = expectOverMainWindow(before, "Glyphwright", "catalog prompt");
    ASSERT_FALSE(catalogPrompt.empty());
    before = session_.visibleWindows(app_);
    ASSERT_TRUE(session_.typeKeys(catalogPrompt, "Return"));

    // So does the icon set's, which is cancelled: nothing is written.
    std::vector<std::string> known = before;
    const auto assetPrompt = expectOverMainWindow(known, "Glyphwright", "icon set prompt");
    ASSERT_FALSE(assetPrompt.empty());
    ASSERT_TRUE(session_.typeKeys(assetPrompt, "Escape"));
    EXPECT_TRUE(waitUntil([&] { return !isVisible(session_, app_, assetPrompt); }, kAppearDeadline));
    EXPECT_EQ(gwtest::readFile(iconSet / "Contents.json").find("images"), std::string::npos);
    EXPECT_FALSE(fs::exists(iconSet / "icon_60x60@2x.png"));

    quitAndExpectCleanExit();
}

TEST_F(DesktopDialogsOnX11, AFolderWrittenToIsOfferedUnderRecentOutputFoldersAndChoosingItMakesItTheOutput) {
    seedQuietSettings(kIOSIcon);
    const auto picture = writePicture();
    const auto first = session_.root() / "first", second = session_.root() / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    ASSERT_NO_FATAL_FAILURE(launchAt({picture.string()}));

    // A catalog into the first folder, then the second one chosen.
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(first));
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(first / "Assets.xcassets/AppIcon.appiconset/Contents.json"); },
                          kAppearDeadline))
        << session_.log(app_);
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(second));

    // File ▸ Recent Output Folders ▸ its second entry (newest first): the first folder.
    ASSERT_NO_FATAL_FAILURE(useMenu(0, "Down Down Down Right Down Return"));
    // It is the output again: creating meets its catalog and asks.
    EXPECT_TRUE(waitUntil([&] { return session_.visibleWindows(app_).size() == 1; }, kAppearDeadline));
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    const auto prompt = expectOverMainWindow({window_}, "Glyphwright", "catalog prompt of the first folder");
    ASSERT_FALSE(prompt.empty());
    ASSERT_TRUE(session_.typeKeys(prompt, "Escape"));
    EXPECT_FALSE(fs::exists(second / "Assets.xcassets"));

    quitAndExpectCleanExit();
}

// The output never follows a replaced catalog into the Trash. Desktops keep the home
// Trash below the home folder: once an overwrite has moved the old catalog there, choosing
// the home folder with "Look for asset catalogs" on finds no catalog in it, so the home
// folder itself is the output and the first recent folder, and the next catalog is
// written there, not among what was thrown away.
TEST_F(DesktopDialogsOnX11, AReplacedCatalogInTheTrashNeverBecomesTheOutput) {
    seedSettings({{"IconType", kIOSIcon}, {"CatalogExistsAction", 2}},
                 {{"ShowInstructions", false},
                  {"OpenFinder", false},
                  {"suppressAllPromptsToReview", true},
                  {"scanSubfoldersForAssetCatalogs", true}});
    const auto picture = writePicture();
    const auto home = session_.home();
    const auto trash = home / ".local/share/Trash/files";
    const auto out = session_.root() / "out";
    fs::create_directories(out);
    ASSERT_NO_FATAL_FAILURE(launchAt({picture.string()}, {"XDG_DATA_HOME=" + (home / ".local/share").string()}));

    // A catalog, then the same again: the first one, with a file of the user's, goes to the Trash.
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(out));
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(out / "Assets.xcassets/AppIcon.appiconset/Contents.json"); },
                          kAppearDeadline))
        << session_.log(app_);
    gwtest::writeFile(out / "Assets.xcassets/mine.txt", "mine");
    const auto inTrash = [&] {
        std::error_code error;
        for (fs::directory_iterator it(trash, error), end; !error && it != end; it.increment(error)) {
            if (fs::exists(it->path() / "mine.txt")) return true;
        }
        return false;
    };
    // The shortcut does nothing while the first run goes on: pressed once it has ended.
    ASSERT_NO_FATAL_FAILURE(waitForCreateButton());
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    ASSERT_TRUE(waitUntil(inTrash, kAppearDeadline)) << session_.log(app_);
    EXPECT_TRUE(waitUntil([&] { return fs::exists(out / "Assets.xcassets/AppIcon.appiconset/Contents.json"); },
                          kAppearDeadline));

    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(home));
    // The first recent folder is the home folder; no recent folder leads into the Trash.
    std::vector<fs::path> recent;
    const auto stored = pf::UserDefaults(settingsFile()).arrayForKey("recentCatalogPaths");
    ASSERT_TRUE(stored);
    for (const auto& entry : *stored) {
        ASSERT_TRUE(entry.asData());
        recent.push_back(pf::bookmarks::resolve(*entry.asData()).url.fsPath().lexically_normal());
    }
    ASSERT_FALSE(recent.empty());
    EXPECT_EQ(recent.back(), home.lexically_normal());
    for (const auto& folder : recent) EXPECT_EQ(folder.string().find("/Trash/"), std::string::npos) << folder;
    // The next catalog goes into the home folder.
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    EXPECT_TRUE(waitUntil([&] { return fs::exists(home / "Assets.xcassets/AppIcon.appiconset/Contents.json"); },
                          kAppearDeadline))
        << session_.log(app_);

    quitAndExpectCleanExit();
}

TEST_F(DesktopDialogsOnX11, ALinkWithoutABrowserAndAGrantThatCannotBeSavedAreToldInAlerts) {
    // No browser and no handlers: the opener fails. The settings folder is a file: no
    // grant can be saved.
    fs::create_directories(session_.root() / "no-data-dirs");
    fs::create_directories(settingsFile().parent_path().parent_path());
    gwtest::writeFile(settingsFile().parent_path(), "not a folder");
    ASSERT_NO_FATAL_FAILURE(launchAt({}, {"BROWSER=false", "XDG_DATA_DIRS=" + (session_.root() / "no-data-dirs").string()}));

    // Support ▸ Open Support Website.
    auto before = session_.visibleWindows(app_);
    ASSERT_NO_FATAL_FAILURE(useMenu(4, "Down Return"));
    const auto linkAlert = expectOverMainWindow(before, "Glyphwright", "link alert");
    ASSERT_FALSE(linkAlert.empty());
    ASSERT_TRUE(session_.typeKeys(linkAlert, "Return"));
    EXPECT_TRUE(waitUntil([&] { return !isVisible(session_, app_, linkAlert); }, kAppearDeadline));

    // Preferences ▸ Enable the command line (Alt+C), a folder granted in the chooser.
    before = session_.visibleWindows(app_);
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+comma"));
    const auto preferences = expectOverMainWindow(before, "Preferences — Glyphwright", "Preferences");
    ASSERT_FALSE(preferences.empty());
    ASSERT_TRUE(session_.typeKeys(preferences, "alt+c"));
    std::vector<std::string> chooserWindows;
    ASSERT_NO_FATAL_FAILURE(
        typeIntoDialog(app_, "^Choose the folder that holds", session_.home().string(), &chooserWindows));
    const auto grantAlert = expectOverMainWindow(chooserWindows, "Glyphwright", "grant alert");
    ASSERT_FALSE(grantAlert.empty());
    const auto alertShot = session_.screenshot("grant-alert");
    ASSERT_TRUE(session_.typeKeys(grantAlert, "Return"));
    EXPECT_TRUE(waitUntil([&] { return !isVisible(session_, app_, grantAlert); }, kAppearDeadline));
    if (alertShot) alertShot->keepIfFailed();
    EXPECT_TRUE(isVisible(session_, app_, preferences));

    quitAndExpectCleanExit();
}

// A picture handed over while the output folder is being typed into the destination
// dialog comes in behind the dialog: its panel opens and the window comes forward, but
// the dialog keeps the keyboard all along and gets the folder whole. (Each window the
// picture brought forward took the keyboard for a moment while the dialog blocked it, and
// the keys typed then were dropped: the folder lost letters or its Return, and the dialog
// stayed open.)
TEST_F(DesktopDialogsOnX11, APictureArrivingWhileTheDestinationDialogIsTypedIntoTakesNoKeyFromIt) {
    seedQuietSettings(kImageSet);
    const auto picture = writePicture();
    const auto out = session_.root() / "out";
    fs::create_directories(out);
    ASSERT_NO_FATAL_FAILURE(launchAt({}));
    ASSERT_NO_FATAL_FAILURE(useMenu(0, "Down Down Return"));
    std::string dialog;
    ASSERT_NO_FATAL_FAILURE(focusDialog(app_, "^Choose the Output Folder", dialog));

    // Every change of the active window, as the window manager announces it: the value
    // at the start first.
    const auto changes = session_.root() / "active-window";
    ASSERT_GT(session_.launch("sh", {"-c", "exec xprop -root -spy _NET_ACTIVE_WINDOW > " + changes.string()}), 0);
    const auto announced = [&] {
        std::vector<std::string> windows;
        std::istringstream lines(fs::exists(changes) ? gwtest::readFile(changes) : std::string());
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.rfind("0x");
            if (at == std::string::npos) continue;
            // The same window announced again is no change.
            auto window = std::to_string(std::stoul(line.substr(at), nullptr, 16));
            if (windows.empty() || windows.back() != window) windows.push_back(std::move(window));
        }
        return windows;
    };
    ASSERT_TRUE(waitUntil([&] { return !announced().empty(); }, kAppearDeadline));
    ASSERT_EQ(announced(), std::vector<std::string>{dialog});

    // The folder is typed as a file manager hands the picture over to the running program.
    std::optional<std::string> typed;
    std::thread typing([&] {
        typed = gwtest::x11::run(std::chrono::seconds(60), {"xdotool", "type", "--delay", "40", out.string()});
    });
    const pid_t second = session_.launch(GW_DESKTOP_PATH, {picture.string()});
    EXPECT_EQ(session_.waitForExit(second), 0) << session_.log(second);
    EXPECT_TRUE(waitUntil([&] { return !session_.visibleWindowsNamed("^Asset Size").empty(); }, kAppearDeadline))
        << "the picture's panel did not open\n" << session_.log(app_);
    typing.join();
    ASSERT_TRUE(typed);
    EXPECT_EQ(announced(), std::vector<std::string>{dialog}) << "the active window changed while the dialog was up";

    ASSERT_TRUE(session_.typeKeys(dialog, "Return"));
    ASSERT_TRUE(waitUntil([&] { return session_.visibleWindowsNamed("^Choose the Output Folder").empty(); },
                          kAppearDeadline));
    EXPECT_TRUE(waitUntil(
        [&] { return fs::exists(settingsFile()) && gwtest::readFile(settingsFile()).find(out.string()) != std::string::npos; },
        kAppearDeadline))
        << session_.log(app_);
    // The picture and the folder are in: the window is ready to create.
    ASSERT_NO_FATAL_FAILURE(waitForCreateButton(true));
    quitAndExpectCleanExit();
}

// A JPEG of side x side pixels of noise over a gradient: quick to make and to read,
// slow to write as PNG, as photographs are.
std::string noisyJpeg(int side) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, side, side);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    std::uint32_t seed = 12345;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            seed = seed * 1664525u + 1013904223u;
            guchar* p = pixels + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 3;
            p[0] = static_cast<guchar>(x * 255 / side) ^ ((seed >> 24) & 31);
            p[1] = static_cast<guchar>(y * 255 / side) ^ ((seed >> 16) & 31);
            p[2] = 0x80 ^ ((seed >> 8) & 31);
        }
    }
    gchar* buffer = nullptr;
    gsize size = 0;
    const bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, nullptr);
    g_object_unref(pixbuf);
    EXPECT_TRUE(saved);
    std::string bytes(buffer ? buffer : "", size);
    g_free(buffer);
    return bytes;
}

// Two of the processors this process may run on (one where it has only one), as a
// taskset list: fixed numbers fail where they are not allowed, in a container given
// other processors.
std::string twoAllowedProcessors() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return "0";
    std::string list;
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        list += (taken++ ? "," : "") + std::to_string(cpu);
    }
    return list;
}

// The image sets of a catalog that are in place, each checked whole: every file its
// Contents.json names is there.
std::vector<std::string> wholeImageSets(const fs::path& catalog) {
    std::vector<std::string> sets;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(catalog, error)) {
        const auto name = entry.path().filename().string();
        if (!entry.is_directory() || !name.ends_with(".imageset")) continue;
        const auto contents = pf::json::parse(gwtest::readFile(entry.path() / "Contents.json"));
        const auto* images = contents.get("images").asArray();
        EXPECT_TRUE(images && !images->empty()) << name;
        for (const auto& image : images ? *images : pf::Array{}) {
            const auto* file = image.get("filename").asString();
            EXPECT_TRUE(file && fs::is_regular_file(entry.path() / *file)) << name;
        }
        sets.push_back(name);
    }
    return sets;
}

TEST_F(DesktopDialogsOnX11, AQuitDuringAConversionOfLargePicturesEndsItSoonKeepsEverySetWholeAndSavesThePictures) {
    // Six large pictures handed over, made image sets in batch mode; the program on two
    // processors, so that the batch writes two folders at a time. Large enough that a set
    // takes far longer than a repaint or a quit, and every set longer than the few
    // seconds the test looks on after the first (a set of 4000 pixels a side: about ten
    // seconds on two busy processors, its quit two, a repaint milliseconds), and no
    // larger: the run is processor time of the machine's (6000 pixels a side cost 140 s
    // of it), and a set of 8000 pixels a side took 5 minutes on four processors kept busy
    // by eight other processes.
    constexpr int kPictures = 6, kSide = 4000;
    ASSERT_TRUE(session_.startNotificationServer());
    ASSERT_TRUE(session_.startAccessibilityBus());
    seedQuietSettings(kImageSet);
    const auto jpeg = noisyJpeg(kSide);
    std::vector<std::string> pictures;
    for (int i = 1; i <= kPictures; ++i) {
        pictures.push_back((session_.root() / ("Art" + std::to_string(i) + ".jpg")).string());
        gwtest::writeFile(pictures.back(), jpeg);
    }
    const auto out = session_.root() / "out";
    fs::create_directories(out);
    // Reading six such photographs is processor work of the program's own on two
    // processors, as long as making a set or so: on a crowded machine it took more than
    // two idle minutes (scaled by the machine's pace now).
    gwtest::Pace pace;
    ASSERT_NO_FATAL_FAILURE(launchAt(pictures, {}, {"taskset", "-c", twoAllowedProcessors()}));
    // The create button comes on once the pictures are in and the folder is chosen; then
    // Batch, as a user clicks it.
    ASSERT_NO_FATAL_FAILURE(chooseOutputFolder(out, pace.bound(3 * kAppearDeadline)));
    const gwtest::x11::AccessibilityBus accessibility(session_.busAddress());
    std::optional<gwtest::x11::AccessibleElement> batch;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& window : accessibility.windowsOf(app_, gwtest::x11::AccessibilityBus::Elements::Showing)) {
                if (const auto* found = window.find([](const auto& e) { return e.showing && e.name == "Batch"; }))
                    batch = *found;
            }
            return batch.has_value();
        },
        kAppearDeadline));
    ASSERT_TRUE(session_.clickAt(batch->extents.x + batch->extents.width / 2,
                                 batch->extents.y + batch->extents.height / 2));
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+b"));
    const auto converting = std::chrono::steady_clock::now();
    const auto convertingProcessorTime = gwtest::processorTimeOf(app_);
    // The run is under way: the create button is off while it lasts.
    ASSERT_NO_FATAL_FAILURE(waitForCreateButton(false));

    // While it converts, the window follows every change of its size at once: shrunk,
    // then widened to a size it did not have before, the new strip at its right edge is
    // painted (the screen's black until then). Probed every second or two until the
    // first set is in place, and a few times after. "At once" is against the conversion
    // on the same machine, whatever its speed and load: each repaint comes far sooner
    // than a set is made, as it would not if the window waited for the conversion.
    const auto catalog = out / "Assets.xcassets";
    const auto start = *session_.geometry(window_);
    auto frame = start;
    const auto resize = [&](int width) {
        frame.width = width;
        return gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "windowsize", "--sync", window_, std::to_string(width),
                                 std::to_string(frame.height)})
            .has_value();
    };
    std::chrono::milliseconds slowest{0};
    std::optional<std::chrono::milliseconds> firstSet, firstSetProcessorTime;
    int probes = 0, afterFirstSet = 0;
    // The first set of a photograph this large takes seconds on two busy processors, its
    // deadline minutes (of an idle machine: scaled by the machine's pace now).
    const auto deadline = converting + pace.bound(3 * kAppearDeadline);
    while (afterFirstSet < 3 && std::chrono::steady_clock::now() < deadline) {
        const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        ASSERT_TRUE(resize(start.width));
        ASSERT_TRUE(resize(start.width + 12 * (1 + probes % 24)));
        const auto resized = std::chrono::steady_clock::now();
        std::optional<gwtest::x11::Screenshot> shot;
        // A repaint took place before the screenshot that shows it began: what taking that
        // one costs (seconds on a crowded machine) is the test's, not the window's.
        auto shotBegan = resized;
        const auto painted = [&] {
            shotBegan = std::chrono::steady_clock::now();
            shot = session_.screenshot("resized-while-converting");
            if (!shot) return false;
            for (int y = frame.y + frame.height / 4; y < frame.y + frame.height * 3 / 4; y += 8) {
                if (gwtest::x11::near(shot->at(frame.x + frame.width - 4, y), Rgb{0, 0, 0})) return false;
            }
            return true;
        };
        EXPECT_TRUE(waitUntil(painted, std::chrono::seconds(60)));
        if (shot) shot->keepIfFailed();
        const auto now = std::chrono::steady_clock::now();
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(shotBegan - resized));
        ++probes;
        if (!wholeImageSets(catalog).empty()) {
            if (!firstSet) {
                firstSet = std::chrono::duration_cast<std::chrono::milliseconds>(now - converting);
                firstSetProcessorTime = gwtest::processorTimeOf(app_) - convertingProcessorTime;
            }
            ++afterFirstSet;
        }
        std::this_thread::sleep_until(next);
    }
    if (afterFirstSet == 0) {
        // A conversion that made no set at all (seen in crowded full runs, never alone):
        // where each of the program's threads waits is what tells a stall from slowness.
        std::string stacks = "(gdb is not installed: no stacks)";
        if (::access("/usr/bin/gdb", X_OK) == 0) {
            gwtest::ProgramOptions options;
            options.deadline = std::chrono::seconds(120);
            const auto run = gwtest::runProgram(
                "/usr/bin/gdb", {"-p", std::to_string(app_), "-batch", "-ex", "thread apply all bt"}, options);
            stacks = run.out + run.err;
        }
        ADD_FAILURE() << "the program's threads:\n" << stacks;
    }
    ASSERT_EQ(afterFirstSet, 3) << "no image set was written\n" << session_.log(app_);
    RecordProperty("slowest_repaint_ms", static_cast<int>(slowest.count()));
    RecordProperty("first_set_ms", static_cast<int>(firstSet->count()));
    EXPECT_LT(4 * slowest, *firstSet) << "the slowest of " << probes << " repaints took " << slowest.count()
                                      << " ms, the first set " << firstSet->count() << " ms";

    // Ctrl+Q: the conversion stops and the program ends soon, not when the batch is done:
    // the quit costs the program less than making the first set cost it (processor time,
    // which the machine's other work does not stretch; on a crowded machine a quit of
    // seconds took longer by the wall clock than a set that came quickly). The steps under
    // way end with the quit and the pictures are saved, which on two processors came to just
    // over half of the first set's cost; a quit that went on with the batch costs a set for
    // each picture left. The program is this process's child: what it had by the end is counted
    // once it is reaped.
    const auto processorTimeBeforeQuit = gwtest::processorTimeOf(app_);
    ASSERT_TRUE(session_.typeKeys(window_, "ctrl+q"));
    const auto asked = std::chrono::steady_clock::now();
    const auto reapedBefore = gwtest::reapedChildrenProcessorTime();
    EXPECT_EQ(session_.waitForExit(app_), 0) << session_.log(app_);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    const auto quitProcessorTime = gwtest::reapedChildrenProcessorTime() - reapedBefore - processorTimeBeforeQuit;
    RecordProperty("quit_ms", static_cast<int>(took.count()));
    RecordProperty("quit_processor_ms", static_cast<int>(quitProcessorTime.count()));
    RecordProperty("first_set_processor_ms", static_cast<int>(firstSetProcessorTime->count()));
    EXPECT_LT(quitProcessorTime, *firstSetProcessorTime)
        << "the quit cost " << quitProcessorTime.count() << " ms of processor time (" << took.count()
        << " ms), the first set " << firstSetProcessorTime->count() << " ms (" << firstSet->count() << " ms)";

    // Every set in place is whole, fewer than all were written, and nothing is left in
    // flight beside them.
    const auto sets = wholeImageSets(catalog);
    EXPECT_LT(sets.size(), static_cast<std::size_t>(kPictures));
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    }
    // The pictures are saved, in batch mode, as their files' own bytes.
    const auto saved = pf::json::parse(gwtest::readFile(savedState()));
    EXPECT_EQ(saved.get("imageInputCollectionType").asInteger(), 2);
    const auto* inputs = saved.get("imageInputs").asArray();
    ASSERT_TRUE(inputs);
    ASSERT_EQ(inputs->size(), static_cast<std::size_t>(kPictures));
    const auto base64 = pf::base64Encoded(pf::Data(jpeg.begin(), jpeg.end()));
    for (const auto& input : *inputs) EXPECT_TRUE(input.get("imageWrapper").get("image") == pf::Value(base64));
}

}  // namespace
