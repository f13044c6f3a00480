#pragma once
// The bordered, square preview of the asset-size panel: one picture inset by a
// padding fraction. The width rule of the inner view (a fraction of this view's
// width) is one stored value, applied whenever the view is laid out.
#include "platform/appkit/qt/image_view.hpp"

#include <QFrame>

namespace gw {

class PaddedImageView : public QFrame {
public:
    explicit PaddedImageView(QWidget* parent = nullptr);

    platform::graphics::ImagePtr image() const;
    void setImage(platform::graphics::ImagePtr image);
    // The fraction last set (as given).
    double padding() const { return padding_; }
    // A value outside 0...1 (a saved state can hold one) is shown clamped.
    void setPadding(double padding);

    // The inner width as a multiple of this view's width: 1 - padding, within 0...1.
    double imageViewWidthMultiplier() const { return widthMultiplier_; }
    platform::appkit::qt::ImageView& innerImageView() const { return *imageView_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutImageView();

    platform::appkit::qt::ImageView* imageView_;
    double padding_ = 0;
    double widthMultiplier_ = 1;
};

}  // namespace gw
