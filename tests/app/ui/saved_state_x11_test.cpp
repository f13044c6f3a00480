// The built window program with photographs whose saved state passes a gigabyte, on a
// desktop of the test's own: a quit ends the process within seconds, and the pictures
// come back at the next start (the reader once stopped at 1 GiB and the next quit saved
// the state empty).
#include "saved_state_x11_support.hpp"
#include "support/machine_pace.hpp"
#include "support/photo_like_png.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class SavedStateOnX11 : public gwtest::ui::SavedStateDesktopTest {
protected:
    // Waits until the main window's batch list shows a row for each of `names`.
    bool showsRows(pid_t app, const std::set<std::string>& names) {
        return showsExactly(app, names, names, std::chrono::seconds(240));
    }

    // Ctrl+Q in `window`: the program ends with status 0; how long it took.
    std::chrono::milliseconds quit(pid_t app, const std::string& window) {
        EXPECT_TRUE(session_.typeKeys(window, "ctrl+q"));
        const auto asked = Clock::now();
        EXPECT_EQ(session_.waitForExit(app, std::chrono::seconds(300)), 0) << session_.log(app);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
    }
};

TEST_F(SavedStateOnX11, PhotographsSavedPastAGigabyteComeBackAndEachQuitEndsInSeconds) {
    // The fewest 8192² photographs (200 MB files) whose saved state passes 1 GiB: four,
    // one file written under four names.
    constexpr int kPictures = 4;
    const auto png = gwtest::photoLikePng(8192);
    std::vector<std::string> files;
    std::set<std::string> names;
    for (int i = 1; i <= kPictures; ++i) {
        names.insert("Photo" + std::to_string(i));
        files.push_back((session_.root() / ("Photo" + std::to_string(i) + ".png")).string());
        std::ofstream(files.back(), std::ios::binary) << png;
    }

    const pid_t first = session_.launch(GW_DESKTOP_PATH, files);
    const auto window = session_.firstWindow(first);
    ASSERT_FALSE(window.empty()) << session_.log(first);
    ASSERT_TRUE(showsRows(first, names)) << session_.log(first);
    // Generous for two loaded processors: writing the state takes a few seconds; encoding
    // the photographs anew, as quits once did, took a minute. Scaled by the machine's pace.
    gwtest::Pace pace;
    const auto firstQuit = quit(first, window);
    RecordProperty("first_quit_ms", static_cast<int>(firstQuit.count()));
    EXPECT_LT(firstQuit, pace.bound(std::chrono::seconds(30)));
    const auto size = fs::file_size(savedState());
    RecordProperty("saved_state_bytes", std::to_string(size));
    ASSERT_GT(size, std::uintmax_t{1} << 30);

    // The next start shows them all again; its quit saves them again, as they were.
    const pid_t second = session_.launch(GW_DESKTOP_PATH);
    const auto again = session_.firstWindow(second);
    ASSERT_FALSE(again.empty()) << session_.log(second);
    EXPECT_TRUE(showsRows(second, names)) << session_.log(second);
    const auto secondQuit = quit(second, again);
    RecordProperty("second_quit_ms", static_cast<int>(secondQuit.count()));
    EXPECT_LT(secondQuit, pace.bound(std::chrono::seconds(30)));
    EXPECT_EQ(fs::file_size(savedState()), size);
}

}  // namespace
