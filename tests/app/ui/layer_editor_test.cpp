// The layer editor against a real engine and real picture files: default frames, the
// stack drawn back to front, reordering by drops of archived pictures, drops from
// outside, the canvas scale, bound controls and what a frame change re-lays.
#include "app/ui/layer_editing_view_controller.hpp"
#include "app/ui/picture_pasteboard_types.hpp"
#include "app/engine/image_creation_operation.hpp"
#include "platform/appkit/qt/control_bindings.hpp"
#include "platform/appkit/qt/drag_and_drop.hpp"
#include "platform/appkit/qt/touch_bar_strip.hpp"
#include "platform/foundation/bundle.hpp"
#include "app/foundation/localized_string.hpp"

#include <QCheckBox>
#include "support/gui/gui_harness.hpp"
#include "ui_test_support.hpp"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QUrl>

namespace {

namespace fs = std::filesystem;
namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;
using gw::ImageStackAssetType;
using gwtest::ui::writeSolidPng;

struct Editor {
    fs::path dir = fs::path(::testing::TempDir()) / ("layers-" + std::to_string(::getpid()));
    std::shared_ptr<gw::Glyphwright> engine = gw::Glyphwright::make();
    std::shared_ptr<gw::LayerEditingViewController> editor;
    std::vector<std::string> errors;

    explicit Editor(ImageStackAssetType type = ImageStackAssetType::appIcon) : editor(gw::LayerEditingViewController::make(type)) {
        fs::remove_all(dir);
        editor->setGlyphwright(engine);
        editor->setErrorPresenter([this](std::exception_ptr e) { errors.push_back(gw::errorDescription(e)); });
        editor->view()->resize(700, 500);
        editor->canvasView->setFixedWidth(400);
        editor->view()->show();
        QApplication::processEvents();
    }
    ~Editor() { fs::remove_all(dir); }
    platform::foundation::URL png(const std::string& name, std::uint32_t rgb, int w = 40, int h = 30) {
        return platform::foundation::URL::fileURL(writeSolidPng(dir / name, w, h, rgb));
    }
    // Pictures A (red), B (green), C (blue), front to back.
    void addABC() {
        engine->addImages({png("A.png", 0xFF0000), png("B.png", 0x00FF00), png("C.png", 0x0000FF)});
        editor->viewWillAppear();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& input : engine->imageInputs()) result.push_back(input->imageName());
        return result;
    }
    std::vector<std::string> stackBackToFront() const {
        std::vector<std::string> result;
        for (auto* view : editor->layerViews()) result.push_back(view->imageInput()->imageName());
        return result;
    }
    std::shared_ptr<gw::LayerFrame> frame(std::size_t index) const {
        return engine->imageInputs()[index]->tvOSAppIconlayerFrame();
    }
    // A drag of the picture at `from` dropped on the list.
    bool dropPicture(std::size_t from, qt::DropPosition position) {
        pa::Pasteboard pasteboard("drag");
        pasteboard.writeObjects({engine->imageInputs()[from].get()});
        return editor->acceptDrop(pasteboard, position);
    }
};

TEST(LayerEditor, EmptyShowsThePlaceholderAndAnOutsideDropSwitchesToVariants) {
    Editor e;
    e.editor->viewWillAppear();
    EXPECT_FALSE(e.editor->emptyPlaceholderLabel->isHidden());
    EXPECT_TRUE(e.editor->layerViews().empty());
    ASSERT_EQ(e.engine->imageInputCollectionType(), gw::ImageInputCollection::CollectionType::single);

    QMimeData file;
    file.setUrls({QUrl::fromLocalFile(QString::fromStdString(e.png("A.png", 0xFF0000).path()))});
    const QPoint point(40, 20);
    QDragEnterEvent enter(point, Qt::CopyAction, &file, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(point, Qt::CopyAction, &file, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(e.engine->imageInputCollectionType(), gw::ImageInputCollection::CollectionType::variants);
    EXPECT_EQ(e.names(), std::vector<std::string>{"A"});
    // The engine's change refreshed the editor: the placeholder is gone, the layer drawn.
    EXPECT_TRUE(e.editor->emptyPlaceholderLabel->isHidden());
    EXPECT_EQ(e.editor->layerViews().size(), 1u);

    // Text is refused, with no indicator.
    QMimeData text;
    text.setText("words");
    QDragEnterEvent refused(point, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_FALSE(e.editor->collectionView->dropIndicator());
}

TEST(LayerEditor, OnePictureIsTheLockedBackLayerAndItsControlsAreDisabled) {
    Editor e;
    e.engine->addImages({e.png("A.png", 0xFF0000)});
    e.editor->viewWillAppear();
    const auto frame = e.frame(0);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->isLocked());
    EXPECT_EQ(frame->width(), 400);
    EXPECT_EQ(frame->height(), 240);
    EXPECT_EQ(frame->centerX(), 200);
    EXPECT_EQ(frame->centerY(), 120);
    e.editor->arrayController()->setSelectionIndexes({0});
    for (QWidget* control : std::initializer_list<QWidget*>{
             e.editor->widthTextField, e.editor->widthStepper, e.editor->heightTextField, e.editor->heightStepper,
             e.editor->xTextField, e.editor->xStepper, e.editor->yTextField, e.editor->yStepper,
             e.editor->lockAspectRatioButton, e.editor->centeredButton})
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();
    EXPECT_FALSE(e.editor->bottomLayersAdviceLabel->isHidden());
    EXPECT_TRUE(e.editor->nonBottomLayersAdviceLabel->isHidden());
    EXPECT_EQ(e.editor->widthTextField->doubleValue(), 400);
    const std::pair<qt::NumberTextField*, const char*> shown[] = {{e.editor->widthTextField, "400"},
                                                                  {e.editor->heightTextField, "240"},
                                                                  {e.editor->xTextField, "200"},
                                                                  {e.editor->yTextField, "120"}};
    for (const auto& [field, text] : shown) EXPECT_EQ(field->text(), text);
    EXPECT_EQ(e.editor->canvasView->size(), QSize(400, 240));
    EXPECT_EQ(e.editor->layerViews()[0]->geometry(), QRect(0, 0, 400, 240));
}

TEST(LayerEditor, DraggingCBeforeARestacksAndRenewsTheWrongFrames) {
    Editor e;
    e.addABC();
    EXPECT_EQ(e.stackBackToFront(), (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_TRUE(e.frame(2)->isLocked());
    const auto frameA = e.frame(0);
    const auto frameC = e.frame(2);
    frameA->setCenterX(150);
    auto* viewA = e.editor->layerViews()[2];

    // A real synthesised drop of the archived picture before A.
    pa::Pasteboard pasteboard("drag");
    pasteboard.writeObjects({e.engine->imageInputs()[2].get()});
    std::unique_ptr<QMimeData> mime(qt::mimeDataFromPasteboard(pasteboard));
    const QRect first = e.editor->collectionView->itemAt(0)->geometry();
    const QPoint point(first.center().x(), first.top() + 2);
    QDragEnterEvent enter(point, Qt::MoveAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &enter);
    QDragMoveEvent move(point, Qt::MoveAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &move);
    EXPECT_EQ(e.editor->collectionView->dropIndicator(), (qt::DropPosition{0, qt::DropOperation::before}));
    QDropEvent drop(point, Qt::MoveAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(e.editor->collectionView, &drop);
    EXPECT_TRUE(drop.isAccepted());

    EXPECT_EQ(e.names(), (std::vector<std::string>{"C", "A", "B"}));
    EXPECT_EQ(e.stackBackToFront(), (std::vector<std::string>{"B", "A", "C"}));
    EXPECT_TRUE(e.frame(2)->isLocked());  // B covers the canvas now
    EXPECT_EQ(e.frame(2)->width(), 400);
    EXPECT_FALSE(e.frame(0)->isLocked());  // C got a new, unlocked frame
    EXPECT_NE(e.frame(0), frameC);
    EXPECT_EQ(e.frame(1), frameA);  // A kept its own
    EXPECT_EQ(frameA->centerX(), 150);
    EXPECT_EQ(e.editor->layerViews()[1], viewA);  // the view re-used, re-stacked
}

TEST(LayerEditor, ArchivedDropsMoveBeforeTheIndexAndNeverOnAnItem) {
    Editor e;
    e.engine->addImages({e.png("P0.png", 1), e.png("P1.png", 2), e.png("P2.png", 3), e.png("P3.png", 4),
                         e.png("P4.png", 5)});
    e.editor->viewWillAppear();
    // Each file went in at the end, so the names read in order.
    ASSERT_EQ(e.names(), (std::vector<std::string>{"P0", "P1", "P2", "P3", "P4"}));
    EXPECT_TRUE(e.dropPicture(2, {4, qt::DropOperation::before}));
    EXPECT_EQ(e.names(), (std::vector<std::string>{"P0", "P1", "P3", "P2", "P4"}));
    EXPECT_TRUE(e.dropPicture(3, {0, qt::DropOperation::before}));
    EXPECT_EQ(e.names(), (std::vector<std::string>{"P2", "P0", "P1", "P3", "P4"}));
    EXPECT_TRUE(e.dropPicture(1, {3, qt::DropOperation::on}));
    EXPECT_EQ(e.names(), (std::vector<std::string>{"P2", "P0", "P1", "P3", "P4"}));

    // A picture that left the list: accepted, nothing moves. Bad data: refused.
    pa::Pasteboard gone("drag");
    gone.writeObjects({gw::ImageInput::load(e.png("Z.png", 9)).get()});
    EXPECT_TRUE(e.editor->acceptDrop(gone, {0, qt::DropOperation::before}));
    pa::Pasteboard garbage("drag");
    garbage.setData(platform::foundation::Data{'n', 'o', 'p', 'e'}, gw::imageInputPasteboardType());
    EXPECT_FALSE(e.editor->acceptDrop(garbage, {0, qt::DropOperation::before}));
    EXPECT_EQ(e.names(), (std::vector<std::string>{"P2", "P0", "P1", "P3", "P4"}));
}

TEST(LayerEditor, TheCanvasScalesFramesAndAFrameChangeReLaysOnlyItsView) {
    Editor icon;
    icon.addABC();
    Editor board(ImageStackAssetType::leaderboard);
    board.engine = icon.engine;
    board.editor->setGlyphwright(icon.engine);
    board.editor->viewWillAppear();

    icon.editor->canvasView->setFixedWidth(200);
    board.editor->canvasView->setFixedWidth(200);
    QApplication::processEvents();
    ASSERT_EQ(icon.editor->canvasView->size(), QSize(200, 120));
    auto* back = icon.editor->layerViews()[0];
    EXPECT_EQ(*back->widthConstraint, 200);
    EXPECT_EQ(*back->heightConstraint, 120);
    EXPECT_EQ(*back->leftConstraint, 100);
    EXPECT_EQ(*back->topConstraint, 60);
    const auto leaderFrame = icon.engine->imageInputs()[2]->tvOSLeaderboardLayerFrame();
    auto* boardBack = board.editor->layerViews()[0];
    EXPECT_DOUBLE_EQ(*boardBack->widthConstraint, leaderFrame->width() * 200.0 / 659.0);
    EXPECT_DOUBLE_EQ(*boardBack->topConstraint, leaderFrame->centerY() * 200.0 / 659.0);

    std::vector<std::size_t> before;
    for (auto* view : icon.editor->layerViews()) before.push_back(icon.editor->layoutCount(*view));
    icon.engine->imageInputs()[0]->tvOSLeaderboardLayerFrame()->setWidth(10);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(icon.editor->layoutCount(*icon.editor->layerViews()[i]), before[i]);

    // A stepper click on the selected front layer moves its view only.
    icon.editor->arrayController()->setSelectionIndexes({0});
    auto* front = icon.editor->layerViews()[2];
    const double width = icon.frame(0)->width();
    QTest::mouseClick(icon.editor->widthStepper->upButton(), Qt::LeftButton);
    EXPECT_EQ(icon.frame(0)->width(), width + 1);
    EXPECT_DOUBLE_EQ(*front->widthConstraint, (width + 1) / 2);
    EXPECT_GT(icon.editor->layoutCount(*front), before[2]);
    EXPECT_EQ(icon.editor->layoutCount(*icon.editor->layerViews()[0]), before[0]);

    // Typing a width with the ratio locked changes the height, and the canvas follows.
    icon.editor->lockAspectRatioButton->setChecked(false);
    QTest::mouseClick(icon.editor->lockAspectRatioButton, Qt::LeftButton);
    ASSERT_TRUE(icon.frame(0)->isAspectRatioLocked());
    const double ratio = icon.frame(0)->height() / icon.frame(0)->width();
    icon.editor->widthTextField->selectAll();
    QTest::keyClicks(icon.editor->widthTextField, "80");
    QTest::keyClick(icon.editor->widthTextField, Qt::Key_Return);
    EXPECT_EQ(icon.frame(0)->width(), 80);
    EXPECT_NEAR(icon.frame(0)->height(), 80 * ratio, 0.01);
    EXPECT_DOUBLE_EQ(*front->heightConstraint, icon.frame(0)->height() / 2);
}

// The fields show a layer's numbers as a person reads them, each with its label, tooltip
// and accessible name; an untouched field never rounds the frame behind it.
TEST(LayerEditor, FieldsShowNumbersAsAPersonReadsThemAndSayWhatTheyAre) {
    Editor e;
    e.addABC();
    e.editor->arrayController()->setSelectionIndexes({0});
    const auto frame = e.frame(0);
    frame->setIsAspectRatioLocked(false);
    frame->setIsCenteredInCanvas(false);
    struct Row {
        double value;
        const char* text;
    };
    const Row rows[] = {{300, "300"}, {180, "180"}, {380, "380"}, {228, "228"}, {400.0 / 3, "133.33"}, {0.5, "0.5"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        frame->setWidth(row.value);
        frame->setHeight(row.value);
        frame->setCenterX(row.value);
        frame->setCenterY(row.value);
        for (auto* field : {e.editor->widthTextField, e.editor->heightTextField, e.editor->xTextField,
                            e.editor->yTextField})
            EXPECT_EQ(field->text(), row.text);
    }

    e.editor->widthTextField->setFocus();
    QTest::keyClick(e.editor->widthTextField, Qt::Key_Return);
    e.editor->heightTextField->setFocus();
    EXPECT_DOUBLE_EQ(frame->width(), 0.5);
    frame->setWidth(400.0 / 3);
    QTest::keyClick(e.editor->widthTextField, Qt::Key_Return);
    EXPECT_DOUBLE_EQ(frame->width(), 400.0 / 3);

    const std::pair<QWidget*, const char*> named[] = {
        {e.editor->widthTextField, "Width"}, {e.editor->heightTextField, "Height"}, {e.editor->xTextField, "X"},
        {e.editor->yTextField, "Y"},         {e.editor->widthStepper, "Width"},     {e.editor->yStepper, "Y"},
        {e.editor->lockAspectRatioButton, "Keep aspect ratio"}, {e.editor->centeredButton, "Centred"},
        {e.editor->closeButton, "Close"},    {e.editor->collectionView, "Layers"}};
    for (const auto& [control, name] : named) {
        EXPECT_EQ(control->accessibleName(), name);
        EXPECT_FALSE(control->toolTip().isEmpty()) << name;
    }
    EXPECT_EQ(e.editor->xStepper->upButton()->accessibleName(), "Increase X");
}

TEST(LayerEditor, RefreshesRenewRatherThanPileUpAndAGoneEditorIsLeftAlone) {
    Editor e;
    e.addABC();
    const auto engineObservers = e.engine->collectionViewArrayController()->observerCount();
    const auto editorObservers = e.editor->arrayController()->observerCount();
    for (int i = 0; i < 100; ++i) e.editor->refresh();
    EXPECT_EQ(e.engine->collectionViewArrayController()->observerCount(), engineObservers);
    EXPECT_EQ(e.editor->arrayController()->observerCount(), editorObservers);
    EXPECT_TRUE(qt::bindingsOf(*e.editor->widthTextField).isBound("value"));

    // Delete removes the engine's selected pictures; other keys nothing.
    e.engine->collectionViewArrayController()->setSelectionIndexes({1});
    QTest::keyClick(e.editor->collectionView, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(e.names().size(), 3u);
    QTest::keyClick(e.editor->collectionView, Qt::Key_Delete);
    EXPECT_EQ(e.names(), (std::vector<std::string>{"A", "C"}));
    // A row's delete button removes its picture.
    auto* row = dynamic_cast<gw::LayerCollectionViewItem*>(e.editor->collectionView->itemAt(0));
    ASSERT_NE(row, nullptr);
    QTest::mouseClick(row->view()->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(e.names(), (std::vector<std::string>{"C"}));
    EXPECT_EQ(e.editor->layerViews().size(), 1u);

    auto completion = gw::completionFor(std::weak_ptr<gw::IndexedDropTarget>(e.editor), 0);
    e.editor.reset();
    completion(gw::PasteboardLoadResult::fileURLs({e.png("late.png", 7)}));
    EXPECT_EQ(e.names(), (std::vector<std::string>{"C"}));
    // Its one observation of the engine went with it.
    EXPECT_EQ(e.engine->collectionViewArrayController()->observerCount(), engineObservers - 1);
}

TEST(LayerEditor, WithoutAnEngineNothingIsDraggedDeletedOrMoved) {
    auto editor = gw::LayerEditingViewController::make();
    editor->view()->show();
    editor->viewWillAppear();
    editor->refresh();
    EXPECT_FALSE(editor->emptyPlaceholderLabel->isHidden());  // as built
    QTest::keyClick(editor->collectionView, Qt::Key_Delete);
    pa::Pasteboard pasteboard("drag");
    const fs::path file = fs::path(::testing::TempDir()) / ("no-engine-" + std::to_string(::getpid()) + ".png");
    const auto picture = gw::ImageInput::load(platform::foundation::URL::fileURL(writeSolidPng(file, 8, 8, 0x123456)));
    pasteboard.writeObjects({picture.get()});
    qt::DropPosition before{0, qt::DropOperation::before};
    EXPECT_TRUE(editor->validateDrop(pasteboard, before, false));
    EXPECT_TRUE(editor->acceptDrop(pasteboard, before));  // taken, nothing to move
    fs::remove(file);
    // A loaded drop without an engine is dropped silently.
    editor->handleLoadedPasteboardItems(gw::PasteboardLoadResult::images({gwtest::ui::solidImage(4, 4, 1)}), 0);
    EXPECT_TRUE(editor->layerViews().empty());
    auto bar = editor->makeTouchBar();
    auto layers = std::dynamic_pointer_cast<gw::ImageInputsScrubberItem>(
        bar->itemForIdentifier(gw::LayerEditingViewController::touchBarIdentifier(".layers")));
    ASSERT_TRUE(layers);
    EXPECT_EQ(layers->scrubber()->numberOfItems(), 0u);
}

TEST(LayerEditorTouchBar, TheStripShowsTheLayersAndFieldButtonsAndKeepsTheUsersChoice) {
    Editor e;
    const auto id = [](const char* suffix) { return gw::LayerEditingViewController::touchBarIdentifier(suffix); };
    EXPECT_EQ(id(".x"), platform::foundation::Bundle::main().bundleIdentifier() + ".x");
    auto bar = e.editor->makeTouchBar();
    EXPECT_EQ(bar->customizationIdentifier, id(".layerEditingWindow"));
    EXPECT_EQ(bar->defaultItemIdentifiers, (std::vector<std::string>{id(".layers"), id(".width"), id(".height"), id(".x"),
                                                                     id(".y"), std::string(pa::touchBarItemIdentifierOtherItemsProxy)}));
    EXPECT_EQ(bar->customizationAllowedItemIdentifiers,
              (std::vector<std::string>{id(".layers"), id(".width"), id(".height"), id(".x"), id(".y")}));
    EXPECT_FALSE(bar->itemForIdentifier("elsewhere"));

    // Hidden until the setting shows it.
    qt::TouchBarStrip::setShownInSettings(false);
    auto* hidden = new qt::TouchBarStrip(e.editor->view(), e.editor->makeTouchBar());
    EXPECT_TRUE(hidden->isHidden());
    delete hidden;
    qt::TouchBarStrip::setShownInSettings(true);

    // No pictures: no thumbnails; the editor's refresh then fills the scrubber.
    qt::TouchBarStrip strip(e.editor->view(), bar);
    EXPECT_FALSE(strip.isHidden());
    ASSERT_NE(strip.scrubberFor(id(".layers")), nullptr);
    EXPECT_EQ(strip.scrubberFor(id(".layers"))->thumbnailCount(), 0u);
    e.addABC();
    EXPECT_EQ(strip.geometry().bottom(), e.editor->view()->height() - 1);
    auto* layers = strip.scrubberFor(id(".layers"));
    ASSERT_NE(layers, nullptr);
    EXPECT_EQ(layers->thumbnailCount(), 3u);
    // Thumbnails added to a strip already on screen fit inside the row that holds them.
    for (std::size_t i = 0; i < 3; ++i) {
        auto* thumbnail = layers->thumbnail(i);
        EXPECT_TRUE(thumbnail->parentWidget()->rect().contains(thumbnail->geometry())) << i;
    }
    QTest::mouseClick(layers->thumbnail(2), Qt::LeftButton);
    EXPECT_EQ(e.editor->arrayController()->selectionIndexes(), (std::set<std::size_t>{2}));
    EXPECT_EQ(layers->scrubber()->selectedIndex(), 2);
    // The back layer is selected: its width cannot be edited from the bar either.
    auto* width = strip.buttonFor(id(".width"));
    ASSERT_NE(width, nullptr);
    EXPECT_EQ(width->text(), "Width");
    EXPECT_FALSE(width->isEnabled());
    e.editor->arrayController()->setSelectionIndexes({0});
    EXPECT_TRUE(width->isEnabled());
    EXPECT_EQ(layers->scrubber()->selectedIndex(), 0);
    // Its press puts the width field in focus.
    e.editor->view()->activateWindow();
    QTest::mouseClick(width, Qt::LeftButton);
    EXPECT_EQ(e.editor->view()->focusWidget(), e.editor->widthTextField);

    // The View menu's item hides and shows the strip, and keeps the choice.
    auto show = qt::TouchBarStrip::makeShowTouchBarMenuItem(gw::LocalizedString::text("touch-bar.menu.show"));
    EXPECT_EQ(show->title(), "Show Touch Bar");
    EXPECT_EQ(show->state(), pa::ControlStateValue::on);
    // Shown, it keeps its room free: the window's own contents end above it.
    EXPECT_EQ(e.editor->view()->contentsMargins().bottom(), qt::TouchBarStrip::stripHeight);
    EXPECT_LT(e.editor->view()->contentsRect().bottom(), strip.geometry().top());
    show->performAction();
    EXPECT_TRUE(strip.isHidden());
    EXPECT_FALSE(qt::TouchBarStrip::isShownInSettings());
    EXPECT_EQ(e.editor->view()->contentsMargins().bottom(), 0);
    show->performAction();
    EXPECT_FALSE(strip.isHidden());
    EXPECT_EQ(e.editor->view()->contentsMargins().bottom(), qt::TouchBarStrip::stripHeight);

    // Customize: ".x" unticked; the choice holds for a new editor's bar.
    auto* dialog = strip.makeCustomizationDialog(gw::LocalizedString::text("touch-bar.menu.customize"));
    auto* xBox = dialog->findChild<QCheckBox*>(QString::fromStdString(id(".x")));
    ASSERT_NE(xBox, nullptr);
    EXPECT_EQ(xBox->text(), "X");
    EXPECT_TRUE(xBox->isChecked());
    xBox->setChecked(false);
    dialog->accept();
    EXPECT_EQ(strip.buttonFor(id(".x")), nullptr);
    EXPECT_NE(strip.buttonFor(id(".y")), nullptr);
    // Only allowed items are kept.
    bar->setCustomizedItemIdentifiers({id(".layers"), id(".width"), id(".height"), id(".y"), "not allowed"});
    Editor other;
    qt::TouchBarStrip next(other.editor->view(), other.editor->makeTouchBar());
    EXPECT_EQ(next.buttonFor(id(".x")), nullptr);
    EXPECT_NE(next.buttonFor(id(".y")), nullptr);
    EXPECT_EQ(next.bar()->itemIdentifiers(),
              (std::vector<std::string>{id(".layers"), id(".width"), id(".height"), id(".y")}));
    next.bar()->resetCustomization();
}

TEST(ImageInputsScrubberItem, ShowsItsPicturesAndReportsTheUsersPick) {
    auto item = gw::ImageInputsScrubberItem::make("pictures");
    EXPECT_EQ(item->view(), item->scrubber());
    EXPECT_EQ(item->scrubber()->mode, pa::Scrubber::Mode::free);
    EXPECT_EQ(item->scrubber()->selectionOverlayStyle, pa::Scrubber::SelectionStyle::outlineOverlay);
    item->scrubber()->reloadData();
    EXPECT_EQ(item->scrubber()->numberOfItems(), 0u);
    EXPECT_EQ(item->selectedIndex(), -1);
    struct Picks : gw::ImageInputsScrubberItemDelegate {
        std::vector<std::size_t> picks;
        void imageInputsScrubberItem(gw::ImageInputsScrubberItem&, std::size_t index) override { picks.push_back(index); }
    };
    auto picks = std::make_shared<Picks>();
    item->delegate = picks;
    const auto a = gw::ImageInput::make(), b = gw::ImageInput::make();
    item->imageInputs = {a, b};
    item->scrubber()->reloadData();
    EXPECT_EQ(item->scrubber()->numberOfItems(), 2u);
    item->setSelectedIndex(1);  // programmatic: not reported
    item->scrubber()->userSelect(0);
    item->scrubber()->userSelect(5);  // past the end: nothing
    EXPECT_EQ(picks->picks, std::vector<std::size_t>{0});
    EXPECT_EQ(item->selectedIndex(), 0);
}

TEST(LayerViews, EqualityAncestryAndRowSelection) {
    const auto a = gw::ImageInput::make();
    const auto b = gw::ImageInput::make();
    gw::LayerImageView first(a), second(a), other(b);
    EXPECT_TRUE(first.isEqual(second));
    EXPECT_FALSE(first.isEqual(other));

    gw::LayerCollectionViewItem item;
    item.setRepresentedObject(pa::ArrayController::Element::of(a));
    EXPECT_EQ(item.view()->imageInput(), a);
    item.setRepresentedObject(pa::ArrayController::Element::of(std::make_shared<int>(3)));
    EXPECT_EQ(item.view()->imageInput(), a);  // not a picture: the row keeps its own
    item.setSelected(true);
    EXPECT_TRUE(item.view()->selected());
    item.setSelected(false);
    EXPECT_FALSE(item.view()->selected());
    const auto ancestors = gw::superviews(*item.view()->deleteButton());
    ASSERT_EQ(ancestors.size(), 3u);
    EXPECT_EQ(ancestors[1], item.view());
    EXPECT_EQ(ancestors[2], &item);
    EXPECT_TRUE(gw::superviews(item).empty());
}

}  // namespace
