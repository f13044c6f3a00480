#pragma once
// Decoding of picture files into bitmaps: format detection by content, the
// gdk-pixbuf formats and the PSD composite, with our size limits enforced
// before any pixel memory is allocated.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

enum class ImageFormat { unknown, png, jpeg, tiff, gif, bmp, ico, webp, psd, pdf };

// Detected from the first bytes, not from a file name.
ImageFormat detectImageFormat(std::span<const uint8_t> bytes);
const char* formatName(ImageFormat format);

// Decodes a bitmap format (everything but PDF). Null with a reason in *error
// for unsupported, corrupt, truncated or oversized pictures, and for pictures of more
// than `maxPixels` (too demanding), refused before their pixels are allocated.
std::optional<DecodedBitmap> decodeBitmapFile(std::span<const uint8_t> bytes, std::string* error = nullptr,
                                              PictureProblem* problem = nullptr,
                                              int64_t maxPixels = kMaxImagePixels);

}  // namespace platform::graphics
