#pragma once
// Facts about images that the picture model, the builders and the validators share:
// the colour that stands for a picture's background, its size in pixels, the text of
// an aspect ratio, and two helpers the program carries without calling.
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/image.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace gw {

// The colour one pixel in from the top-left corner (pixel (1, 1)) in the generic RGB
// space; clear when that pixel is (nearly) transparent; black for a picture not more
// than one point wide or high. None only when the picture cannot be drawn at all.
std::optional<platform::graphics::Color> cornerPixelColor(const platform::graphics::Image& image);

// The colour unchanged when it is calibrated RGB, else converted to it (none when it
// cannot be).
std::optional<platform::graphics::Color> calibratedColor(const platform::graphics::Color& color);

// A copy of the picture with a soft shadow, two points larger on every side that
// carries the shadow, at the picture's own point size. Null when it cannot be drawn.
platform::graphics::ImagePtr imageWithShadow(const platform::graphics::Image& image);

// The size in pixels: that of the representation with the most pixels on either side
// (both sides taken from the same representation); the point size when that has a
// side of zero.
platform::graphics::Size pixelSize(const platform::graphics::Image& image);

// The aspect ratio in lowest terms, "4:3". Sides are rounded to halves before the
// divisor is taken. A size without a divisor (both sides zero) gives "0:0".
std::string aspectRatioText(platform::graphics::Size size);

// Sizes as set members and dictionary keys; +0 and -0 hash alike.
struct SizeHash {
    std::size_t operator()(const platform::graphics::Size& size) const noexcept;
};

// The first PDF representation of the image, in their order; null when it has none. A
// picture is vector exactly when it has one.
std::shared_ptr<platform::graphics::PdfRep> pdfImageRep(const platform::graphics::Image& image);

}  // namespace gw
