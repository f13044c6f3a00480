// The controls of the desktop layer, on the offscreen platform: pictures drawn to fit,
// the radio matrix with its bold runs, the pop-up that acts on user choices only, bundle
// images, error boxes, window placement, and what opens over the application's main window.
#include "platform/appkit/qt/alert.hpp"
#include "platform/appkit/qt/application.hpp"
#include "platform/appkit/qt/open_panel.hpp"
#include "platform/appkit/qt/bundle_image.hpp"
#include "platform/appkit/qt/image_view.hpp"
#include "platform/appkit/qt/matrix.hpp"
#include "platform/appkit/qt/pop_up_button.hpp"
#include "platform/appkit/qt/window.hpp"
#include "platform/graphics/bitmap.hpp"
#include "support/gui/gui_harness.hpp"
#include "support/temp_dir.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QWindow>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace qt = platform::appkit::qt;
namespace pg = platform::graphics;

pg::ImagePtr solid(int width, int height, std::uint32_t argb) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) std::memcpy(&pixels[i], &argb, 4);
    return pg::Image::withBitmap(pg::makeSharedBitmap(pg::Bitmap(width, height, width * 4, std::move(pixels), false)));
}

TEST(ImageView, DrawsThePictureFittedAndCentredAndRendersEachSizeOnce) {
    qt::ImageView view;
    view.resize(100, 100);
    view.setImage(solid(200, 100, 0xFFFF0000u));  // 2:1 red
    EXPECT_EQ(view.imageRect(), QRect(0, 25, 100, 50));
    const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(QColor(shot.pixel(50, 50)), QColor(Qt::red));
    EXPECT_EQ(QColor(shot.pixel(50, 30)), QColor(Qt::red));
    EXPECT_NE(QColor(shot.pixel(50, 10)), QColor(Qt::red));  // the bar above stays the background
    EXPECT_NE(QColor(shot.pixel(50, 90)), QColor(Qt::red));
    const auto renders = view.renderCount();
    view.grab();
    EXPECT_EQ(view.renderCount(), renders);  // same size: from the cache
    view.resize(60, 60);
    view.grab();
    EXPECT_EQ(view.renderCount(), renders + 1);

    view.setImage(nullptr);
    EXPECT_TRUE(view.imageRect().isEmpty());
    EXPECT_NE(QColor(view.grab().toImage().pixel(30, 30)), QColor(Qt::red));
}

TEST(ImageView, ALargePictureIsDrawnOffTheMainThreadWhileTheViewPaintsOn) {
    qt::ImageView view;
    view.resize(100, 100);
    const auto colourAt = [&](int x, int y) { return QColor(view.grab().toImage().pixel(x, y)); };
    const int side = 2100;  // more pixels than are scaled on the main thread
    ASSERT_GT(std::int64_t{side} * side, qt::ImageView::kLargePicturePixels);
    view.setImage(solid(side, side, 0xFFFF0000u));

    // The first paint does not wait for the drawing: nothing shows yet.
    EXPECT_NE(colourAt(50, 50), QColor(Qt::red));
    EXPECT_TRUE(view.isRenderingInBackground());
    EXPECT_EQ(view.renderCount(), 0u);
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return !view.isRenderingInBackground(); }));
    EXPECT_EQ(colourAt(50, 50), QColor(Qt::red));

    // At a new size the earlier drawing shows, scaled, until the new one is done.
    view.resize(60, 60);
    EXPECT_EQ(colourAt(30, 30), QColor(Qt::red));
    EXPECT_TRUE(view.isRenderingInBackground());
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return !view.isRenderingInBackground(); }));
    EXPECT_EQ(view.renderCount(), 2u);

    // A drawing of a picture shown no more is dropped when it is done.
    view.resize(80, 80);
    view.grab();
    view.setImage(solid(20, 20, 0xFF0000FFu));
    EXPECT_EQ(colourAt(40, 40), QColor(Qt::blue));
    EXPECT_FALSE(view.isRenderingInBackground());
    gwtest::gui::waitFor([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(colourAt(40, 40), QColor(Qt::blue));
}

// A window resized through many widths while a large picture is drawn: one drawing at a
// time, and once it is done only the latest width is drawn, not each one passed on the way
// (each was drawn whole, at once, beside a conversion on the same processors: a window
// being resized took 20 to 77 s to repaint on two crowded cores).
TEST(ImageView, ALargePictureResizedManyTimesIsDrawnForTheLatestSizeOnly) {
    qt::ImageView view;
    view.resize(100, 100);
    view.setImage(solid(2100, 2100, 0xFFFF0000u));
    view.grab();
    ASSERT_TRUE(view.isRenderingInBackground());
    for (int side = 30; side < 90; side += 3) {
        view.resize(side, side);
        view.grab();
    }
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return !view.isRenderingInBackground(); }));
    EXPECT_LE(view.renderCount(), 3u);
    // The latest size is among them: painting at it starts no further drawing.
    view.grab();
    EXPECT_FALSE(view.isRenderingInBackground());
    EXPECT_EQ(QColor(view.grab().toImage().pixel(40, 40)), QColor(Qt::red));
}

TEST(Matrix, TitlesShowOneBoldRunAndRowsSelectAndDisable) {
    qt::Matrix matrix(3);
    QFont regular = QApplication::font(), bold = regular;
    regular.setPixelSize(13);
    bold.setPixelSize(13);
    bold.setBold(true);
    const struct {
        std::string title, highlight, shownBold;
    } cases[] = {
        {"Overwrite the existing asset A & <B>", "Overwrite", "Overwrite"},
        {"Add to Add to", "Add to", "Add to"},           // the first occurrence only
        {"Create a new asset", "missing", ""},           // absent: plain title
        {"Plain", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        matrix.setRowTitle(0, c.title, c.highlight, regular, bold);
        EXPECT_EQ(matrix.rowTitle(0), c.title);
        EXPECT_EQ(matrix.rowHighlight(0), c.shownBold);
        EXPECT_EQ(matrix.rowLabel(0)->text().count("<b>"), c.shownBold.empty() ? 0 : 1);
        matrix.setRowTitle(1, c.title, "", regular, bold);
        if (c.shownBold.empty()) {
            EXPECT_DOUBLE_EQ(matrix.rowTitleWidth(0), matrix.rowTitleWidth(1));
        } else {
            EXPECT_GT(matrix.rowTitleWidth(0), matrix.rowTitleWidth(1));  // bold is wider
        }
    }
    // The markup of the title is shown as text, not interpreted.
    matrix.setRowTitle(0, "a <i>b</i>", "", regular, bold);
    EXPECT_TRUE(matrix.rowLabel(0)->text().contains("&lt;i&gt;"));

    matrix.show();
    EXPECT_EQ(matrix.selectedRow(), std::nullopt);
    QTest::mouseClick(matrix.rowButton(2), Qt::LeftButton);
    EXPECT_EQ(matrix.selectedRow(), 2);
    QTest::mouseClick(matrix.rowLabel(1), Qt::LeftButton);  // the title chooses its row too
    EXPECT_EQ(matrix.selectedRow(), 1);
    matrix.setRowEnabled(2, false);
    QTest::mouseClick(matrix.rowButton(2), Qt::LeftButton);
    QTest::mouseClick(matrix.rowLabel(2), Qt::LeftButton);
    EXPECT_EQ(matrix.selectedRow(), 1);
    EXPECT_FALSE(matrix.isRowEnabled(2));
    matrix.selectRow(-1);
    EXPECT_EQ(matrix.selectedRow(), std::nullopt);
    matrix.selectRow(0);
    EXPECT_EQ(matrix.selectedRow(), 0);
}

TEST(PopUpButton, ItsActionRunsForUserChoicesOnly) {
    qt::PopUpButton popUp;
    int actions = 0;
    int lastChoice = -1;
    popUp.setAction([&](qt::PopUpButton& sender) {
        ++actions;
        lastChoice = sender.indexOfSelectedItem();
    });
    for (const char* title : {"One", "Two", "Three"}) popUp.addItemWithTitle(title);
    popUp.selectItemAtIndex(2);
    popUp.removeAllItems();
    for (const char* title : {"One", "Two", "Three"}) popUp.addItemWithTitle(title);
    popUp.selectItemAtIndex(0);
    EXPECT_EQ(actions, 0);

    popUp.show();
    popUp.setFocus();
    QTest::keyClick(&popUp, Qt::Key_Down);  // a user's choice with the keyboard
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(lastChoice, 1);
    EXPECT_EQ(popUp.itemTitleAt(lastChoice), "Two");
    EXPECT_EQ(popUp.numberOfItems(), 3);
}

TEST(BundleImage, NamedImagesComeFromTheBundleAndMissingOnesAreNull) {
    const auto empty = qt::bundleImage("Empty Asset");
    ASSERT_NE(empty, nullptr);
    EXPECT_GT(empty->size().width, 0);
    // It draws: the frame's grey is on the rendered pixels.
    const auto bitmap = empty->renderBitmap(64, 64);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_NE(bitmap->pixelAt(32, 4) >> 24, 0u);
    EXPECT_EQ(qt::bundleImage("Empty Asset"), empty);  // loaded once
    EXPECT_EQ(qt::bundleImage("No Such Image"), nullptr);
}

TEST(Window, CentresOnTheScreenAndTakesTheFrameItIsGiven) {
    qt::Window window;
    window.setFrame(QRect(5, 7, 321, 123));
    EXPECT_EQ(window.frame(), QRect(5, 7, 321, 123));
    window.center();
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((window.frame().center() - screenCentre).manhattanLength(), 1);
    EXPECT_EQ(window.frame().size(), QSize(321, 123));
}

TEST(Alert, AnErrorIsShownByItsDescriptionModalToItsWindow) {
    qt::Window window;
    window.resize(300, 200);
    window.show();
    QPointer<QMessageBox> box = qt::presentError(&window, "The folder could not be written.");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), "The folder could not be written.");
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_TRUE(gwtest::gui::waitFor([&] { return box->isVisible(); }));
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_TRUE(gwtest::gui::waitFor([&] { return box.isNull(); }));  // deletes itself

    int response = 0;
    auto answer = gwtest::gui::answerNextModal([](QWidget& modal) { QTest::keyClick(&modal, Qt::Key_Escape); });
    qt::Alert alert{"Message", "Details", {"OK", "Cancel"}};
    response = alert.runModal();
    EXPECT_TRUE(answer->answered());
    EXPECT_EQ(response, qt::kAlertFirstButtonReturn + 1);

    // Without buttons of its own: one OK, the default.
    answer = gwtest::gui::answerNextModal([](QWidget& modal) { QTest::keyClick(&modal, Qt::Key_Return); });
    EXPECT_EQ((qt::Alert{"Message", "", {}}.runModal()), qt::kAlertFirstButtonReturn);
    EXPECT_TRUE(answer->answered());
    // A default other than the first: Return presses it, and Escape still the last.
    for (const auto key : {Qt::Key_Return, Qt::Key_Escape}) {
        answer = gwtest::gui::answerNextModal([key](QWidget& modal) { QTest::keyClick(&modal, key); });
        EXPECT_EQ((qt::Alert{"Message", "", {"Quit Anyway", "Cancel"}, 1}.runModal()), qt::kAlertFirstButtonReturn + 1);
        EXPECT_TRUE(answer->answered());
    }
}

// Prompts, alerts and file panels without a window of their own belong to the main
// window: above it and centred on it; file panels start in the home folder, then where
// the last confirmed one was.
TEST(Window, WhatOpensWithoutAWindowOfItsOwnOpensOverTheMainWindow) {
    auto& application = *qt::Application::shared();
    qt::Window main;
    main.setFrame(QRect(40, 30, 500, 400));
    main.show();
    application.setMainWindow(&main);
    const auto overMain = [&](const QWidget& shown) {
        return (shown.frameGeometry().center() - main.frameGeometry().center()).manhattanLength() <= 2;
    };

    qt::Window prompt;
    prompt.resize(200, 120);
    prompt.show();
    EXPECT_TRUE(overMain(prompt)) << prompt.frameGeometry().x() << "," << prompt.frameGeometry().y();
    ASSERT_NE(prompt.windowHandle(), nullptr);
    EXPECT_EQ(prompt.windowHandle()->transientParent(), main.windowHandle());
    prompt.hide();
    // Moved away and shown again: back over the main window.
    prompt.move(700, 600);
    prompt.show();
    EXPECT_TRUE(overMain(prompt));
    prompt.hide();

    auto answer = gwtest::gui::answerNextModal([&](QWidget& modal) {
        EXPECT_EQ(modal.parentWidget(), &main);
        QTest::keyClick(&modal, Qt::Key_Return);
    });
    qt::Alert{"Message", "", {}}.runModal();
    EXPECT_TRUE(answer->answered());

    gwtest::TempDir home;
    const gwtest::ScopedEnv homeEnv("HOME", home.path().string());
    std::filesystem::create_directories(home.path() / "art/icons");
    auto panel = std::make_shared<qt::OpenPanel>();
    panel->canChooseFiles = false;
    panel->canChooseDirectories = true;
    std::optional<qt::ModalResponse> response;
    panel->begin([&](qt::ModalResponse r) { response = r; });
    ASSERT_NE(panel->dialog(), nullptr);
    EXPECT_EQ(panel->dialog()->parentWidget(), &main);
    EXPECT_EQ(panel->dialog()->directory().absolutePath().toStdString(), home.path().string());
    panel->dialog()->setDirectory(QString::fromStdString((home.path() / "art").string()));
    auto* name = panel->dialog()->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText("icons");
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(gwtest::gui::waitFor([&] { return response.has_value(); }));
    EXPECT_EQ(*response, qt::ModalResponse::ok);
    EXPECT_EQ(qt::OpenPanel::startingDirectory(), home.path() / "art");
    auto next = std::make_shared<qt::OpenPanel>();
    next->begin([](qt::ModalResponse) {});
    ASSERT_NE(next->dialog(), nullptr);
    EXPECT_EQ(next->dialog()->directory().absolutePath().toStdString(), (home.path() / "art").string());
    next->dialog()->reject();

    application.setMainWindow(nullptr);
}

}  // namespace
