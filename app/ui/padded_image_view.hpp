#pragma once
// The preview of the asset-size panel: the picture as the image set will be written. A
// frame with the asset's proportions (its point width and height; a square while they
// are unknown) fits inside the view, so the whole picture shows at any panel size; the
// picture is stretched over the frame's centre, inset by the padding fraction, as the
// writer stretches it and shrinks it by 1 − padding.
#include "platform/appkit/qt/image_view.hpp"
#include "platform/graphics/geometry.hpp"

#include <QWidget>

#include <optional>

namespace gw {

class PaddedImageView : public QWidget {
public:
    explicit PaddedImageView(QWidget* parent = nullptr);

    platform::graphics::ImagePtr image() const;
    void setImage(platform::graphics::ImagePtr image);
    // The fraction last set (as given).
    double padding() const { return padding_; }
    // A value outside 0...1 (a saved state can hold one) is shown clamped.
    void setPadding(double padding);
    // The size the picture is written at; none, or an empty size, shows a square.
    void setOutputSize(std::optional<platform::graphics::Size> size);

    // The picture's share of the frame's width: 1 - padding, within 0...1.
    double imageViewWidthMultiplier() const { return widthMultiplier_; }
    platform::appkit::qt::ImageView& innerImageView() const { return *imageView_; }
    // The frame standing for the written picture, inside this view.
    QRect outputRect() const;

    QSize sizeHint() const override { return {200, 200}; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void layoutImageView();

    platform::appkit::qt::ImageView* imageView_;
    double padding_ = 0;
    double widthMultiplier_ = 1;
    std::optional<platform::graphics::Size> outputSize_;
};

}  // namespace gw
