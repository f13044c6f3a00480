// The built window program on a desktop of the test's own (Xvfb, a private bus): it opens
// its window with the menu strip drawn, the other-apps prompt holds the first quit back at
// launch count 8 and the second quit saves and exits, and a forced update ends the
// process as soon as its alert is answered.
#include "platform/foundation/user_defaults.hpp"
#include "support/desktop/x11_session.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
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
    void seedSettings(const std::map<std::string, std::int64_t>& integers) const {
        fs::create_directories(settingsFile().parent_path());
        pf::UserDefaults settings(settingsFile());
        for (const auto& [key, value] : integers) settings.setInteger(value, key);
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

    // A visible window of the process other than `main`, waited for.
    std::optional<std::string> otherWindow(pid_t pid, const std::string& main) {
        std::optional<std::string> found;
        waitUntil(
            [&] {
                for (const auto& id : session_.visibleWindows(pid)) {
                    if (id != main) found = id;
                }
                return found.has_value() || session_.hasEnded(pid);
            },
            kAppearDeadline);
        return found;
    }

    DesktopSession session_;
};

bool isVisible(DesktopSession& session, pid_t pid, const std::string& window) {
    const auto windows = session.visibleWindows(pid);
    return std::find(windows.begin(), windows.end(), window) != windows.end();
}

int luminance(Rgb c) { return (c.r * 299 + c.g * 587 + c.b * 114) / 1000; }

TEST_F(DesktopOnX11, TheWindowOpensWithItsMenuStripDrawnAndAQuitEndsIt) {
    const pid_t app = session_.launch(GW_GLYPHWRIGHT_PATH);
    const auto window = mainWindow(app);
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
            std::map<int, int> shades;
            const int right = frame->x + std::min(frame->width, 400);
            for (int y = frame->y + 2; y < frame->y + 20; ++y) {
                for (int x = frame->x + 2; x < right; ++x) ++shades[luminance(shot->at(x, y))];
            }
            const int background =
                std::max_element(shades.begin(), shades.end(), [](auto& a, auto& b) { return a.second < b.second; })
                    ->first;
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
    const pid_t app = session_.launch(GW_GLYPHWRIGHT_PATH);
    const auto window = mainWindow(app);
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

    const pid_t app = session_.launch(GW_GLYPHWRIGHT_PATH);
    const auto window = mainWindow(app);
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
