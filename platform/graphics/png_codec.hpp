#pragma once
// PNG encoding of premultiplied ARGB32 pixels: the hot path of every catalog write.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/graphics/decoded_bitmap.hpp"

#include "platform/graphics/resample.hpp"

namespace platform::graphics {

// Pictures of more filtered rows than this (a byte per row and the samples) are encoded,
// and plain ones decoded, row by row instead of whole.
inline constexpr size_t kPngRowsStreamedAbove = size_t{64} << 20;

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
// Pictures of more filtered rows than `rowsStreamedAbove` bytes are inflated row by row
// straight into their pixels (the same pixels, the same files refused).
std::optional<DecodedBitmap> decodePlainPng(std::span<const uint8_t> bytes,
                                            size_t rowsStreamedAbove = kPngRowsStreamedAbove);

// Whether a file starting with `head` is one decodePlainPng would take, as far as its
// header and the chunks before its picture data tell (false when those reach past
// `head`). Pictures of more than kPngRowsStreamedAbove bytes of rows are then inflated
// row by row into their pixels, holding nothing else of that size.
bool startsAsPlainPng(std::span<const uint8_t> head);

}  // namespace platform::graphics
