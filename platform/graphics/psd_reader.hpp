#pragma once
// Reads the flattened composite image of a layered document file (PSD, and its
// large-document variant PSB). Layers are ignored: the composite is what the file shows.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/graphics/decoded_bitmap.hpp"

namespace platform::graphics {

// Decodes 8- and 16-bit greyscale, RGB and CMYK composites stored raw or PackBits
// compressed, within the decoders' size limits (kMaxImageSide, kMaxImagePixels). The
// DPI comes from the resolution resource (0 when absent, as for other decoders). When the
// file marks the composite as transparent, its first extra channel becomes alpha.
// On failure returns nullopt and, when error is not null, a one-line reason.
std::optional<DecodedBitmap> decodePsd(std::span<const uint8_t> bytes, std::string* error);

}  // namespace platform::graphics
