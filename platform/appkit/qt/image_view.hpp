#pragma once
// Stands in for the platform's image view: shows a picture scaled to fit inside the view,
// centred, aspect ratio kept, or stretched over the whole view. The picture is rendered at the screen's device pixel size
// and kept per size, so repaints at an unchanged size decode and draw nothing.
#include "platform/graphics/image.hpp"

#include <QImage>
#include <QWidget>

#include <map>
#include <utility>

namespace platform::appkit::qt {

class ImageView : public QWidget {
public:
    // How the picture meets the view's shape.
    enum class Scaling { proportionallyUpOrDown, axesIndependently };

    explicit ImageView(QWidget* parent = nullptr);

    Scaling imageScaling() const { return scaling_; }
    void setImageScaling(Scaling scaling);

    const platform::graphics::ImagePtr& image() const { return image_; }
    // Null: the view shows nothing.
    void setImage(platform::graphics::ImagePtr image);

    // Where the picture is drawn inside the view (empty when there is none).
    QRect imageRect() const;
    // The picture rendered at `pixels`; null image when there is no picture.
    QImage renderedImage(QSize pixels) const;
    std::size_t renderCount() const { return renders_; }

    QSize sizeHint() const override { return {64, 64}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    platform::graphics::ImagePtr image_;
    Scaling scaling_ = Scaling::proportionallyUpOrDown;
    mutable std::map<std::pair<int, int>, QImage> cache_;
    mutable std::size_t renders_ = 0;
};

// A copy of `bitmap`'s pixels as a Qt image (premultiplied ARGB32, as both keep them).
QImage toQImage(const platform::graphics::Bitmap& bitmap);

}  // namespace platform::appkit::qt
