#include "platform/graphics/resample.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace platform::graphics {
namespace {

// Four float lanes: one pixel (b, g, r, a in memory order of the native word).
typedef float Lanes __attribute__((vector_size(16)));

constexpr double kLobes = 3.0;
constexpr double kPi = 3.14159265358979323846;

double sinc(double x) {
    if (x == 0.0) return 1.0;
    const double px = kPi * x;
    return std::sin(px) / px;
}

double lanczos3(double x) {
    x = std::fabs(x);
    return x < kLobes ? sinc(x) * sinc(x / kLobes) : 0.0;
}

// Per-axis filter taps: for output index i, `count[i]` weights starting at source index
// `first[i]`, stored at weights[i * maxTaps ...].
struct Taps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights;
    int maxTaps = 0;
};

// Pixel centres sit at +0.5, so output pixel i covers the same area of the picture as
// source span [i * s, (i + 1) * s). The window is cut at the picture's edges and the
// remaining weights renormalised, which keeps flat areas flat right up to the border.
Taps computeTaps(int srcLen, int dstLen) {
    Taps t;
    const double scale = static_cast<double>(srcLen) / dstLen;
    const double widen = std::max(scale, 1.0);
    const double support = kLobes * widen;
    // Window [floor(c - support + 0.5), floor(c + support + 0.5)) holds at most
    // 2 * support + 1 samples.
    t.maxTaps = static_cast<int>(std::ceil(support * 2.0)) + 2;
    t.first.resize(dstLen);
    t.count.resize(dstLen);
    t.weights.assign(static_cast<size_t>(dstLen) * t.maxTaps, 0.0f);
    std::vector<double> w(t.maxTaps);
    for (int i = 0; i < dstLen; ++i) {
        const double centre = (i + 0.5) * scale;
        int start = static_cast<int>(std::floor(centre - support + 0.5));
        int stop = static_cast<int>(std::floor(centre + support + 0.5));
        start = std::max(start, 0);
        stop = std::min(stop, srcLen);
        if (stop <= start) {  // cannot happen for sane sizes; fall back to nearest
            start = std::clamp(static_cast<int>(centre), 0, srcLen - 1);
            stop = start + 1;
        }
        double sum = 0.0;
        for (int j = start; j < stop; ++j) {
            w[j - start] = lanczos3((j + 0.5 - centre) / widen);
            sum += w[j - start];
        }
        if (sum == 0.0) sum = 1.0;
        t.first[i] = start;
        t.count[i] = stop - start;
        float* out = &t.weights[static_cast<size_t>(i) * t.maxTaps];
        for (int j = 0; j < stop - start; ++j) out[j] = static_cast<float>(w[j] / sum);
    }
    return t;
}

typedef uint8_t Bytes4 __attribute__((vector_size(4)));

// One pixel's word at p as lanes (b, g, r, a). On little-endian machines that is the
// memory order, so the bytes convert directly.
inline Lanes unpack(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        Bytes4 v;
        std::memcpy(&v, p, 4);
        return __builtin_convertvector(v, Lanes);
    } else {
        uint32_t w;
        std::memcpy(&w, p, 4);
        return Lanes{static_cast<float>(w & 0xff), static_cast<float>((w >> 8) & 0xff),
                     static_cast<float>((w >> 16) & 0xff), static_cast<float>(w >> 24)};
    }
}

inline uint32_t toByte(float v, float hi) {
    v = v < 0.0f ? 0.0f : (v > hi ? hi : v);
    return static_cast<uint32_t>(v + 0.5f);
}

// Rounds and packs one premultiplied pixel; colour never exceeds alpha, so a later
// unpremultiply cannot produce values above 255.
inline uint32_t pack(Lanes v) {
    const uint32_t a = toByte(v[3], 255.0f);
    const float fa = static_cast<float>(a);
    return (a << 24) | (toByte(v[2], fa) << 16) | (toByte(v[1], fa) << 8) | toByte(v[0], fa);
}

inline Lanes clampLanes(Lanes v) {
    const Lanes zero = {0, 0, 0, 0};
    const Lanes top = {255, 255, 255, 255};
    v = v < zero ? zero : v;
    return v > top ? top : v;
}

}  // namespace

std::vector<uint8_t> resampleArgb32(const PixelView& src, int dstWidth, int dstHeight, int* dstStride) {
    if (dstStride) *dstStride = 0;
    if (!src.data || src.width <= 0 || src.height <= 0 || dstWidth <= 0 || dstHeight <= 0 ||
        static_cast<int64_t>(src.stride) < static_cast<int64_t>(src.width) * 4) {
        return {};
    }
    const int stride = dstWidth * 4;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * dstHeight);
    if (dstStride) *dstStride = stride;

    auto srcRow = [&](int y) { return src.data + static_cast<size_t>(y) * src.stride; };

    if (dstWidth == src.width && dstHeight == src.height) {
        for (int y = 0; y < dstHeight; ++y) std::memcpy(&out[static_cast<size_t>(y) * stride], srcRow(y), stride);
        return out;
    }

    const Taps horizontal = computeTaps(src.width, dstWidth);
    const Taps vertical = computeTaps(src.height, dstHeight);

    // Horizontal pass, one source row at a time, into a ring of filtered rows just deep
    // enough for one output row's vertical window; the windows only move down, so each
    // source row is filtered once and memory stays small even for huge pictures. Values
    // are clamped to the byte range between passes so ringing from one pass does not
    // feed the next.
    const bool sameWidth = dstWidth == src.width;
    std::vector<Lanes> row(src.width);
    auto filterRow = [&](int y, Lanes* dst) {
        const uint8_t* in = srcRow(y);
        if (sameWidth) {
            for (int x = 0; x < dstWidth; ++x) dst[x] = unpack(in + 4 * x);
            return;
        }
        for (int x = 0; x < src.width; ++x) row[x] = unpack(in + 4 * x);
        for (int x = 0; x < dstWidth; ++x) {
            const float* w = &horizontal.weights[static_cast<size_t>(x) * horizontal.maxTaps];
            const Lanes* s = &row[horizontal.first[x]];
            // Four independent sums: one running sum would wait on the adder's latency
            // at every tap.
            Lanes a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
            const int n = horizontal.count[x];
            int k = 0;
            for (; k + 4 <= n; k += 4) {
                a0 += w[k] * s[k];
                a1 += w[k + 1] * s[k + 1];
                a2 += w[k + 2] * s[k + 2];
                a3 += w[k + 3] * s[k + 3];
            }
            for (; k < n; ++k) a0 += w[k] * s[k];
            dst[x] = clampLanes((a0 + a1) + (a2 + a3));
        }
    };

    const int ringRows = vertical.maxTaps;
    std::vector<Lanes> ring(static_cast<size_t>(ringRows) * dstWidth);
    auto slot = [&](int y) { return &ring[static_cast<size_t>(y % ringRows) * dstWidth]; };
    int produced = 0;  // source rows below this one are filtered (the last ringRows kept)
    std::vector<Lanes> acc(dstWidth);
    for (int y = 0; y < dstHeight; ++y) {
        const int lo = vertical.first[y], hi = lo + vertical.count[y];
        if (lo < produced - ringRows || lo > produced) produced = lo;
        for (; produced < hi; ++produced) filterRow(produced, slot(produced));

        const float* w = &vertical.weights[static_cast<size_t>(y) * vertical.maxTaps];
        std::fill(acc.begin(), acc.end(), Lanes{0, 0, 0, 0});
        for (int k = 0; k < hi - lo; ++k) {
            const Lanes* s = slot(lo + k);
            const float wk = w[k];
            for (int x = 0; x < dstWidth; ++x) acc[x] += wk * s[x];
        }
        uint8_t* o = &out[static_cast<size_t>(y) * stride];
        for (int x = 0; x < dstWidth; ++x) {
            const uint32_t p = pack(acc[x]);
            std::memcpy(o + 4 * x, &p, 4);
        }
    }
    return out;
}

}  // namespace platform::graphics
