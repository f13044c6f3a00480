#pragma once
// What every object that shows a picture offers the windows and builders: the image,
// a size, whether it is vector, and the colour of its corner. The sizes differ by
// holder: a bare image reports points, a wrapper pixels, a picture the point size of
// its image-set asset.
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/image.hpp"

#include <optional>

namespace gw {

class ImageHolder {
public:
    virtual ~ImageHolder() = default;
    virtual platform::graphics::ImagePtr image() const = 0;
    virtual platform::graphics::Size size() const = 0;
    virtual bool isVector() const = 0;
    virtual std::optional<platform::graphics::Color> cornerPixelColor() const = 0;
};

// A bare image as a holder: its own point size, and the corner colour computed on
// every read.
class BareImageHolder : public ImageHolder {
public:
    explicit BareImageHolder(platform::graphics::ImagePtr image) : image_(std::move(image)) {}
    platform::graphics::ImagePtr image() const override { return image_; }
    platform::graphics::Size size() const override;
    bool isVector() const override;
    std::optional<platform::graphics::Color> cornerPixelColor() const override;

private:
    platform::graphics::ImagePtr image_;
};

}  // namespace gw
