#pragma once
// What reading a picture file and making one output picture take in memory at most:
// what work asks of the memory budget before it starts. Estimates err on the large
// side; they only need to be close for large pictures, where they decide what runs
// side by side.
#include "app/foundation/image_definition.hpp"
#include "app/foundation/picture_file.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/image.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace gw {

// The pixel size a bitmap file's first bytes declare (PNG, JPEG, GIF, BMP, TIFF, WebP,
// PSD); none when they do not say, within `head`.
struct DeclaredSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
};
std::optional<DeclaredSize> declaredPixelSize(std::span<const std::uint8_t> head);

// What the file's first bytes tell of reading it.
struct ReadingEstimate {
    // The pixels it decodes to (the most the limits allow when its header does not
    // say), none for a document (PDF, SVG).
    std::uint64_t pixelBytes = 0;
    // Beside the pixels, while it is read: the file's bytes and the decoder's buffers.
    std::uint64_t readingBytes = 0;
};
// For a document the reading bytes also hold what parsing it takes.
ReadingEstimate estimateReading(std::span<const std::uint8_t> head, std::uint64_t fileBytes);
// The same for a file open to be read, from its first bytes; `name` tells a document
// (an SVG has no signature of its own).
ReadingEstimate estimateReading(const FileHead& file, const std::filesystem::path& name);

// The bitmap whose pixels are the output picture as they are (drawn unscaled, with
// nothing added): its PNG is encoded from them, without drawing a copy first. Null when
// the picture must be drawn.
std::shared_ptr<platform::graphics::BitmapRep> unchangedSource(const ImageDefinition& definition,
                                                               const platform::graphics::Image& source);

// Drawing and encoding one output picture, beside the source picture's pixels.
std::uint64_t estimateDrawing(const ImageDefinition& definition, const platform::graphics::Image& source);

}  // namespace gw
