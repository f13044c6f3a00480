#pragma once
// PNG encoding of premultiplied ARGB32 pixels: the hot path of every catalog write.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/graphics/decoded_bitmap.hpp"

#include "platform/graphics/resample.hpp"

namespace platform::graphics {

// Encodes the pixels as an 8-bit PNG: RGBA (colour type 6) when keepAlpha is true,
// otherwise RGB (colour type 2) with alpha dropped after unpremultiplying. Returns an
// empty vector when the view is empty or invalid, or when the thread's interruption
// scope asks it to stop (see interruption.hpp).
std::vector<uint8_t> encodePng(const PixelView& premultipliedArgb32, bool keepAlpha);

// Decodes the plainest PNG files, those most artwork is saved as: 8-bit RGB or RGBA,
// not interlaced, every chunk whole with its checksum right, no chunk that could change
// the pixels or their resolution (only text and time beside the image data). Gives the
// pixels the general decoder gives, premultiplied, in a fraction of its time (the
// decode comes before any other work of a conversion). None for any other file,
// sound or not: the general decoder reads it, or says why it cannot.
std::optional<DecodedBitmap> decodePlainPng(std::span<const uint8_t> bytes);

}  // namespace platform::graphics
