#pragma once
// High-quality resampling of premultiplied ARGB32 bitmaps (the layout Cairo calls
// CAIRO_FORMAT_ARGB32: one native-endian 32-bit word per pixel, alpha in the top byte).
#include <cstdint>
#include <vector>

namespace platform::graphics {

// A read-only window onto pixels owned by someone else. stride is in bytes.
struct PixelView {
    const uint8_t* data;
    int width;
    int height;
    int stride;
};

// Resizes src to dstWidth x dstHeight with a separable Lanczos3 filter (widened by the
// scale factor when shrinking). Returns the new pixels, tightly packed; *dstStride
// receives the row length in bytes. Returns an empty vector (and stride 0) when either
// size is not positive or the source is empty.
std::vector<uint8_t> resampleArgb32(const PixelView& src, int dstWidth, int dstHeight, int* dstStride);

}  // namespace platform::graphics
