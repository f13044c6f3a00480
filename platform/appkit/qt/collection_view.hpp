#pragma once
// Stands in for the platform's collection view: a flow of item widgets over an array
// controller's arranged objects and selection. Items come from a factory and are kept
// per object (by identity), so a change of the list re-uses the widgets of the objects
// that stay. Drops land "on" an item or "before" an index, shown by an indicator.
//
// Qt's list view in icon mode gives unreliable drop indexes; this view places its items
// itself and computes the drop index from the item under the pointer.
#include "platform/appkit/array_controller.hpp"
#include "platform/appkit/pasteboard.hpp"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;

namespace platform::appkit::qt {

// The commands the keyboard and the trackpad send to a picture list.
struct CollectionViewKeyCommand {
    enum class Kind {
        deleteSelection,  // `delete`
        commandD,
        moveLeft,
        moveLeftAndModifySelection,
        moveRight,
        moveRightAndModifySelection,
        selectAll,
        moveToBeginningOfLine,
        moveToEndOfLine,
        moveToBeginningOfLineAndModifySelection,
        moveToEndOfLineAndModifySelection,
        magnify,
        // Alt with an arrow: the selected item one place earlier or later in the list.
        moveSelectedItemEarlier,
        moveSelectedItemLater,
    };
    Kind kind = Kind::deleteSelection;
    double factor = 1.0;  // magnify only
    friend bool operator==(const CollectionViewKeyCommand&, const CollectionViewKeyCommand&) = default;
};

// One item of the flow: the widget that shows one arranged object.
class CollectionViewItem : public QWidget {
public:
    explicit CollectionViewItem(QWidget* parent = nullptr) : QWidget(parent) {}
    const ArrayController::Element& representedObject() const { return object_; }
    virtual void setRepresentedObject(const ArrayController::Element& object) { object_ = object; }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected) { selected_ = selected; }

private:
    ArrayController::Element object_;
    bool selected_ = false;
};

enum class DropOperation { on, before };

struct DropPosition {
    std::size_t index = 0;
    DropOperation operation = DropOperation::before;
    friend bool operator==(const DropPosition&, const DropPosition&) = default;
};

class CollectionView : public QWidget {
public:
    using ItemFactory = std::function<CollectionViewItem*(QWidget* parent)>;
    // Answers whether a drop of the pasteboard at the position is taken (and may move
    // the position, as the platform's validation may).
    using DropValidator = std::function<bool(const Pasteboard&, DropPosition&, bool fromThisView)>;
    using DropAcceptor = std::function<bool(const Pasteboard&, const DropPosition&, bool fromThisView)>;
    // What a drag of the selected indexes carries; false: no drag.
    using DragWriter = std::function<bool(const std::set<std::size_t>&, Pasteboard&)>;

    explicit CollectionView(QWidget* parent = nullptr);
    ~CollectionView() override;

    void setContent(std::shared_ptr<ArrayController> controller);
    const std::shared_ptr<ArrayController>& content() const { return controller_; }
    void setItemFactory(ItemFactory factory);

    void setMinItemSize(QSize size);
    void setMaxItemSize(QSize size);
    QSize maxItemSize() const { return maxItem_; }
    void setMaximumNumberOfColumns(int columns);
    // One full-width column.
    void setListMode(bool list);

    // What assistive tools call each item: asked for each item at its place (0-based)
    // among `count`, whenever the items are placed.
    using ItemNamer = std::function<QString(const ArrayController::Element&, std::size_t index, std::size_t count)>;
    void setItemNamer(ItemNamer namer);

    void setDropValidator(DropValidator validator) { validate_ = std::move(validator); }
    void setDropAcceptor(DropAcceptor acceptor) { accept_ = std::move(acceptor); }
    void setDragWriter(DragWriter writer) { writeDrag_ = std::move(writer); }
    // Told when a drag this view started has ended, with the operation done.
    void setDragEndedHandler(std::function<void(Qt::DropAction)> handler) { dragEnded_ = std::move(handler); }
    // The indicator of the drop in progress; none outside a drag.
    std::optional<DropPosition> dropIndicator() const { return indicator_; }

    std::size_t itemCount() const { return order_.size(); }
    CollectionViewItem* itemAt(std::size_t index) const;
    // The arranged index under a point of the view; none over empty space.
    std::optional<std::size_t> indexAt(QPoint point) const;
    // Where a drop at `point` lands.
    DropPosition dropPositionAt(QPoint point) const;
    // How often the items were placed (one per change of the list or of the size).
    std::size_t layoutCount() const { return layouts_; }

    // Hooks run after the view's own handling.
    void setMouseDownHandler(std::function<void(QMouseEvent*)> handler) { mouseDown_ = std::move(handler); }
    void setKeyCommandHandler(std::function<void(const CollectionViewKeyCommand&)> handler) {
        keyCommand_ = std::move(handler);
    }

    // The view's own answer to a key command: moves and extends the selection.
    void performKeyCommand(const CollectionViewKeyCommand& command);
    // The command for a key press; none for other keys.
    static std::optional<CollectionViewKeyCommand> commandForKey(const QKeyEvent& event);

    // Tall enough for every item at the current width (for a scroll area around it).
    QSize sizeHint() const override;
    // Tall enough for every item at `width`: a scroll area around the view makes it that
    // tall and scrolls it, whatever the number of items (the view's size policy says it
    // has a height for its width).
    int heightForWidth(int width) const override;

protected:
    // Routes a command: to the handler when there is one, else the view's own answer.
    virtual void sendKeyCommand(const CollectionViewKeyCommand& command);

    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void reload();
    void syncSelection();
    void relayout();
    QSize itemSize() const { return itemSizeAt(width()); }
    int columns() const { return columnsAt(width()); }
    // The same were the view `width` wide.
    QSize itemSizeAt(int width) const;
    int columnsAt(int width) const;
    QRect itemRect(std::size_t index) const;
    void updateDrag(QDropEvent* event);

    std::shared_ptr<ArrayController> controller_;
    std::optional<ArrayController::Token> arrangedToken_;
    std::optional<ArrayController::Token> selectionToken_;
    ItemFactory factory_;
    ItemNamer namer_;
    std::map<const void*, CollectionViewItem*> items_;
    std::vector<CollectionViewItem*> order_;
    QSize minItem_{50, 50};
    QSize maxItem_{0, 0};
    int maxColumns_ = 0;
    bool listMode_ = false;
    std::size_t layouts_ = 0;
    std::optional<std::size_t> anchor_;
    QPoint pressPoint_;
    bool pressed_ = false;
    DropValidator validate_;
    DropAcceptor accept_;
    DragWriter writeDrag_;
    std::function<void(Qt::DropAction)> dragEnded_;
    std::optional<DropPosition> indicator_;
    std::function<void(QMouseEvent*)> mouseDown_;
    std::function<void(const CollectionViewKeyCommand&)> keyCommand_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::appkit::qt
