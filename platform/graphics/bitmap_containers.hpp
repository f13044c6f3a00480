#pragma once
// What a bitmap file's container says before any decoder runs. Decoders trust the
// sizes and offsets a header declares and allocate by them; animations are decoded
// whole on close. Both are settled here: declared sizes are checked against the file
// and the pixel limits, and of an animation only the first frame is handed on.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/image_io.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

// False, with the reason, when a header of `format` declares a size, offset or pixel
// count that the file cannot hold or the pixel limits do not allow.
bool declaredSizesAcceptable(std::span<const uint8_t> bytes, ImageFormat format, std::string* error,
                             PictureProblem* problem);

// A GIF's bytes up to the end of its first image, closed by a trailer; none when the
// file holds nothing after the first image or its blocks cannot be followed (the
// decoder then judges the whole file).
std::optional<std::vector<uint8_t>> gifFirstFrame(std::span<const uint8_t> bytes);

// The first frame of an animated WebP, as a still WebP of its own, and where it lies
// on the canvas.
struct WebpFrame {
    std::vector<uint8_t> still;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int canvasWidth = 0;
    int canvasHeight = 0;
};

bool isAnimatedWebp(std::span<const uint8_t> bytes);
// None, with the reason, when the animation has no frame or its first frame does not
// lie within the canvas.
std::optional<WebpFrame> webpFirstFrame(std::span<const uint8_t> bytes, std::string* error, PictureProblem* problem);

}  // namespace platform::graphics
