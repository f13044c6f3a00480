#pragma once
// A picture decoded from a file into our working pixel layout, before it becomes
// an image representation. Decoders (gdk-pixbuf glue, the PSD reader) fill it.
#include <cstdint>
#include <vector>

namespace platform::graphics {

// Decoders refuse anything larger: a small hostile file must not make us
// allocate gigabytes. Artwork is rarely above 8192 x 8192; 2^26 pixels is
// 256 MiB of ARGB32, and decoding briefly holds two copies.
inline constexpr int kMaxImageSide = 16384;
inline constexpr int64_t kMaxImagePixels = int64_t{1} << 26;

inline bool dimensionsAcceptable(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           width * height <= kMaxImagePixels;
}

struct DecodedBitmap {
    int width = 0;
    int height = 0;
    double dpiX = 0;  // 0 when the file does not say
    double dpiY = 0;
    std::vector<uint8_t> argb32;  // premultiplied, native-endian ARGB32 (cairo's layout)
    int stride = 0;               // bytes per row of argb32
    bool hasAlpha = false;
};

}  // namespace platform::graphics
