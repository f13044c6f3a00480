#pragma once
// The benchmark's test picture: an opaque 1024 x 1024 icon-like drawing (gradient,
// hard-edged shapes, fine stripes) with strong per-pixel noise on top. Noise is the
// hardest case for a resampler; the shapes show edge handling. Deterministic.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/graphics/resample.hpp"

namespace gwbench {

inline constexpr int kIosIconSetSizes[] = {40, 60, 58, 87, 80, 120, 120, 180, 20, 40,
                                           29, 58, 40, 80, 76, 152, 167, 1024, 120, 180};

struct Picture {
    int width = 0, height = 0, stride = 0;
    std::vector<uint8_t> argb;
    platform::graphics::PixelView view() const { return {argb.data(), width, height, stride}; }
};

inline Picture noisyPicture(int size = 1024) {
    Picture p{size, size, size * 4, std::vector<uint8_t>(size_t(size) * size * 4)};
    uint32_t state = 0x9E3779B9u;
    auto next = [&state] {  // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const double c = size / 2.0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double r = 40 + 150.0 * x / size, g = 70 + 120.0 * y / size, b = 200 - 100.0 * (x + y) / (2.0 * size);
            const double dx = x + 0.5 - c, dy = y + 0.5 - c * 0.9;
            if (dx * dx + dy * dy < (0.3 * size) * (0.3 * size)) r = 245, g = 210, b = 40;
            if (std::abs(x - y) < size / 20) r *= 0.3, g *= 0.3, b *= 0.3;
            if (y > size * 3 / 4 && (x / 3) % 2 == 0) r = 250, g = 250, b = 250;
            auto noisy = [&](double v) {
                const double n = double(int(next() % 97) - 48);
                const double q = std::round(v + n);
                return uint32_t(q < 0 ? 0 : (q > 255 ? 255 : q));
            };
            const uint32_t word = 0xff000000u | (noisy(r) << 16) | (noisy(g) << 8) | noisy(b);
            std::memcpy(&p.argb[size_t(y) * p.stride + 4 * x], &word, 4);
        }
    }
    return p;
}

}  // namespace gwbench
