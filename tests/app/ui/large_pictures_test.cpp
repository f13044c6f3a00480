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
#include <fstream>

namespace {

namespace pf = platform::foundation;
using gwtest::gui::waitFor;

// Far above a turn's usual few milliseconds, far below a drawing of the layers on the main
// thread (about two seconds on an idle machine, unsanitized). Both stretch with the load and
// the sanitizers: on six processors kept busy by twelve spinning processes a turn took just
// over a second, so the bound is scaled by the machine's pace and the build's slowdown.
constexpr std::chrono::seconds kLongestGapIdle{1};

// The longest the main loop went without turning since the probe was made: a timer due
// every few milliseconds measures the gaps between its turns.
class MainLoopProbe {
public:
    MainLoopProbe() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, since_.restart());
        });
        since_.start();
        timer_.start();
    }
    std::chrono::milliseconds longest() const { return std::chrono::milliseconds(longest_); }

private:
    QTimer timer_;
    QElapsedTimer since_;
    qint64 longest_ = 0;
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
    EXPECT_LT(probe.longest(), pace.bound(kLongestGapIdle));
    app->window->hide();
    app->delegate->applicationWillTerminate();
}

}  // namespace
