// The collection view and the drag-and-drop adapter on the offscreen platform: items
// kept per object, selection by clicks and keys, drop positions and drop answers from
// synthesised drag events carrying real data, and the MIME ↔ pasteboard mapping.
#include "platform/appkit/qt/collection_view.hpp"
#include "platform/appkit/qt/drag_and_drop.hpp"
#include "support/gui/gui_harness.hpp"

#include <QApplication>
#include <QBuffer>
#include <QDragEnterEvent>
#include <QImage>
#include <QMimeData>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;
using Kind = qt::CollectionViewKeyCommand::Kind;

struct Thing {
    int value;
};

class CountingItem : public qt::CollectionViewItem {
public:
    using CollectionViewItem::CollectionViewItem;
    static inline int made = 0;
    void setRepresentedObject(const pa::ArrayController::Element& object) override {
        ++made;
        CollectionViewItem::setRepresentedObject(object);
    }
};

std::vector<pa::ArrayController::Element> things(int count) {
    std::vector<pa::ArrayController::Element> list;
    for (int i = 0; i < count; ++i) list.push_back(pa::ArrayController::Element::of(std::make_shared<Thing>(Thing{i})));
    return list;
}

QByteArray pngBytes(QColor colour) {
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Sends enter, move and drop at `point` as the window system would; returns the action
// the drop ended with.
Qt::DropAction dropAt(QWidget& target, const QMimeData& mime, QPoint point,
                      std::optional<qt::DropPosition>* indicatorDuringDrag = nullptr) {
    QDragEnterEvent enter(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDragMoveEvent move(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &move);
    if (indicatorDuringDrag)
        if (auto* view = dynamic_cast<qt::CollectionView*>(&target)) *indicatorDuringDrag = view->dropIndicator();
    if (!move.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(point, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

TEST(DragAndDrop, MimeDataAndPasteboardCarryTheSameContentsBothWays) {
    const QByteArray png = pngBytes(Qt::red);
    struct Case {
        const char* name;
        std::function<void(QMimeData&)> fill;
        std::vector<std::string> expectedTypes;
    };
    const std::vector<Case> cases = {
        {"png", [&](QMimeData& m) { m.setData("image/png", png); }, {"public.png"}},
        {"tiff", [&](QMimeData& m) { m.setData("image/tiff", "II*\0"); }, {"public.tiff"}},
        {"files", [](QMimeData& m) { m.setUrls({QUrl::fromLocalFile("/tmp/a b.png"), QUrl::fromLocalFile("/tmp/c.png")}); },
         {"public.file-url"}},
        {"own pictures", [](QMimeData& m) { m.setData(qt::imageInputMimeType, "{\"id\":1}"); },
         {"com.norvane.image-input"}},
        {"bare image", [](QMimeData& m) { QImage i(3, 3, QImage::Format_ARGB32); i.fill(Qt::blue); m.setImageData(i); },
         {"public.png"}},
        {"text", [](QMimeData& m) { m.setText("hello"); }, {"public.utf8-plain-text"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QMimeData mime;
        c.fill(mime);
        const auto pasteboard = qt::pasteboardFromMimeData(mime);
        for (const auto& type : c.expectedTypes) EXPECT_TRUE(pasteboard->availableTypeFromArray({type}));
        // And back: what the pasteboard offers becomes the same MIME contents.
        std::unique_ptr<QMimeData> back(qt::mimeDataFromPasteboard(*pasteboard));
        const auto again = qt::pasteboardFromMimeData(*back);
        EXPECT_EQ(again->types(), pasteboard->types());
        for (const auto& type : pasteboard->types()) EXPECT_EQ(again->dataForType(type), pasteboard->dataForType(type));
        EXPECT_EQ(again->readFileURLs(), pasteboard->readFileURLs());
    }
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile("/tmp/a b.png")});
    const auto urls = qt::pasteboardFromMimeData(files)->readFileURLs();
    ASSERT_TRUE(urls && urls->size() == 1);
    EXPECT_EQ((*urls)[0].path(), "/tmp/a b.png");
    // The bare image is real PNG data.
    QMimeData bare;
    QImage blue(3, 3, QImage::Format_ARGB32);
    blue.fill(Qt::blue);
    bare.setImageData(blue);
    const auto data = qt::pasteboardFromMimeData(bare)->dataForType("public.png");
    ASSERT_TRUE(data);
    QImage decoded;
    ASSERT_TRUE(decoded.loadFromData(data->data(), static_cast<int>(data->size()), "PNG"));
    EXPECT_EQ(QColor(decoded.pixel(1, 1)), QColor(Qt::blue));
}

struct Fixture {
    std::shared_ptr<pa::ArrayController> controller = std::make_shared<pa::ArrayController>();
    qt::CollectionView view;
    Fixture() {
        view.setItemFactory([](QWidget* parent) { return new CountingItem(parent); });
        view.setMinItemSize({50, 50});
        view.setMaxItemSize({50, 50});
        view.setMaximumNumberOfColumns(5);
        view.resize(4 + 5 * 54, 300);
        view.setContent(controller);
        view.show();
    }
    QPoint centreOf(std::size_t index) const { return view.itemAt(index)->geometry().center(); }
};

TEST(CollectionView, KeepsOneItemPerObjectAndPlacesAWholeChangeOnce) {
    Fixture f;
    CountingItem::made = 0;
    const auto first = things(3);
    f.controller->addObjects(first);
    ASSERT_EQ(f.view.itemCount(), 3u);
    EXPECT_EQ(CountingItem::made, 3);
    auto* kept = f.view.itemAt(1);
    f.controller->insertObject(things(1)[0], 0);
    EXPECT_EQ(CountingItem::made, 4);  // one new widget; the others moved along
    EXPECT_EQ(f.view.itemAt(2), kept);
    EXPECT_EQ(f.view.itemAt(2)->geometry().topLeft(), QPoint(4 + 2 * 54, 4));
    EXPECT_EQ(f.view.itemAt(2)->representedObject(), first[1]);
    // Five columns at most: the sixth item starts the second row.
    f.controller->addObjects(things(2));
    EXPECT_EQ(f.view.itemAt(5)->geometry().topLeft(), QPoint(4, 58));
    // Many objects in one call: placed once.
    const auto before = f.view.layoutCount();
    f.controller->addObjects(things(200));
    EXPECT_EQ(f.view.layoutCount(), before + 1);
    EXPECT_EQ(f.view.itemCount(), 206u);
    f.controller->removeAllObjects();
    EXPECT_EQ(f.view.itemCount(), 0u);
    // List mode: one column across the width.
    f.controller->addObjects(things(2));
    f.view.setListMode(true);
    EXPECT_EQ(f.view.itemAt(1)->geometry(), QRect(4, 58, f.view.width() - 8, 50));
}

// A list in a scroll area on a page of its own (the window's lists take turns): items that
// came while another page showed make it scroll once its page shows again, with nothing
// else happening to ask for its size.
TEST(CollectionView, ItemsAddedOutOfSightScrollOnceTheListShows) {
    auto controller = std::make_shared<pa::ArrayController>();
    QStackedWidget pages;
    auto* other = new QWidget(&pages);
    pages.addWidget(other);
    auto* area = new QScrollArea(&pages);
    area->setWidgetResizable(true);
    auto* view = new qt::CollectionView;
    view->setItemFactory([](QWidget* parent) { return new CountingItem(parent); });
    view->setMinItemSize({50, 50});
    view->setMaxItemSize({50, 50});
    view->setContent(controller);
    area->setWidget(view);
    pages.addWidget(area);
    pages.resize(300, 200);
    pages.setCurrentWidget(area);
    pages.show();
    QApplication::processEvents();
    // Shown once before: showing it again resizes nothing.
    pages.setCurrentWidget(other);
    QApplication::processEvents();
    controller->addObjects(things(60));
    QApplication::processEvents();
    pages.setCurrentWidget(area);
    // (Bounded: a list that is never asked again would never scroll.)
    EXPECT_TRUE(gwtest::gui::waitFor([&] { return area->verticalScrollBar()->maximum() > 0; }, std::chrono::seconds(5)))
        << "the list does not scroll";
    EXPECT_EQ(view->height(), view->heightForWidth(view->width()));
}

TEST(CollectionView, ClicksAndKeysSelectAsOnTheDesktop) {
    Fixture f;
    f.controller->setSelectsInsertedObjects(false);
    f.controller->addObjects(things(5));
    int mouseDowns = 0;
    f.view.setMouseDownHandler([&](QMouseEvent*) { ++mouseDowns; });
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::NoModifier, f.centreOf(1));
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{1}));
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::ControlModifier, f.centreOf(3));
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{1, 3}));
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::ControlModifier, f.centreOf(1));
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{3}));
    // Shift extends from the item clicked last.
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::ShiftModifier, f.centreOf(0));
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{0, 1, 3}));
    EXPECT_TRUE(f.view.itemAt(0)->isSelected());
    EXPECT_FALSE(f.view.itemAt(2)->isSelected());
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::NoModifier, QPoint(200, 250));  // empty space
    EXPECT_TRUE(f.controller->selectionIndexes().empty());
    EXPECT_FALSE(f.view.itemAt(0)->isSelected());
    EXPECT_EQ(mouseDowns, 5);  // the hook runs after every press

    // Without a handler the view moves the selection itself.
    QTest::mouseClick(&f.view, Qt::LeftButton, Qt::NoModifier, f.centreOf(2));
    QTest::keyClick(&f.view, Qt::Key_Right);
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{3}));
    QTest::keyClick(&f.view, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{0, 1, 2, 3}));
    QTest::keyClick(&f.view, Qt::Key_End);
    EXPECT_EQ(f.controller->selectionIndexes(), (std::set<std::size_t>{4}));
    QTest::keyClick(&f.view, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(f.controller->selectionIndexes().size(), 5u);

    // With one, each key becomes its command and nothing else happens.
    std::vector<qt::CollectionViewKeyCommand> sent;
    f.view.setKeyCommandHandler([&](const qt::CollectionViewKeyCommand& c) { sent.push_back(c); });
    const std::vector<std::tuple<Qt::Key, Qt::KeyboardModifiers, Kind>> keys = {
        {Qt::Key_Backspace, Qt::NoModifier, Kind::deleteSelection},
        {Qt::Key_Delete, Qt::NoModifier, Kind::deleteSelection},
        {Qt::Key_D, Qt::ControlModifier, Kind::commandD},
        {Qt::Key_A, Qt::ControlModifier, Kind::selectAll},
        {Qt::Key_Left, Qt::NoModifier, Kind::moveLeft},
        {Qt::Key_Left, Qt::ShiftModifier, Kind::moveLeftAndModifySelection},
        {Qt::Key_Right, Qt::NoModifier, Kind::moveRight},
        {Qt::Key_Right, Qt::ShiftModifier, Kind::moveRightAndModifySelection},
        {Qt::Key_Home, Qt::NoModifier, Kind::moveToBeginningOfLine},
        {Qt::Key_End, Qt::NoModifier, Kind::moveToEndOfLine},
        {Qt::Key_Home, Qt::ShiftModifier, Kind::moveToBeginningOfLineAndModifySelection},
        {Qt::Key_End, Qt::ShiftModifier, Kind::moveToEndOfLineAndModifySelection},
        {Qt::Key_Up, Qt::AltModifier, Kind::moveSelectedItemEarlier},
        {Qt::Key_Left, Qt::AltModifier, Kind::moveSelectedItemEarlier},
        {Qt::Key_Down, Qt::AltModifier, Kind::moveSelectedItemLater},
        {Qt::Key_Right, Qt::AltModifier, Kind::moveSelectedItemLater},
    };
    for (const auto& [key, modifiers, kind] : keys) QTest::keyClick(&f.view, key, modifiers);
    QTest::keyClick(&f.view, Qt::Key_D);  // a plain letter is no command
    ASSERT_EQ(sent.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(sent[i].kind, std::get<2>(keys[i])) << i;
    EXPECT_EQ(f.controller->selectionIndexes().size(), 5u);

    QNativeGestureEvent pinch(Qt::ZoomNativeGesture, QPointingDevice::primaryPointingDevice(), 2, QPointF(10, 10),
                              QPointF(10, 10), QPointF(10, 10), 0.25, QPointF());
    QApplication::sendEvent(&f.view, &pinch);
    ASSERT_EQ(sent.size(), keys.size() + 1);
    EXPECT_EQ(sent.back(), (qt::CollectionViewKeyCommand{Kind::magnify, 1.25}));
}

TEST(CollectionView, DropsLandOnOrBeforeItemsAndRefusedDataLeavesNoIndicator) {
    Fixture f;
    f.controller->addObjects(things(3));
    const QRect second = f.view.itemAt(1)->geometry();
    EXPECT_EQ(f.view.dropPositionAt(second.center()), (qt::DropPosition{1, qt::DropOperation::on}));
    EXPECT_EQ(f.view.dropPositionAt(second.topLeft() + QPoint(2, 10)), (qt::DropPosition{1, qt::DropOperation::before}));
    EXPECT_EQ(f.view.dropPositionAt(second.topRight() + QPoint(-2, 10)), (qt::DropPosition{2, qt::DropOperation::before}));
    EXPECT_EQ(f.view.dropPositionAt(QPoint(250, 250)), (qt::DropPosition{3, qt::DropOperation::before}));

    std::vector<std::pair<std::vector<std::string>, qt::DropPosition>> accepted;
    f.view.setDropValidator([](const pa::Pasteboard& p, qt::DropPosition& position, bool) {
        if (!p.availableTypeFromArray({"public.png", "public.file-url"})) return false;
        position.operation = qt::DropOperation::before;  // the lists take drops between items only
        return true;
    });
    f.view.setDropAcceptor([&](const pa::Pasteboard& p, const qt::DropPosition& position, bool fromHere) {
        EXPECT_FALSE(fromHere);
        accepted.emplace_back(p.types(), position);
        return true;
    });
    QMimeData png;
    png.setData("image/png", pngBytes(Qt::red));
    std::optional<qt::DropPosition> shown;
    EXPECT_EQ(dropAt(f.view, png, second.center(), &shown), Qt::CopyAction);
    EXPECT_EQ(shown, (qt::DropPosition{1, qt::DropOperation::before}));
    EXPECT_FALSE(f.view.dropIndicator());  // gone after the drop
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].second.index, 1u);

    QMimeData text;
    text.setText("just words");
    shown.reset();
    EXPECT_EQ(dropAt(f.view, text, second.center(), &shown), Qt::IgnoreAction);
    EXPECT_FALSE(shown);
    EXPECT_FALSE(f.view.dropIndicator());
    EXPECT_EQ(accepted.size(), 1u);
}

}  // namespace
