// A real drag in a real window on a private X server: the pointer, driven by xdotool,
// drags the third layer of the layer list before the first through Qt's X drag and
// drop; the canvas then shows that layer in front.
#include "app/ui/layer_editing_view_controller.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/gui/x11_harness.hpp"
#include "ui_test_support.hpp"

#include <QApplication>
#include <QWindow>

#include <thread>

namespace {

namespace fs = std::filesystem;
using gwtest::x11::Rgb;

TEST(LayerDragOnX11, DraggingTheThirdLayerBeforeTheFirstPutsItInFront) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("layer-drag-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    const auto url = [&](const char* name, std::uint32_t rgb) {
        return platform::foundation::URL::fileURL(gwtest::ui::writeSolidPng(dir / name, 120, 80, rgb));
    };
    auto engine = gw::Glyphwright::make();
    engine->addImages({url("A.png", 0xE02020), url("B.png", 0x20E020), url("C.png", 0x2020E0)});
    auto editor = gw::LayerEditingViewController::make();
    editor->setGlyphwright(engine);
    QWidget* window = editor->view();
    window->resize(760, 480);
    window->show();
    editor->viewWillAppear();
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
    QApplication::processEvents();
    const std::string id = std::to_string(window->winId());

    auto* list = editor->collectionView;
    const QPoint from = list->mapTo(window, list->itemAt(2)->geometry().center());
    const QRect first = list->itemAt(0)->geometry();
    const QPoint to = list->mapTo(window, QPoint(first.center().x(), first.top() + 2));
    // The drag runs Qt's own loop on this thread, so the pointer is moved from another.
    std::thread pointer([&] {
        const auto s = [](int v) { return std::to_string(v); };
        gwtest::x11::run(std::chrono::seconds(30), {"xdotool", "mousemove", "--window", id, s(from.x()), s(from.y()), "mousedown", "1",
                          "sleep", "0.3", "mousemove", "--window", id, s(from.x()), s(from.y() - 10), "sleep", "0.3",
                          "mousemove", "--window", id, s(to.x()), s(to.y() + 8), "sleep", "0.3", "mousemove", "--window",
                          id, s(to.x()), s(to.y()), "sleep", "0.5", "mouseup", "1"});
    });
    const auto names = [&] {
        std::vector<std::string> result;
        for (const auto& input : engine->imageInputs()) result.push_back(input->imageName());
        return result;
    };
    const bool moved = gwtest::gui::waitFor([&] { return names() == std::vector<std::string>{"C", "A", "B"}; },
                                            std::chrono::seconds(60));
    pointer.join();
    EXPECT_TRUE(moved) << names().size();
    EXPECT_FALSE(editor->indexOfItemBeingDragged);

    // The canvas centre shows C's colour once drawn.
    const QPoint centre = editor->canvasView->mapTo(window, editor->canvasView->rect().center());
    std::optional<gwtest::x11::Screenshot> shot;
    EXPECT_TRUE(gwtest::gui::waitFor([&] {
        QApplication::processEvents();
        shot = gwtest::x11::Screenshot::ofWindow(id, "layer-drag");
        return shot && gwtest::x11::near(shot->at(centre.x(), centre.y()), Rgb{0x20, 0x20, 0xE0});
    }, std::chrono::seconds(30)));
    if (shot) shot->keepIfFailed();
    fs::remove_all(dir);
}

}  // namespace
