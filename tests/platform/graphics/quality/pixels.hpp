#pragma once
// Small pixel helpers shared by the quality tests.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "platform/graphics/resample.hpp"

namespace gwtest {

struct Bitmap {
    int width = 0, height = 0, stride = 0;
    std::vector<uint8_t> bytes;

    Bitmap() = default;
    Bitmap(int w, int h) : width(w), height(h), stride(w * 4), bytes(static_cast<size_t>(w) * h * 4) {}

    uint32_t at(int x, int y) const {
        uint32_t v;
        std::memcpy(&v, &bytes[static_cast<size_t>(y) * stride + 4 * x], 4);
        return v;
    }
    void set(int x, int y, uint32_t v) { std::memcpy(&bytes[static_cast<size_t>(y) * stride + 4 * x], &v, 4); }
    platform::graphics::PixelView view() const { return {bytes.data(), width, height, stride}; }
};

inline uint32_t argb(unsigned a, unsigned r, unsigned g, unsigned b) { return (a << 24) | (r << 16) | (g << 8) | b; }
inline unsigned channel(uint32_t p, int shift) { return (p >> shift) & 0xff; }

inline Bitmap resample(const Bitmap& src, int w, int h) {
    Bitmap out;
    out.width = w;
    out.height = h;
    out.bytes = platform::graphics::resampleArgb32(src.view(), w, h, &out.stride);
    return out;
}

// PSNR over the colour and alpha bytes of two equally sized bitmaps.
inline double psnr(const Bitmap& a, const Bitmap& b) {
    double se = 0;
    size_t n = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            for (int s = 0; s < 32; s += 8) {
                const double d = double(channel(a.at(x, y), s)) - double(channel(b.at(x, y), s));
                se += d * d;
                ++n;
            }
        }
    }
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (se / n));
}

}  // namespace gwtest
