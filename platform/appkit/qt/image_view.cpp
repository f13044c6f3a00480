#include "platform/appkit/qt/image_view.hpp"

#include "platform/graphics/geometry.hpp"

#include <QPainter>

#include <cmath>

namespace platform::appkit::qt {

QImage toQImage(const platform::graphics::Bitmap& bitmap) {
    return QImage(bitmap.data(), bitmap.width(), bitmap.height(), bitmap.stride(),
                  QImage::Format_ARGB32_Premultiplied)
        .copy();
}

ImageView::ImageView(QWidget* parent) : QWidget(parent) {}

void ImageView::setImage(platform::graphics::ImagePtr image) {
    image_ = std::move(image);
    cache_.clear();
    update();
}

void ImageView::setImageScaling(Scaling scaling) {
    scaling_ = scaling;
    update();
}

QRect ImageView::imageRect() const {
    if (!image_) return {};
    const auto size = image_->size();
    if (size.width <= 0 || size.height <= 0) return {};
    const QRect bounds = contentsRect();
    if (scaling_ == Scaling::axesIndependently) return bounds;
    const auto fit = platform::graphics::aspectFitRect(
        size, platform::graphics::Rect{{double(bounds.x()), double(bounds.y())},
                                       {double(bounds.width()), double(bounds.height())}});
    return QRectF(fit.origin.x, fit.origin.y, fit.size.width, fit.size.height).toAlignedRect() & bounds;
}

QImage ImageView::renderedImage(QSize pixels) const {
    if (!image_ || pixels.isEmpty()) return {};
    const auto key = std::make_pair(pixels.width(), pixels.height());
    if (auto found = cache_.find(key); found != cache_.end()) return found->second;
    QImage rendered;
    if (auto bitmap = image_->renderBitmap(pixels.width(), pixels.height())) rendered = toQImage(*bitmap);
    ++renders_;
    cache_.emplace(key, rendered);
    return rendered;
}

void ImageView::paintEvent(QPaintEvent*) {
    const QRect target = imageRect();
    if (target.isEmpty()) return;
    const qreal ratio = devicePixelRatioF();
    const QSize pixels(std::max(1, int(std::lround(target.width() * ratio))),
                       std::max(1, int(std::lround(target.height() * ratio))));
    QImage rendered = renderedImage(pixels);
    if (rendered.isNull()) return;
    rendered.setDevicePixelRatio(ratio);
    QPainter painter(this);
    painter.drawImage(target.topLeft(), rendered);
}

}  // namespace platform::appkit::qt
