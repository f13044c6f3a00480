#include "app/ui/padded_image_view.hpp"

#include <algorithm>
#include <cmath>

namespace gw {

PaddedImageView::PaddedImageView(QWidget* parent)
    : QFrame(parent), imageView_(new platform::appkit::qt::ImageView(this)) {
    // A 1-point separator-coloured border with 2-point corners; the picture is clipped to it.
    setObjectName(QStringLiteral("paddedImageView"));
    setStyleSheet(QStringLiteral("#paddedImageView { border: 1px solid palette(mid); border-radius: 2px; }"));
    setAttribute(Qt::WA_StyledBackground, true);
    layoutImageView();
}

platform::graphics::ImagePtr PaddedImageView::image() const { return imageView_->image(); }

void PaddedImageView::setImage(platform::graphics::ImagePtr image) { imageView_->setImage(std::move(image)); }

void PaddedImageView::setPadding(double padding) {
    padding_ = padding;
    const double multiplier = std::isfinite(padding) ? 1.0 - padding : 1.0;
    widthMultiplier_ = std::clamp(multiplier, 0.0, 1.0);
    layoutImageView();
}

void PaddedImageView::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    layoutImageView();
}

void PaddedImageView::layoutImageView() {
    // Square (height = width), centred both ways.
    const int side = static_cast<int>(std::lround(width() * widthMultiplier_));
    imageView_->setGeometry((width() - side) / 2, (height() - side) / 2, side, side);
}

}  // namespace gw
