#include "app/ui/picture_views.hpp"

#include "app/foundation/image_wrapper.hpp"
#include "app/foundation/pasteboard_loading.hpp"
#include "app/ui/picture_pasteboard_types.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/qt/drag_and_drop.hpp"

#include <QDragEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace gw {

namespace qt = platform::appkit::qt;
namespace pa = platform::appkit;

KeyDetectingCollectionView::KeyDetectingCollectionView(QWidget* parent) : CollectionView(parent) {
    setMouseDownHandler([this](QMouseEvent* event) {
        if (const auto delegate = keyDownDelegate.lock()) delegate->keyDetectingCollectionView(*this, event);
    });
}

void KeyDetectingCollectionView::sendKeyCommand(const CollectionViewKeyCommand& command) {
    if (const auto delegate = keyDownDelegate.lock()) delegate->keyDetectingCollectionView(*this, command);
}

class MyImageView::LoadTarget : public ImageWellDropTarget {
public:
    explicit LoadTarget(MyImageView& view) : view_(view) {}
    void handleLoadedPasteboardItems(const PasteboardLoadResult& result) override {
        if (const auto delegate = view_.delegate.lock()) delegate->myImageView(view_, result);
    }

private:
    MyImageView& view_;
};

MyImageView::MyImageView(QWidget* parent) : ImageView(parent), loadTarget_(std::make_shared<LoadTarget>(*this)) {
    setAcceptDrops(true);
}

MyImageView::~MyImageView() = default;

void MyImageView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (const auto d = delegate.lock()) d->myImageViewClicked(*this);
}

namespace {
bool offersDropType(const pa::Pasteboard& pasteboard) {
    return pasteboard.availableTypeFromArray(imageDropPasteboardTypes()).has_value();
}
}  // namespace

namespace {
// Copy when the drag offers a picture type, else nothing.
void answerDrag(QDragMoveEvent* event) {
    if (offersDropType(*qt::pasteboardFromMimeData(*event->mimeData()))) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}
}  // namespace

void MyImageView::dragEnterEvent(QDragEnterEvent* event) { answerDrag(event); }

void MyImageView::dragMoveEvent(QDragMoveEvent* event) { answerDrag(event); }

void MyImageView::dropEvent(QDropEvent* event) {
    const auto pasteboard = qt::pasteboardFromMimeData(*event->mimeData());
    if (!offersDropType(*pasteboard)) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        return;
    }
    loadImages(*pasteboard, completionFor(std::weak_ptr<ImageWellDropTarget>(loadTarget_)));
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

CollectionViewImageCell::CollectionViewImageCell(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_Hover);
    imageView = new qt::ImageView(this);
    // The picture takes no drops, so they reach the list.
    imageView->setAcceptDrops(false);
    imageView->setAttribute(Qt::WA_TransparentForMouseEvents);
    deleteButton = new QPushButton(QStringLiteral("\u2715"), this);
    deleteButton->setFlat(true);
    deleteButton->setFixedSize(18, 18);
    deleteButton->setFocusPolicy(Qt::NoFocus);
    describeControlByKey(*deleteButton, "picture-list.button.remove");
    setDeleteButtonVisible(false);
}

void CollectionViewImageCell::setSelected(bool selected) {
    selected_ = selected;
    update();
}

void CollectionViewImageCell::setImageInput(ImageInputPtr imageInput) {
    imageInput_ = std::move(imageInput);
    const auto wrapper = imageInput_ ? imageInput_->imageWrapper() : nullptr;
    imageView->setImage(wrapper ? wrapper->image() : nullptr);
}

void CollectionViewImageCell::paintEvent(QPaintEvent*) {
    if (!selected_) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 4.0, 4.0);
    painter.fillPath(path, palette().color(QPalette::Highlight));
}

void CollectionViewImageCell::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    imageView->setGeometry(rect().adjusted(4, 4, -4, -4));
    deleteButton->move(width() - deleteButton->width() - 2, 2);
    deleteButton->raise();
}

void CollectionViewImageCell::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    setDeleteButtonVisible(true);
}

void CollectionViewImageCell::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    setDeleteButtonVisible(false);
}

void CollectionViewImageCell::setDeleteButtonVisible(bool visible) {
    deleteButtonVisible_ = visible;
    deleteButton->setHidden(!visible);
}

OLVImageCollectionViewItem::OLVImageCollectionViewItem(QWidget* parent)
    : CollectionViewItem(parent), cell_(new CollectionViewImageCell(this)) {
    // Clicks reach the list, which selects; only the delete button takes its own.
    cell_->setAttribute(Qt::WA_NoMousePropagation, false);
}

void OLVImageCollectionViewItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    cell_->setSelected(isSelected());
}

void OLVImageCollectionViewItem::setRepresentedObject(const pa::ArrayController::Element& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (auto input = object.as<ImageInput>()) cell_->setImageInput(std::move(input));
}

void OLVImageCollectionViewItem::resizeEvent(QResizeEvent* event) {
    CollectionViewItem::resizeEvent(event);
    cell_->setGeometry(rect());
}

}  // namespace gw
