// The main window's picture lists and well against a real engine, with real files and
// synthesised drag events carrying real data: where drops land, what is refused, errors
// presented, key commands, clicks and the cells' delete buttons.
#include "app/ui/picture_list_answers.hpp"
#include "app/ui/picture_pasteboard_types.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "support/gui/gui_harness.hpp"
#include "ui_test_support.hpp"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QUrl>

namespace {

namespace fs = std::filesystem;
namespace qt = platform::appkit::qt;
using gwtest::ui::centreColour;
using gwtest::ui::solidImage;
using gwtest::ui::writeSolidPng;

Qt::DropAction dropAt(QWidget& target, const QMimeData& mime, QPoint point, bool* indicatorShown = nullptr) {
    QDragEnterEvent enter(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    if (auto* list = dynamic_cast<qt::CollectionView*>(&target); list && indicatorShown)
        *indicatorShown = list->dropIndicator().has_value();
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDragMoveEvent move(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &move);
    if (auto* list = dynamic_cast<qt::CollectionView*>(&target); list && indicatorShown)
        *indicatorShown = list->dropIndicator().has_value();
    if (!move.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

QMimeData* filesMime(const std::vector<fs::path>& files) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const auto& file : files) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(file.string())));
    mime->setUrls(urls);
    return mime;
}

struct MainWindowLists {
    fs::path dir = fs::path(::testing::TempDir()) / ("lists-" + std::to_string(::getpid()));
    std::shared_ptr<gw::Glyphwright> engine = gw::Glyphwright::make();
    std::shared_ptr<gw::PictureListAnswers> answers = std::make_shared<gw::PictureListAnswers>();
    gw::KeyDetectingCollectionView list;
    gw::MyImageView well;
    int openDialogs = 0;
    std::vector<std::string> listErrors, wellErrors;

    MainWindowLists() {
        fs::remove_all(dir);
        answers->setEngine(engine);
        answers->setOpenFileDialogHandler([this] { ++openDialogs; });
        answers->setErrorPresenter([this](std::exception_ptr e) { listErrors.push_back(gw::errorDescription(e)); });
        answers->setWellErrorPresenter([this](std::exception_ptr e) { wellErrors.push_back(gw::errorDescription(e)); });
        answers->setUpList(list);
        answers->setUpWell(well);
        list.resize(300, 200);
        well.resize(200, 200);
        list.show();
        well.show();
    }
    ~MainWindowLists() { fs::remove_all(dir); }

    fs::path png(const std::string& name, std::uint32_t rgb) { return writeSolidPng(dir / name, 20, 20, rgb); }
    // Three pictures: red, green, blue.
    void addThree() {
        engine->addImages({platform::foundation::URL::fileURL(png("1-r.png", 0xFF0000)),
                           platform::foundation::URL::fileURL(png("2-g.png", 0x00FF00)),
                           platform::foundation::URL::fileURL(png("3-b.png", 0x0000FF))});
    }
    // Files dropped are read in the background: waits until they are in the engine.
    void settle() {
        engine->waitForBackgroundReading();
        platform::dispatch::MainLoop::drain();
    }
    std::vector<std::uint32_t> colours() const {
        std::vector<std::uint32_t> result;
        for (const auto& input : engine->imageInputs()) result.push_back(centreColour(input->imageWrapper()->image()));
        return result;
    }
    // Between items `index - 1` and `index` of the list.
    QPoint before(std::size_t index) const {
        const QRect rect = list.itemAt(index)->geometry();
        return {rect.left() + 1, rect.center().y()};
    }
};

TEST(PictureLists, DropsOfFilesAndPicturesLandAtTheDropIndex) {
    MainWindowLists w;
    w.addThree();
    ASSERT_EQ(w.list.itemCount(), 3u);
    EXPECT_GE(w.list.maxItemSize().width(), 300);  // follows the list's size

    // Dragged in any order, files go in at the drop index in name order.
    std::unique_ptr<QMimeData> two(filesMime({w.png("m.png", 0xFF00FF), w.png("c.png", 0x00FFFF)}));
    EXPECT_EQ(dropAt(w.list, *two, w.before(1)), Qt::CopyAction);
    w.settle();
    EXPECT_EQ(w.colours(), (std::vector<std::uint32_t>{0xFF0000, 0x00FFFF, 0xFF00FF, 0x00FF00, 0x0000FF}));
    EXPECT_EQ(w.list.itemCount(), 5u);

    // Two pictures at index 1 stand there in the order they were dragged.
    w.answers->handleLoadedPasteboardItems(
        gw::PasteboardLoadResult::images({solidImage(8, 8, 0x111111), solidImage(8, 8, 0x222222)}), 1);
    EXPECT_EQ(w.colours()[1], 0x111111u);
    EXPECT_EQ(w.colours()[2], 0x222222u);
    EXPECT_GT(w.engine->imageInputs()[1]->imageWrapper()->image()->size().width, 0);

    // A real PNG drag lands where it is dropped.
    QMimeData png;
    png.setData("image/png", QByteArray(reinterpret_cast<const char*>(gw::pngData(*solidImage(8, 8, 0x333333))->data()),
                                        static_cast<int>(gw::pngData(*solidImage(8, 8, 0x333333))->size())));
    EXPECT_EQ(dropAt(w.list, png, w.before(2)), Qt::CopyAction);
    EXPECT_EQ(w.colours()[2], 0x333333u);
    EXPECT_TRUE(w.listErrors.empty());

    // The well appends.
    EXPECT_EQ(dropAt(w.well, *two, QPoint(50, 50)), Qt::CopyAction);
    w.settle();
    EXPECT_TRUE(w.wellErrors.empty());
}

TEST(PictureLists, TextIsRefusedAndBadFilesArePassedOverOrPresented) {
    MainWindowLists w;
    w.addThree();
    QMimeData text;
    text.setText("/tmp/not-a-drop.png");
    bool indicator = true;
    EXPECT_EQ(dropAt(w.list, text, w.before(1), &indicator), Qt::IgnoreAction);
    EXPECT_FALSE(indicator);
    EXPECT_EQ(dropAt(w.well, text, QPoint(50, 50)), Qt::IgnoreAction);
    EXPECT_EQ(w.engine->imageInputs().size(), 3u);

    // A file that does not load is passed over; the good ones go in.
    const fs::path corrupt = w.dir / "corrupt.png";
    std::ofstream(corrupt) << "this is no picture";
    std::unique_ptr<QMimeData> mixed(filesMime({w.png("c.png", 0x00FFFF), corrupt, w.png("m.png", 0xFF00FF)}));
    EXPECT_EQ(dropAt(w.list, *mixed, w.before(0)), Qt::CopyAction);
    w.settle();
    EXPECT_EQ(w.engine->imageInputs().size(), 5u);
    EXPECT_TRUE(w.listErrors.empty());

    // A file gone by the time of the drop: its error is presented, what came before it
    // (in name order) stays.
    std::unique_ptr<QMimeData> vanished(filesMime({w.dir / "gone.png", w.png("a-y.png", 0xFFFF00)}));
    EXPECT_EQ(dropAt(w.list, *vanished, w.before(0)), Qt::CopyAction);
    w.settle();
    ASSERT_EQ(w.listErrors.size(), 1u);
    EXPECT_NE(w.listErrors[0].find("gone.png"), std::string::npos) << w.listErrors[0];
    EXPECT_EQ(w.engine->imageInputs().size(), 6u);
    EXPECT_EQ(w.colours()[0], 0xFFFF00u);

    // A failure of the loader on the well goes to the well's presenter.
    w.answers->handleLoadedPasteboardItems(
        gw::PasteboardLoadResult::failure(std::make_exception_ptr(gw::PasteboardError())));
    EXPECT_EQ(w.wellErrors.size(), 1u);
    // An empty list of pictures changes nothing.
    w.answers->handleLoadedPasteboardItems(gw::PasteboardLoadResult::images({}), 0);
    EXPECT_EQ(w.engine->imageInputs().size(), 6u);
}

TEST(PictureLists, KeysClicksAndDeleteButtonsActOnTheEngine) {
    MainWindowLists w;
    w.addThree();
    w.engine->addImages({platform::foundation::URL::fileURL(w.png("w.png", 0xFFFFFF))});
    w.list.setFocus();
    w.engine->collectionViewArrayController()->setSelectionIndexes({0, 1, 3});
    QTest::keyClick(&w.list, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(w.engine->imageInputs().size(), 4u);
    QTest::keyClick(&w.list, Qt::Key_Right);  // ignored by the main window
    EXPECT_EQ(w.engine->collectionViewArrayController()->selectionIndexes(), (std::set<std::size_t>{0, 1, 3}));
    QTest::keyClick(&w.list, Qt::Key_Backspace);
    EXPECT_EQ(w.colours(), (std::vector<std::uint32_t>{0x0000FF}));
    QTest::keyClick(&w.list, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(w.engine->collectionViewArrayController()->selectionIndexes(), (std::set<std::size_t>{0}));

    // Empty space: the open dialog only when nothing is selected.
    QTest::mouseClick(&w.list, Qt::LeftButton, Qt::NoModifier, QPoint(290, 190));
    EXPECT_EQ(w.openDialogs, 1);  // the click itself cleared the selection first
    w.engine->collectionViewArrayController()->setSelectionIndexes({0});
    QTest::mouseClick(&w.list, Qt::LeftButton, Qt::NoModifier, w.list.itemAt(0)->geometry().center());
    EXPECT_EQ(w.openDialogs, 1);
    QTest::mouseClick(&w.well, Qt::LeftButton);
    EXPECT_EQ(w.openDialogs, 2);

    // Hover shows the delete button; its click removes that picture.
    w.addThree();
    ASSERT_EQ(w.list.itemCount(), 4u);
    auto* item = dynamic_cast<gw::OLVImageCollectionViewItem*>(w.list.itemAt(2));
    ASSERT_NE(item, nullptr);
    auto* cell = item->view();
    const auto victim = cell->imageInput();
    ASSERT_EQ(victim, w.engine->imageInputs()[2]);
    EXPECT_FALSE(cell->deleteButtonVisible());
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(cell, &enter);
    EXPECT_TRUE(cell->deleteButtonVisible());
    EXPECT_FALSE(cell->deleteButton->isHidden());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(cell, &leave);
    EXPECT_TRUE(cell->deleteButton->isHidden());
    QApplication::sendEvent(cell, &enter);
    QTest::mouseClick(cell->deleteButton, Qt::LeftButton);
    EXPECT_EQ(w.engine->imageInputs().size(), 3u);
    for (const auto& input : w.engine->imageInputs()) EXPECT_NE(input, victim);
    // The selection fill follows the list's selection.
    w.engine->collectionViewArrayController()->setSelectionIndexes({1});
    EXPECT_TRUE(dynamic_cast<gw::OLVImageCollectionViewItem*>(w.list.itemAt(1))->view()->selected());
    EXPECT_FALSE(dynamic_cast<gw::OLVImageCollectionViewItem*>(w.list.itemAt(0))->view()->selected());
}

TEST(PictureLists, WithoutEngineOrViewNothingHappens) {
    MainWindowLists w;
    w.addThree();
    std::unique_ptr<QMimeData> files(filesMime({w.png("c.png", 0x00FFFF)}));
    auto kept = w.engine;
    w.answers->setEngine({});
    QTest::keyClick(&w.list, Qt::Key_Delete);
    QTest::mouseClick(&w.list, Qt::LeftButton, Qt::NoModifier, QPoint(290, 190));
    EXPECT_EQ(w.openDialogs, 0);
    EXPECT_EQ(dropAt(w.list, *files, QPoint(10, 10)), Qt::CopyAction);  // taken, then dropped silently
    w.answers->deleteMultipleImagePressed(kept->imageInputs()[0]);
    EXPECT_EQ(kept->imageInputs().size(), 3u);
    EXPECT_EQ(w.list.itemCount(), 0u);  // the list lets go of the old engine's pictures
    // A new engine: the list shows its pictures.
    w.answers->setEngine(kept);
    EXPECT_EQ(w.list.itemCount(), 3u);

    // The well reaches its delegate through its own load target.
    int delivered = 0;
    struct Counting : gw::MyImageViewDelegate {
        int* count;
        void myImageViewClicked(gw::MyImageView&) override {}
        void myImageView(gw::MyImageView&, const gw::PasteboardLoadResult&) override { ++*count; }
    };
    auto delegate = std::make_shared<Counting>();
    delegate->count = &delivered;
    auto* well = new gw::MyImageView;
    well->delegate = delegate;
    EXPECT_EQ(dropAt(*well, *files, QPoint(10, 10)), Qt::CopyAction);
    EXPECT_EQ(delivered, 1);
    delete well;
    EXPECT_EQ(delivered, 1);
}

}  // namespace
