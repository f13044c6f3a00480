// The window application on the offscreen platform with large pictures: the main loop
// keeps turning while they are read in and drawn.
#include "app/ui/desktop_application.hpp"

#include "platform/foundation/user_defaults.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/machine_pace.hpp"
#include "support/photo_like_png.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>

namespace {

namespace pf = platform::foundation;
using gwtest::gui::waitFor;

// Far above a turn's usual few milliseconds, far below a drawing of the layers on the main
// thread (about two seconds unsanitized; four times that under the sanitizers). A gap is
// measured less the main thread's wait for a processor (the readers' threads and the machine's
// other work keep it waiting on a busy machine), and the bound is still scaled by how much of a
// processor a thread gets while the test runs (gwtest::Pace): on six processors kept busy by
// twelve spinning processes a turn took just over a second, slowed by what it shared.
constexpr std::chrono::milliseconds kLongestGap{1000};

// The longest the main loop went without turning since the probe was made, less the main
// thread's wait for a processor meanwhile: a timer due every few milliseconds measures the
// gaps between its turns.
class MainLoopProbe {
public:
    MainLoopProbe() : waited_(gwtest::processorWait()) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            std::chrono::milliseconds gap(since_.restart());
            if (const auto waited = gwtest::processorWait(); waited && waited_) {
                gap -= std::chrono::duration_cast<std::chrono::milliseconds>(*waited - *waited_);
                waited_ = waited;
            }
            longest_ = std::max(longest_, gap);
        });
        since_.start();
        timer_.start();
    }
    std::chrono::milliseconds longest() const { return longest_; }

private:
    QTimer timer_;
    QElapsedTimer since_;
    std::optional<std::chrono::nanoseconds> waited_;
    std::chrono::milliseconds longest_{};
};

class LargePicturesTest : public ::testing::Test {
protected:
    // `count` photo-like files of side x side pixels.
    std::vector<pf::URL> pictures(int count, int side) {
        const auto png = gwtest::photoLikePng(side);
        std::vector<pf::URL> urls;
        for (int i = 1; i <= count; ++i) {
            const auto file = dir_.path() / ("Photo" + std::to_string(i) + ".png");
            std::ofstream(file, std::ios::binary) << png;
            urls.push_back(pf::URL::fileURL(file));
        }
        return urls;
    }

    gwtest::TempDir dir_;
};

// Photographs handed over in the tvOS icon's layer editor, which opens as they are added
// and draws every layer at each repaint: drawn on the main thread, they held it for seconds.
TEST_F(LargePicturesTest, TheMainLoopKeepsTurningWhilePhotographsAreReadIntoTheLayerEditor) {
    constexpr std::size_t kCount = 3;
    constexpr int kTVOSIcon = 7;
    std::vector<std::string> files;
    for (const auto& url : pictures(kCount, 4096)) files.push_back(url.fsPath().string());
    pf::UserDefaults::standard().setInteger(kTVOSIcon, "IconType");
    auto app = gw::ui::DesktopApplication::make();
    app->window->show();
    app->delegate->applicationWillFinishLaunching();
    app->delegate->applicationDidFinishLaunching();

    gwtest::Pace pace;
    MainLoopProbe probe;
    app->delegate->openFiles(files);
    ASSERT_TRUE(waitFor([&] { return app->engine->imageInputs().size() == kCount; }, std::chrono::seconds(120)));
    // The layers are drawn after that.
    QElapsedTimer drawing;
    drawing.start();
    while (drawing.elapsed() < 3000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    RecordProperty("longest_gap_ms", static_cast<int>(probe.longest().count()));
    EXPECT_LT(probe.longest(), pace.bound(kLongestGap));
    app->window->hide();
    app->delegate->applicationWillTerminate();
}

}  // namespace
