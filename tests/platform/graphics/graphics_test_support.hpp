#pragma once
// Helpers for the graphics tests: pixels of rendered pictures, PNG headers,
// and picture files written by gdk-pixbuf.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/graphics/image.hpp"

namespace gwtest::graphics {

struct Argb {
    int a, r, g, b;  // premultiplied, 0...255
};

inline Argb argbAt(const platform::graphics::Bitmap& bitmap, int x, int y) {
    const uint32_t p = bitmap.pixelAt(x, y);
    return Argb{int(p >> 24), int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
}

inline std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Width, height and colour type from a PNG's IHDR chunk.
struct PngHeader {
    uint32_t width = 0, height = 0;
    int colorType = -1;
};
inline PngHeader pngHeader(const std::vector<uint8_t>& png) {
    PngHeader h;
    if (png.size() < 33) return h;
    auto be32 = [&](size_t o) {
        return (uint32_t(png[o]) << 24) | (uint32_t(png[o + 1]) << 16) | (uint32_t(png[o + 2]) << 8) | png[o + 3];
    };
    h.width = be32(16);
    h.height = be32(20);
    h.colorType = png[25];
    return h;
}

// A solid bitmap of one premultiplied ARGB word.
inline platform::graphics::BitmapPtr solidBitmap(int w, int h, uint32_t argb, bool hasAlpha = true) {
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h * 4);
    auto* words = reinterpret_cast<uint32_t*>(pixels.data());
    for (int i = 0; i < w * h; ++i) words[i] = argb;
    return platform::graphics::makeSharedBitmap(platform::graphics::Bitmap(w, h, w * 4, std::move(pixels), hasAlpha));
}

}  // namespace gwtest::graphics
