#include "platform/appkit/qt/collection_view.hpp"

#include "platform/appkit/qt/drag_and_drop.hpp"

#include <QApplication>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>

#include <algorithm>

namespace platform::appkit::qt {

namespace {
constexpr int spacing = 4;
}

CollectionView::CollectionView(QWidget* parent) : QWidget(parent) {
    // Asked by a scroll area around it (see heightForWidth).
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setAcceptDrops(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_AcceptTouchEvents);
}

CollectionView::~CollectionView() {
    *alive_ = false;
    if (controller_) {
        if (arrangedToken_) controller_->removeObserver(*arrangedToken_);
        if (selectionToken_) controller_->removeObserver(*selectionToken_);
    }
}

void CollectionView::setContent(std::shared_ptr<ArrayController> controller) {
    if (controller_) {
        if (arrangedToken_) controller_->removeObserver(*arrangedToken_);
        if (selectionToken_) controller_->removeObserver(*selectionToken_);
        arrangedToken_.reset();
        selectionToken_.reset();
    }
    controller_ = std::move(controller);
    if (controller_) {
        arrangedToken_ = controller_->addObserver(ArrayController::Key::arrangedObjects, [this] { reload(); });
        selectionToken_ = controller_->addObserver(ArrayController::Key::selectedObjects, [this] { syncSelection(); });
    }
    reload();
}

void CollectionView::setItemFactory(ItemFactory factory) {
    factory_ = std::move(factory);
    for (auto* item : order_) delete item;
    items_.clear();
    order_.clear();
    reload();
}

void CollectionView::setMinItemSize(QSize size) {
    minItem_ = size;
    relayout();
}

void CollectionView::setMaxItemSize(QSize size) {
    maxItem_ = size;
    relayout();
}

void CollectionView::setMaximumNumberOfColumns(int columns) {
    maxColumns_ = columns;
    relayout();
}

void CollectionView::setListMode(bool list) {
    listMode_ = list;
    relayout();
}

CollectionViewItem* CollectionView::itemAt(std::size_t index) const {
    return index < order_.size() ? order_[index] : nullptr;
}

void CollectionView::reload() {
    const auto objects = controller_ ? controller_->arrangedObjects() : std::vector<ArrayController::Element>{};
    std::map<const void*, CollectionViewItem*> kept;
    std::vector<CollectionViewItem*> order;
    order.reserve(objects.size());
    for (const auto& object : objects) {
        const void* key = object.object.get();
        CollectionViewItem* item = nullptr;
        if (auto found = items_.find(key); found != items_.end()) {
            item = found->second;
            items_.erase(found);
        } else if (auto again = kept.find(key); again != kept.end()) {
            item = nullptr;  // the same object twice: a second widget
        }
        if (!item) {
            if (!factory_) continue;
            item = factory_(this);
            if (!item) continue;
            item->setRepresentedObject(object);
            item->show();
        }
        kept.emplace(key, item);
        order.push_back(item);
    }
    for (auto& [key, item] : items_) delete item;
    items_ = std::move(kept);
    order_ = std::move(order);
    syncSelection();
    relayout();
}

void CollectionView::syncSelection() {
    const auto selection = controller_ ? controller_->selectionIndexes() : std::set<std::size_t>{};
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const bool selected = selection.count(i) > 0;
        if (order_[i]->isSelected() != selected) order_[i]->setSelected(selected);
    }
}

QSize CollectionView::itemSizeAt(int width) const {
    QSize size = minItem_;
    if (listMode_) return {std::max(width - 2 * spacing, minItem_.width()), minItem_.height()};
    const int cols = columnsAt(width);
    const int available = (width - spacing * (cols + 1)) / std::max(cols, 1);
    int side = std::max(available, minItem_.width());
    if (maxItem_.width() > 0) side = std::min(side, maxItem_.width());
    size = QSize(side, std::max(side, minItem_.height()));
    if (maxItem_.height() > 0) size.setHeight(std::min(size.height(), maxItem_.height()));
    return size;
}

int CollectionView::columnsAt(int width) const {
    if (listMode_) return 1;
    int cols = std::max(1, (width - spacing) / (minItem_.width() + spacing));
    if (maxColumns_ > 0) cols = std::min(cols, maxColumns_);
    return cols;
}

QRect CollectionView::itemRect(std::size_t index) const {
    const int cols = columns();
    const QSize size = itemSize();
    const int row = static_cast<int>(index) / cols;
    const int col = static_cast<int>(index) % cols;
    return {spacing + col * (size.width() + spacing), spacing + row * (size.height() + spacing), size.width(),
            size.height()};
}

void CollectionView::setItemNamer(ItemNamer namer) {
    namer_ = std::move(namer);
    relayout();
}

void CollectionView::relayout() {
    ++layouts_;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        order_[i]->setGeometry(itemRect(i));
        if (namer_) order_[i]->setAccessibleName(namer_(order_[i]->representedObject(), i, order_.size()));
    }
    updateGeometry();
    update();
}

std::optional<std::size_t> CollectionView::indexAt(QPoint point) const {
    for (std::size_t i = 0; i < order_.size(); ++i)
        if (itemRect(i).contains(point)) return i;
    return std::nullopt;
}

DropPosition CollectionView::dropPositionAt(QPoint point) const {
    const std::size_t count = order_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const QRect rect = itemRect(i).adjusted(-spacing / 2, -spacing / 2, spacing / 2, spacing / 2);
        if (!rect.contains(point)) continue;
        // The outer quarters of an item mean "before" it or the next; the middle, "on" it.
        const int offset = listMode_ ? point.y() - rect.top() : point.x() - rect.left();
        const int extent = listMode_ ? rect.height() : rect.width();
        if (offset < extent / 4) return {i, DropOperation::before};
        if (offset >= extent - extent / 4) return {i + 1, DropOperation::before};
        return {i, DropOperation::on};
    }
    // Past the items of a row or below them all: before the first item after the point.
    for (std::size_t i = 0; i < count; ++i) {
        const QRect rect = itemRect(i);
        if (point.y() < rect.top() || (point.y() <= rect.bottom() && point.x() < rect.left()))
            return {i, DropOperation::before};
    }
    return {count, DropOperation::before};
}

QSize CollectionView::sizeHint() const { return {400, heightForWidth(width())}; }

int CollectionView::heightForWidth(int width) const {
    const int cols = columnsAt(width);
    const int rows = (static_cast<int>(order_.size()) + cols - 1) / cols;
    return std::max(spacing + rows * (itemSizeAt(width).height() + spacing), 100);
}

void CollectionView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    relayout();
}

// Items added while the list was out of sight (another list showed) changed its height for
// its width unseen: a scroll area around it asks again as it shows.
void CollectionView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateGeometry();
}

void CollectionView::paintEvent(QPaintEvent*) {
    if (!indicator_) return;
    QPainter painter(this);
    const QColor colour = palette().color(QPalette::Highlight);
    if (indicator_->operation == DropOperation::on && indicator_->index < order_.size()) {
        painter.setPen(QPen(colour, 2));
        painter.drawRoundedRect(itemRect(indicator_->index).adjusted(1, 1, -1, -1), 4, 4);
        return;
    }
    const bool atEnd = indicator_->index >= order_.size();
    QRect rect = order_.empty() ? QRect(spacing, spacing, itemSize().width(), itemSize().height())
                                : itemRect(atEnd ? order_.size() - 1 : indicator_->index);
    if (listMode_) {
        const int y = atEnd && !order_.empty() ? rect.bottom() + spacing / 2 : rect.top() - spacing / 2;
        painter.fillRect(QRect(rect.left(), y - 1, rect.width(), 2), colour);
    } else {
        const int x = atEnd && !order_.empty() ? rect.right() + spacing / 2 : rect.left() - spacing / 2;
        painter.fillRect(QRect(x - 1, rect.top(), 2, rect.height()), colour);
    }
}

void CollectionView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    if (event->button() == Qt::LeftButton && controller_) {
        const auto index = indexAt(event->position().toPoint());
        auto selection = controller_->selectionIndexes();
        const auto modifiers = event->modifiers();
        if (!index) {
            if (!(modifiers & (Qt::ControlModifier | Qt::ShiftModifier))) controller_->setSelectionIndexes({});
        } else if (modifiers & Qt::ControlModifier) {
            if (!selection.erase(*index)) selection.insert(*index);
            controller_->setSelectionIndexes(selection);
            anchor_ = *index;
        } else if ((modifiers & Qt::ShiftModifier) && anchor_) {
            const auto [low, high] = std::minmax(*anchor_, *index);
            for (auto i = low; i <= high; ++i) selection.insert(i);
            controller_->setSelectionIndexes(selection);
        } else {
            if (!selection.count(*index)) controller_->setSelectionIndexes({*index});
            anchor_ = *index;
        }
        pressed_ = index.has_value();
        pressPoint_ = event->position().toPoint();
    }
    if (mouseDown_) mouseDown_(event);
}

void CollectionView::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || !(event->buttons() & Qt::LeftButton) || !writeDrag_ || !controller_) return;
    if ((event->position().toPoint() - pressPoint_).manhattanLength() < QApplication::startDragDistance()) return;
    pressed_ = false;
    Pasteboard pasteboard("drag");
    if (!writeDrag_(controller_->selectionIndexes(), pasteboard)) return;
    const auto alive = alive_;
    const auto action = startDrag(this, pasteboard);
    if (*alive && dragEnded_) dragEnded_(action);
}

std::optional<CollectionViewKeyCommand> CollectionView::commandForKey(const QKeyEvent& event) {
    using Kind = CollectionViewKeyCommand::Kind;
    const bool shift = event.modifiers() & Qt::ShiftModifier;
    const bool control = event.modifiers() & Qt::ControlModifier;
    if (event.modifiers() & Qt::AltModifier) {
        if (event.key() == Qt::Key_Up || event.key() == Qt::Key_Left)
            return CollectionViewKeyCommand{Kind::moveSelectedItemEarlier};
        if (event.key() == Qt::Key_Down || event.key() == Qt::Key_Right)
            return CollectionViewKeyCommand{Kind::moveSelectedItemLater};
    }
    switch (event.key()) {
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        return CollectionViewKeyCommand{Kind::deleteSelection};
    case Qt::Key_D:
        if (control) return CollectionViewKeyCommand{Kind::commandD};
        return std::nullopt;
    case Qt::Key_A:
        if (control) return CollectionViewKeyCommand{Kind::selectAll};
        return std::nullopt;
    case Qt::Key_Left:
    case Qt::Key_Up:
        return CollectionViewKeyCommand{shift ? Kind::moveLeftAndModifySelection : Kind::moveLeft};
    case Qt::Key_Right:
    case Qt::Key_Down:
        return CollectionViewKeyCommand{shift ? Kind::moveRightAndModifySelection : Kind::moveRight};
    case Qt::Key_Home:
        return CollectionViewKeyCommand{shift ? Kind::moveToBeginningOfLineAndModifySelection
                                              : Kind::moveToBeginningOfLine};
    case Qt::Key_End:
        return CollectionViewKeyCommand{shift ? Kind::moveToEndOfLineAndModifySelection : Kind::moveToEndOfLine};
    default:
        return std::nullopt;
    }
}

void CollectionView::keyPressEvent(QKeyEvent* event) {
    const auto command = commandForKey(*event);
    if (!command) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    sendKeyCommand(*command);
}

void CollectionView::sendKeyCommand(const CollectionViewKeyCommand& command) {
    if (keyCommand_)
        keyCommand_(command);
    else
        performKeyCommand(command);
}

void CollectionView::performKeyCommand(const CollectionViewKeyCommand& command) {
    if (!controller_ || order_.empty()) return;
    using Kind = CollectionViewKeyCommand::Kind;
    const std::size_t last = order_.size() - 1;
    const auto selection = controller_->selectionIndexes();
    const std::size_t current = anchor_.value_or(selection.empty() ? 0 : *selection.begin());
    std::optional<std::size_t> target;
    bool extend = false;
    switch (command.kind) {
    case Kind::selectAll:
        controller_->selectAll();
        return;
    case Kind::moveLeft:
    case Kind::moveLeftAndModifySelection:
        target = current > 0 ? current - 1 : 0;
        extend = command.kind == Kind::moveLeftAndModifySelection;
        break;
    case Kind::moveRight:
    case Kind::moveRightAndModifySelection:
        target = std::min(current + 1, last);
        extend = command.kind == Kind::moveRightAndModifySelection;
        break;
    case Kind::moveToBeginningOfLine:
    case Kind::moveToBeginningOfLineAndModifySelection:
        target = 0;
        extend = command.kind == Kind::moveToBeginningOfLineAndModifySelection;
        break;
    case Kind::moveToEndOfLine:
    case Kind::moveToEndOfLineAndModifySelection:
        target = last;
        extend = command.kind == Kind::moveToEndOfLineAndModifySelection;
        break;
    default:
        return;
    }
    if (extend) {
        auto extended = selection;
        const auto [low, high] = std::minmax(current, *target);
        for (auto i = low; i <= high; ++i) extended.insert(i);
        controller_->setSelectionIndexes(extended);
    } else {
        controller_->setSelectionIndexes({*target});
    }
    anchor_ = target;
}

bool CollectionView::event(QEvent* event) {
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            sendKeyCommand({CollectionViewKeyCommand::Kind::magnify, gesture->value() + 1.0});
            return true;
        }
    }
    return QWidget::event(event);
}

void CollectionView::updateDrag(QDropEvent* event) {
    const bool fromHere = event->source() == this;
    DropPosition position = dropPositionAt(event->position().toPoint());
    const auto pasteboard = pasteboardFromMimeData(*event->mimeData());
    if (validate_ && validate_(*pasteboard, position, fromHere)) {
        indicator_ = position;
        // Drags from other applications are copies; our own views take what is proposed.
        event->setDropAction(event->source() ? event->proposedAction() : Qt::CopyAction);
        event->accept();
    } else {
        indicator_.reset();
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
    update();
}

void CollectionView::dragEnterEvent(QDragEnterEvent* event) {
    // Qt sends the later moves only when the enter is taken, so the enter asks whether the
    // data is taken anywhere; each move then asks about its own position.
    const auto pasteboard = pasteboardFromMimeData(*event->mimeData());
    DropPosition anywhere{order_.size(), DropOperation::before};
    if (validate_ && validate_(*pasteboard, anywhere, event->source() == this)) {
        updateDrag(event);
        event->setDropAction(event->source() ? event->proposedAction() : Qt::CopyAction);
        event->accept();
    } else {
        indicator_.reset();
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
}

void CollectionView::dragMoveEvent(QDragMoveEvent* event) { updateDrag(event); }

void CollectionView::dragLeaveEvent(QDragLeaveEvent* event) {
    indicator_.reset();
    update();
    QWidget::dragLeaveEvent(event);
}

void CollectionView::dropEvent(QDropEvent* event) {
    const bool fromHere = event->source() == this;
    DropPosition position = dropPositionAt(event->position().toPoint());
    const auto pasteboard = pasteboardFromMimeData(*event->mimeData());
    indicator_.reset();
    update();
    const bool valid = validate_ && validate_(*pasteboard, position, fromHere);
    if (valid && accept_ && accept_(*pasteboard, position, fromHere)) {
        event->setDropAction(event->source() ? event->proposedAction() : Qt::CopyAction);
        event->accept();
    } else {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
}

}  // namespace platform::appkit::qt
