// The catalog prompt in a real window on a private X server: its size as the X server
// reports it, its pictures as a screenshot shows them, and a key press from outside
// answering it.
#include "app/foundation/folder_scanning.hpp"
#include "app/ui/asset_catalog_already_exists_window.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/gui/x11_harness.hpp"
#include "ui_test_support.hpp"

#include <QWindow>

#include <cmath>
#include <regex>

namespace {

namespace fs = std::filesystem;
using gw::AssetCatalogAlreadyExistsWindow;
using gwtest::x11::Rgb;

class CatalogPromptOnX11 : public gwtest::engine::EngineEnvironment {};

Rgb rgb(std::uint32_t c) { return Rgb{int(c >> 16 & 0xFF), int(c >> 8 & 0xFF), int(c & 0xFF)}; }

TEST_F(CatalogPromptOnX11, ShowsTheWidthRulesSizeAndEveryPictureAndTakesAKeyFromOutside) {
    const std::uint32_t colours[] = {0xE0A000, 0x00A0E0, 0xA000E0, 0x00C060};
    const auto catalog = dir_.path() / "out" / "A catalog with a name long enough to widen the window.xcassets";
    for (int i = 0; i < 4; ++i) {
        gwtest::ui::writeImageSet(catalog / ("Set" + std::to_string(i) + ".imageset"), colours[i], 50 + 10 * i);
    }
    // The order the window shows them in: the catalog's pictures, largest first.
    const auto existing = gw::imagesInFolder(folderURL(catalog));
    ASSERT_EQ(existing.size(), 4u);
    constexpr std::uint32_t kNew = 0xD02020;

    auto window = std::make_shared<AssetCatalogAlreadyExistsWindow>();
    window->setFrame(QRect(0, 0, 320, 240));
    bool checked = false;
    auto answer = gwtest::gui::answerNextModal([&](QWidget&) {
        ASSERT_TRUE(gwtest::gui::waitFor([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
        const std::string id = std::to_string(window->winId());
        const QSize expected(int(std::ceil(window->widestTitleWidth() + 75)), 468);

        const auto geometry = gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "getwindowgeometry", id});
        ASSERT_TRUE(geometry);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(*geometry, m, std::regex(R"(Geometry: (\d+)x(\d+))"))) << *geometry;
        EXPECT_EQ(QSize(std::stoi(m[1]), std::stoi(m[2])), expected);

        // Every view's centre shows its picture's colour, once the window has been drawn.
        const auto centreOf = [&](QWidget* view) { return view->mapTo(window.get(), view->rect().center()); };
        std::optional<gwtest::x11::Screenshot> shot;
        const auto allShown = [&] {
            if (!shot) return false;
            for (int i = 0; i < 4; ++i) {
                const QPoint p = centreOf(window->existingImageView(i));
                if (!gwtest::x11::near(shot->at(p.x(), p.y()), rgb(gwtest::ui::centreColour(existing[i])))) return false;
            }
            const QPoint p = centreOf(window->inputImageView(0));
            return gwtest::x11::near(shot->at(p.x(), p.y()), rgb(kNew));
        };
        EXPECT_TRUE(gwtest::gui::waitFor([&] {
            shot = gwtest::x11::Screenshot::ofWindow(id, "catalog-prompt");
            return allShown();
        }, std::chrono::seconds(30)));
        ASSERT_TRUE(shot);
        EXPECT_EQ(QSize(shot->width(), shot->height()), expected);
        // An empty input view shows the window's background, not a picture's colour.
        const QPoint empty = centreOf(window->inputImageView(1));
        EXPECT_FALSE(gwtest::x11::near(shot->at(empty.x(), empty.y()), rgb(kNew)));
        shot->keepIfFailed();

        // Return typed on the X server reaches the focused prompt: Continue.
        EXPECT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "windowfocus", "--sync", id}));
        EXPECT_TRUE(gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "key", "Return"}));
        checked = true;
    });
    const auto result = window->runModal({folderURL(catalog), {gwtest::ui::solidImage(64, 64, kNew)}});
    EXPECT_TRUE(answer->answered());
    EXPECT_TRUE(checked);
    EXPECT_EQ(result.response, 1);
}

}  // namespace
