// The built window program on a desktop of the test's own (Xvfb, a private bus, dunst): it
// opens its window with the menu strip drawn, the other-apps prompt holds the first quit
// back at launch count 8 and the second quit saves and exits, a forced update ends the
// process as soon as its alert is answered, and a picture handed over becomes a catalog
// through the keyboard, the destination dialog and the catalog prompt.
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/x11_session.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace pf = platform::foundation;
using gwtest::x11::DesktopSession;
using gwtest::x11::kAppearDeadline;
using gwtest::x11::Rgb;
using gwtest::x11::waitUntil;

constexpr const char* kBundleId = "com.norvane.glyphwright";

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

    // A started window program and its main window (empty when none appeared).
    std::pair<pid_t, std::string> launchWithWindow(const std::vector<std::string>& arguments = {}) {
        const pid_t pid = session_.launch(GW_GLYPHWRIGHT_PATH, arguments);
        return {pid, mainWindow(pid)};
    }

    // The main window of a started program: its first visible window, waited for.
    std::string mainWindow(pid_t pid) {
        std::string found;
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto windows = session_.visibleWindows(pid);
                if (windows.empty() || session_.hasEnded(pid)) return false;
                found = windows.front();
                return true;
            },
            kAppearDeadline))
            << "no window appeared";
        return found;
    }

    // A visible window of the process other than those in `known`, waited for.
    std::optional<std::string> otherWindow(pid_t pid, const std::vector<std::string>& known) {
        std::optional<std::string> found;
        waitUntil(
            [&] {
                for (const auto& id : session_.visibleWindows(pid)) {
                    if (std::find(known.begin(), known.end(), id) == known.end()) found = id;
                }
                return found.has_value() || session_.hasEnded(pid);
            },
            kAppearDeadline);
        return found;
    }
    std::optional<std::string> otherWindow(pid_t pid, const std::string& main) {
        return otherWindow(pid, std::vector<std::string>{main});
    }

    DesktopSession session_;
};

bool isVisible(DesktopSession& session, pid_t pid, const std::string& window) {
    const auto windows = session.visibleWindows(pid);
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

int luminance(Rgb c) { return (c.r * 299 + c.g * 587 + c.b * 114) / 1000; }

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
    const auto prompt = otherWindow(app, window);
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
    const auto alert = otherWindow(app, window);
    ASSERT_TRUE(alert) << "no alert appeared\n" << session_.log(app);
    EXPECT_EQ(server.requests(), 1);

    ASSERT_TRUE(session_.typeKeys(*alert, "Return"));
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_EQ(session_.waitForExit(app), 0) << session_.log(app);
    const auto took = std::chrono::steady_clock::now() - answered;
    EXPECT_LE(took, std::chrono::seconds(5) * GW_TEST_TIMEOUT_SCALE)
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
    gwtest::writeFile(out / "Assets.xcassets/Contents.json",
                      "{\n  \"info\" : {\n    \"author\" : \"xcode\",\n    \"version\" : 1\n  }\n}\n");

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
    const auto menu = otherWindow(app, window);
    ASSERT_TRUE(menu) << "the File menu did not open";
    ASSERT_TRUE(session_.typeKeys(*menu, "Down Down Return"));
    std::vector<std::string> dialogs;
    ASSERT_TRUE(waitUntil([&] { return !(dialogs = session_.visibleWindowsNamed("^Choose the Output Folder")).empty(); },
                          kAppearDeadline))
        << session_.log(app);
    ASSERT_TRUE(gwtest::x11::run({"timeout", "60", "xdotool", "windowfocus", "--sync", dialogs.front()}));
    ASSERT_TRUE(gwtest::x11::run({"timeout", "60", "xdotool", "type", "--delay", "20", out.string()}));
    ASSERT_TRUE(session_.typeKeys(dialogs.front(), "Return"));
    EXPECT_TRUE(waitUntil([&] { return session_.visibleWindowsNamed("^Choose the Output Folder").empty(); },
                          kAppearDeadline));
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
    const auto prompt = otherWindow(app, before);
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
