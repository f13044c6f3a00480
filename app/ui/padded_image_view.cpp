#include "app/ui/padded_image_view.hpp"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace gw {

namespace pg = platform::graphics;

PaddedImageView::PaddedImageView(QWidget* parent)
    : QWidget(parent), imageView_(new platform::appkit::qt::ImageView(this)) {
    setObjectName(QStringLiteral("paddedImageView"));
    imageView_->setImageScaling(platform::appkit::qt::ImageView::Scaling::axesIndependently);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layoutImageView();
}

pg::ImagePtr PaddedImageView::image() const { return imageView_->image(); }

void PaddedImageView::setImage(pg::ImagePtr image) { imageView_->setImage(std::move(image)); }

void PaddedImageView::setPadding(double padding) {
    padding_ = padding;
    const double multiplier = std::isfinite(padding) ? 1.0 - padding : 1.0;
    widthMultiplier_ = std::clamp(multiplier, 0.0, 1.0);
    layoutImageView();
}

void PaddedImageView::setOutputSize(std::optional<pg::Size> size) {
    const bool usable = size && std::isfinite(size->width) && std::isfinite(size->height) && size->width > 0 &&
                        size->height > 0;
    outputSize_ = usable ? size : std::nullopt;
    layoutImageView();
    update();
}

QRect PaddedImageView::outputRect() const {
    // One point inside the view, so the frame's border shows on every side.
    const QRect bounds = rect().adjusted(1, 1, -1, -1);
    if (bounds.isEmpty()) return {};
    const pg::Size shape = outputSize_.value_or(pg::Size{1, 1});
    const auto fit = pg::aspectFitRect(
        shape, pg::Rect{{double(bounds.x()), double(bounds.y())}, {double(bounds.width()), double(bounds.height())}});
    return QRectF(fit.origin.x, fit.origin.y, fit.size.width, fit.size.height).toAlignedRect() & bounds;
}

void PaddedImageView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutImageView();
}

void PaddedImageView::paintEvent(QPaintEvent*) {
    const QRect frame = outputRect();
    if (frame.isEmpty()) return;
    // The written picture's canvas on the base colour, so the padding reads as part of it;
    // a 1-point border with 2-point corners, as the platform's separator draws it.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(frame).adjusted(-0.5, -0.5, 0.5, 0.5), 2, 2);
    painter.fillPath(outline, palette().color(QPalette::Base));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.drawPath(outline);
}

void PaddedImageView::layoutImageView() {
    const QRect frame = outputRect();
    const int width = static_cast<int>(std::lround(frame.width() * widthMultiplier_));
    const int height = static_cast<int>(std::lround(frame.height() * widthMultiplier_));
    imageView_->setGeometry(frame.x() + (frame.width() - width) / 2, frame.y() + (frame.height() - height) / 2, width,
                            height);
}

}  // namespace gw
