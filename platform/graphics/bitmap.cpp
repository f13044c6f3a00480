#include "platform/graphics/bitmap.hpp"

#include <cairo.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace platform::graphics {

namespace {

constexpr ByteOrder kNativeOrder32 =
    std::endian::native == std::endian::little ? ByteOrder::order32Little : ByteOrder::order32Big;

Bitmap::Layout nativeLayout(int stride, bool hasAlpha) {
    Bitmap::Layout layout;
    layout.bitsPerComponent = 8;
    layout.bitsPerPixel = 32;
    layout.bytesPerRow = stride;
    layout.info = BitmapInfo(hasAlpha ? AlphaInfo::premultipliedFirst : AlphaInfo::noneSkipFirst, kNativeOrder32);
    return layout;
}

uint8_t unpremultiply(uint32_t value, uint32_t alpha) {
    if (alpha == 0) return 0;
    return static_cast<uint8_t>(std::min<uint32_t>(255, (value * 255 + alpha / 2) / alpha));
}

}  // namespace

bool BitmapInfo::hasAlpha() const {
    switch (alphaInfo()) {
        case AlphaInfo::premultipliedLast:
        case AlphaInfo::premultipliedFirst:
        case AlphaInfo::last:
        case AlphaInfo::first:
        case AlphaInfo::only: return true;
        default: return false;
    }
}

std::string describe(AlphaInfo alpha) {
    switch (alpha) {
        case AlphaInfo::none: return "none";
        case AlphaInfo::premultipliedLast: return "premultipliedLast";
        case AlphaInfo::premultipliedFirst: return "premultipliedFirst";
        case AlphaInfo::last: return "last";
        case AlphaInfo::first: return "first";
        case AlphaInfo::noneSkipLast: return "noneSkipLast";
        case AlphaInfo::noneSkipFirst: return "noneSkipFirst";
        case AlphaInfo::only: return "only";
    }
    return fmt::format("unknown({})", static_cast<uint32_t>(alpha));
}

std::string BitmapInfo::description() const {
    std::string order;
    switch (byteOrder()) {
        case ByteOrder::defaultOrder: order = "default byte order"; break;
        case ByteOrder::order16Little: order = "16-bit little-endian"; break;
        case ByteOrder::order32Little: order = "32-bit little-endian"; break;
        case ByteOrder::order16Big: order = "16-bit big-endian"; break;
        case ByteOrder::order32Big: order = "32-bit big-endian"; break;
        default: order = "unknown byte order"; break;
    }
    return fmt::format("{:#x} ({}, {}{})", raw, platform::graphics::describe(alphaInfo()), order,
                       floatComponents() ? ", float" : "");
}

Bitmap::Bitmap(int width, int height, int stride, std::vector<uint8_t> argb32, bool hasAlpha, ColorSpace space)
    : width_(width),
      height_(height),
      stride_(stride),
      pixels_(std::move(argb32)),
      hasAlpha_(hasAlpha),
      space_(space),
      layout_(nativeLayout(stride, hasAlpha)) {
    // Keep the invariant that every row is really there; a short buffer would
    // be read past its end by cairo.
    const size_t needed = static_cast<size_t>(std::max(0, stride_)) * static_cast<size_t>(std::max(0, height_));
    if (width_ < 0 || height_ < 0 || stride_ < width_ * 4 || stride_ % 4 != 0 || pixels_.size() < needed) {
        width_ = height_ = 0;
        stride_ = 0;
        pixels_.clear();
    }
}

BitmapPtr makeSharedBitmap(Bitmap&& bitmap) {
    auto shared = std::make_shared<Bitmap>(std::move(bitmap));
    shared->self_ = shared;
    return shared;
}

BitmapPtr Bitmap::fromDecoded(DecodedBitmap decoded) {
    if (!dimensionsAcceptable(decoded.width, decoded.height)) return nullptr;
    return makeSharedBitmap(Bitmap(decoded.width, decoded.height, decoded.stride, std::move(decoded.argb32),
                                   decoded.hasAlpha));
}

uint32_t Bitmap::pixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    uint32_t word;
    std::memcpy(&word, pixels_.data() + static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * 4, 4);
    return word;
}

Color Bitmap::colorAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return Color(space_, {}, 0);
    const uint32_t p = pixelAt(x, y);
    const uint32_t a = p >> 24;
    const double r = unpremultiply((p >> 16) & 0xFF, a) / 255.0;
    const double g = unpremultiply((p >> 8) & 0xFF, a) / 255.0;
    const double b = unpremultiply(p & 0xFF, a) / 255.0;
    if (space_.model() == ColorSpace::Model::gray) return Color(space_, {g}, a / 255.0);
    return Color(space_, {r, g, b}, a / 255.0);
}

BitmapPtr Bitmap::convertedTo(ColorSpace target) const {
    std::vector<uint8_t> out(pixels_.size());
    // Conversion is per distinct colour, so a table keyed by the pixel word
    // would be overkill; the curves are cheap enough per pixel.
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const uint32_t p = pixelAt(x, y);
            const uint32_t a = p >> 24;
            uint32_t word = 0;
            if (a != 0) {
                Color c = colorAt(x, y);
                auto converted = c.usingColorSpace(target);
                std::vector<double> comps = converted ? converted->components() : c.components();
                double rgb[3];
                if (comps.size() == 1) {
                    rgb[0] = rgb[1] = rgb[2] = comps[0];
                } else {
                    for (int i = 0; i < 3; ++i) rgb[i] = comps[static_cast<size_t>(i)];
                }
                auto channel = [&](double v) {
                    const double clamped = std::clamp(v, 0.0, 1.0);
                    return static_cast<uint32_t>(std::lround(clamped * a));
                };
                word = (a << 24) | (channel(rgb[0]) << 16) | (channel(rgb[1]) << 8) | channel(rgb[2]);
            }
            std::memcpy(out.data() + static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * 4, &word, 4);
        }
    }
    Bitmap converted(width_, height_, stride_, std::move(out), hasAlpha_, target);
    converted.layout_ = layout_;
    return makeSharedBitmap(std::move(converted));
}

cairo_surface_t* Bitmap::makeSurface() const {
    if (width_ == 0 || height_ == 0) return cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 0, 0);
    // cairo never writes to a surface used only as a source; the cast is safe
    // as long as callers do not draw into it, which the API does not expose.
    auto* surface = cairo_image_surface_create_for_data(const_cast<uint8_t*>(pixels_.data()),
                                                        hasAlpha_ ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24,
                                                        width_, height_, stride_);
    static cairo_user_data_key_t key;
    auto keeper = new BitmapPtr(self_.lock());
    cairo_surface_set_user_data(surface, &key, keeper, [](void* p) { delete static_cast<BitmapPtr*>(p); });
    return surface;
}

std::string Bitmap::description() const {
    return fmt::format("<Bitmap {}x{} {} bpc {} bpp row {} info {} {}{}>", width_, height_, bitsPerComponent(),
                       bitsPerPixel(), bytesPerRow(), layout_.info.description(), space_.name(),
                       hasAlpha_ ? " alpha" : " opaque");
}

}  // namespace platform::graphics
