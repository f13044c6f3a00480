#pragma once
// Stands in for the platform's image view: shows a picture scaled to fit inside the view,
// centred, aspect ratio kept, or stretched over the whole view. The picture is rendered at the screen's device pixel size
// and kept per size, so repaints at an unchanged size decode and draw nothing. A large
// picture (one whose pixels take long to scale, or must be read again first) is rendered
// off the main thread: meanwhile the view shows its drawing at another size, scaled, or
// nothing, and it repaints once the drawing is done.
#include "platform/graphics/image.hpp"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
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
    // The picture rendered at `pixels` (here and now); null image when there is no picture.
    QImage renderedImage(QSize pixels) const;
    std::size_t renderCount() const { return renders_; }
    // Whether a drawing of the picture is under way off the main thread.
    bool isRenderingInBackground() const { return drawing_.has_value(); }
    // Pictures of more pixels than this are rendered off the main thread.
    static constexpr std::int64_t kLargePicturePixels = std::int64_t{1} << 22;

    QSize sizeHint() const override { return {64, 64}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    using Size = std::pair<int, int>;
    static constexpr std::size_t kKeptDrawings = 4;
    void renderInBackground(Size size);

    platform::graphics::ImagePtr image_;
    Scaling scaling_ = Scaling::proportionallyUpOrDown;
    mutable std::map<std::pair<int, int>, QImage> cache_;
    mutable std::size_t renders_ = 0;
    // The size being drawn off the main thread for the picture of this generation, and the
    // latest size asked for meanwhile: one drawing at a time, and none for the sizes a
    // resize passed through.
    std::optional<Size> drawing_;
    std::optional<Size> wanted_;
    std::uint64_t generation_ = 0;
    // Gone with the view: drawings finished later find nothing to show themselves in.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>();
};

// A copy of `bitmap`'s pixels as a Qt image (premultiplied ARGB32, as both keep them).
QImage toQImage(const platform::graphics::Bitmap& bitmap);

}  // namespace platform::appkit::qt
