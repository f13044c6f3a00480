#include "app/ui/layer_views.hpp"

#include "app/foundation/image_wrapper.hpp"
#include "app/ui/small_controls.hpp"
#include "platform/appkit/qt/image_view.hpp"
#include "platform/foundation/utf8.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include <cmath>

namespace gw {

namespace pa = platform::appkit;

LayerImageView::LayerImageView(ImageInputPtr imageInput, QWidget* parent)
    : ImageView(parent), imageInput_(std::move(imageInput)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setImageScaling(Scaling::axesIndependently);
}

QRect LayerImageView::placedGeometry() const {
    const double w = widthConstraint.value_or(0), h = heightConstraint.value_or(0);
    const double x = leftConstraint.value_or(0) - w / 2, y = topConstraint.value_or(0) - h / 2;
    return QRect(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)), static_cast<int>(std::lround(w)),
                 static_cast<int>(std::lround(h)));
}

void LayerImageView::paintEvent(QPaintEvent* event) {
    // The picture the layer holds now: its image may have been replaced since.
    const auto wrapper = imageInput_ ? imageInput_->imageWrapper() : nullptr;
    auto current = wrapper ? wrapper->image() : nullptr;
    if (current != image()) setImage(std::move(current));
    ImageView::paintEvent(event);
}

class CollectionViewLayerCell::ThumbnailView : public platform::appkit::qt::ImageView {
public:
    using ImageView::ImageView;
};

CollectionViewLayerCell::CollectionViewLayerCell(QWidget* parent)
    : QWidget(parent), content_(new QWidget(this)), thumbnail_(new ThumbnailView(content_)) {
    auto* layout = new QHBoxLayout(content_);
    layout->setContentsMargins(4, 2, 4, 2);
    thumbnail_->setFixedSize(32, 32);
    thumbnail_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* name = new QLabel(content_);
    name->setObjectName(QStringLiteral("name"));
    name->setAttribute(Qt::WA_TransparentForMouseEvents);
    deleteButton_ = new QPushButton(QStringLiteral("\u2715"), content_);
    deleteButton_->setFlat(true);
    deleteButton_->setFixedSize(18, 18);
    deleteButton_->setFocusPolicy(Qt::NoFocus);
    describeControlByKey(*deleteButton_, "layer-editing.button.remove");
    layout->addWidget(thumbnail_);
    layout->addWidget(name, 1);
    layout->addWidget(deleteButton_);
    content_->setAttribute(Qt::WA_NoSystemBackground);
}

void CollectionViewLayerCell::setImageInput(ImageInputPtr imageInput) {
    imageInput_ = std::move(imageInput);
    const auto wrapper = imageInput_ ? imageInput_->imageWrapper() : nullptr;
    thumbnail_->setImage(wrapper ? wrapper->image() : nullptr);
    if (auto* name = content_->findChild<QLabel*>(QStringLiteral("name")))
        name->setText(imageInput_ ? QString::fromStdString(platform::foundation::escapedForDisplay(imageInput_->imageName()))
                                   : QString());
}

void CollectionViewLayerCell::setSelected(bool selected) {
    selected_ = selected;
    update();
}

void CollectionViewLayerCell::paintEvent(QPaintEvent*) {
    if (!selected_) return;
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Highlight));
}

void CollectionViewLayerCell::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    content_->setGeometry(rect());
}

LayerCollectionViewItem::LayerCollectionViewItem(QWidget* parent)
    : CollectionViewItem(parent), cell_(new CollectionViewLayerCell(this)) {}

void LayerCollectionViewItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    cell_->setSelected(isSelected());
}

void LayerCollectionViewItem::setRepresentedObject(const pa::ArrayController::Element& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (auto input = object.as<ImageInput>()) cell_->setImageInput(std::move(input));
}

void LayerCollectionViewItem::resizeEvent(QResizeEvent* event) {
    CollectionViewItem::resizeEvent(event);
    cell_->setGeometry(rect());
}

std::vector<QWidget*> superviews(const QWidget& view) {
    std::vector<QWidget*> result;
    for (QWidget* parent = view.parentWidget(); parent; parent = parent->parentWidget()) result.push_back(parent);
    return result;
}

}  // namespace gw
