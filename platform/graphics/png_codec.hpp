#pragma once
// PNG encoding of premultiplied ARGB32 pixels: the hot path of every catalog write.
#include <cstdint>
#include <vector>

#include "platform/graphics/resample.hpp"

namespace platform::graphics {

// Encodes the pixels as an 8-bit PNG: RGBA (colour type 6) when keepAlpha is true,
// otherwise RGB (colour type 2) with alpha dropped after unpremultiplying. Returns an
// empty vector when the view is empty or invalid.
std::vector<uint8_t> encodePng(const PixelView& premultipliedArgb32, bool keepAlpha);

}  // namespace platform::graphics
