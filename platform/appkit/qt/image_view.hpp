#pragma once
// Stands in for the platform's image view: shows a picture scaled to fit inside the view,
// centred, aspect ratio kept. The picture is rendered at the screen's device pixel size
// and kept per size, so repaints at an unchanged size decode and draw nothing.
#include "platform/graphics/image.hpp"

#include <QImage>
#include <QWidget>

#include <map>
#include <utility>

namespace platform::appkit::qt {

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent = nullptr);

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
    mutable std::map<std::pair<int, int>, QImage> cache_;
    mutable std::size_t renders_ = 0;
};

// A copy of `bitmap`'s pixels as a Qt image (premultiplied ARGB32, as both keep them).
QImage toQImage(const platform::graphics::Bitmap& bitmap);

}  // namespace platform::appkit::qt
