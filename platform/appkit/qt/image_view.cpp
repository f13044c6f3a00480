#include "platform/appkit/qt/image_view.hpp"

#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/image_rep.hpp"

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
    drawing_.reset();
    wanted_.reset();
    ++generation_;
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

namespace {

// Whether drawing the picture small takes long: a bitmap of many pixels to scale, or one
// whose pixels were let go and must be read (decoded) again first.
bool takesLongToRender(const platform::graphics::Image& image) {
    for (const auto& rep : image.representations()) {
        if (rep->kind() != platform::graphics::ImageRep::Kind::bitmap) continue;
        const auto& bitmap = static_cast<const platform::graphics::BitmapRep&>(*rep);
        if (!bitmap.hasPixels()) return true;
        if (std::int64_t{bitmap.pixelsWide()} * bitmap.pixelsHigh() > ImageView::kLargePicturePixels) return true;
    }
    return false;
}

}  // namespace

void ImageView::renderInBackground(Size size) {
    if (drawing_) {
        if (*drawing_ != size) wanted_ = size;
        return;
    }
    drawing_ = size;
    wanted_.reset();
    std::weak_ptr<int> alive = lifetime_;
    platform::dispatch::DispatchQueue::global(platform::dispatch::QualityOfService::userInitiated)
        .async([this, alive, image = image_, generation = generation_, size] {
            auto bitmap = image->renderBitmap(size.first, size.second);
            QImage rendered = bitmap ? toQImage(*bitmap) : QImage();
            platform::dispatch::DispatchQueue::main().async([this, alive, generation, size, rendered] {
                if (!alive.lock() || generation != generation_) return;
                drawing_.reset();
                // Drawings of a large picture are kept for a few sizes only, those nearest
                // the newest: a resize would otherwise keep one for every size it passed.
                while (cache_.size() >= kKeptDrawings) {
                    auto farthest = cache_.begin();
                    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
                        if (std::abs(it->first.first - size.first) > std::abs(farthest->first.first - size.first))
                            farthest = it;
                    }
                    cache_.erase(farthest);
                }
                cache_[size] = rendered;
                ++renders_;
                if (wanted_ && !cache_.count(*wanted_)) renderInBackground(*wanted_);
                wanted_.reset();
                update();
            });
        });
}

void ImageView::paintEvent(QPaintEvent*) {
    const QRect target = imageRect();
    if (target.isEmpty()) return;
    const qreal ratio = devicePixelRatioF();
    const QSize pixels(std::max(1, int(std::lround(target.width() * ratio))),
                       std::max(1, int(std::lround(target.height() * ratio))));
    QImage rendered;
    if (const auto found = cache_.find({pixels.width(), pixels.height()}); found != cache_.end()) {
        rendered = found->second;
    } else if (!takesLongToRender(*image_)) {
        rendered = renderedImage(pixels);
    } else {
        renderInBackground({pixels.width(), pixels.height()});
        // Meanwhile the drawing nearest in size, scaled.
        for (const auto& [size, drawn] : cache_) {
            if (drawn.isNull()) continue;
            if (rendered.isNull() || std::abs(size.first - pixels.width()) < std::abs(rendered.width() - pixels.width()))
                rendered = drawn;
        }
    }
    if (rendered.isNull()) return;
    QPainter painter(this);
    if (rendered.size() == pixels) {
        rendered.setDevicePixelRatio(ratio);
        painter.drawImage(target.topLeft(), rendered);
    } else {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(target), rendered);
    }
}

}  // namespace platform::appkit::qt
