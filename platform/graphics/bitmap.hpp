#pragma once
// An immutable decoded bitmap (the platform's decoded image object) and the
// bitmap-info word that describes pixel layouts. Pixels are always kept as
// premultiplied native-endian ARGB32, whatever layout was asked for; the
// reported layout is what the creator asked for.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/color.hpp"
#include "platform/graphics/decoded_bitmap.hpp"

typedef struct _cairo_surface cairo_surface_t;

namespace platform::graphics {

// Raw values are the platform's.
enum class AlphaInfo : uint32_t {
    none = 0,
    premultipliedLast = 1,
    premultipliedFirst = 2,
    last = 3,
    first = 4,
    noneSkipLast = 5,
    noneSkipFirst = 6,
    only = 7,
};

enum class ByteOrder : uint32_t {
    defaultOrder = 0,
    order16Little = 1u << 12,
    order32Little = 2u << 12,
    order16Big = 3u << 12,
    order32Big = 4u << 12,
};

struct BitmapInfo {
    static constexpr uint32_t kAlphaInfoMask = 0x1F;
    static constexpr uint32_t kFloatComponents = 1u << 8;
    static constexpr uint32_t kByteOrderMask = 0x7000;

    uint32_t raw = 0;

    constexpr BitmapInfo() = default;
    constexpr explicit BitmapInfo(uint32_t value) : raw(value) {}
    constexpr BitmapInfo(AlphaInfo alpha, ByteOrder order = ByteOrder::defaultOrder, bool floats = false)
        : raw(static_cast<uint32_t>(alpha) | static_cast<uint32_t>(order) | (floats ? kFloatComponents : 0)) {}

    AlphaInfo alphaInfo() const { return static_cast<AlphaInfo>(raw & kAlphaInfoMask); }
    ByteOrder byteOrder() const { return static_cast<ByteOrder>(raw & kByteOrderMask); }
    bool floatComponents() const { return (raw & kFloatComponents) != 0; }
    // True for the alpha kinds that carry coverage (skip kinds and none do not).
    bool hasAlpha() const;
    // Stable text, e.g. "0x1005 (noneSkipLast, 16-bit little-endian)".
    std::string description() const;

    friend bool operator==(BitmapInfo, BitmapInfo) = default;
};

std::string describe(AlphaInfo alpha);

class Bitmap {
public:
    // `argb32` holds premultiplied ARGB32 rows of `stride` bytes. Opaque
    // bitmaps (hasAlpha false) must have every alpha byte at 255.
    Bitmap(int width, int height, int stride, std::vector<uint8_t> argb32, bool hasAlpha,
           ColorSpace space = ColorSpace::deviceRGB());

    // Reported layout, as the bitmap's creator described it.
    struct Layout {
        int bitsPerComponent = 8;
        int bitsPerPixel = 32;
        int bytesPerRow = 0;  // 0: the storage stride
        BitmapInfo info;
    };
    static std::shared_ptr<const Bitmap> fromDecoded(DecodedBitmap decoded);

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }
    const uint8_t* data() const { return pixels_.data(); }
    bool hasAlpha() const { return hasAlpha_; }
    const ColorSpace& colorSpace() const { return space_; }

    int bitsPerComponent() const { return layout_.bitsPerComponent; }
    int bitsPerPixel() const { return layout_.bitsPerPixel; }
    int bytesPerRow() const { return layout_.bytesPerRow > 0 ? layout_.bytesPerRow : stride_; }
    BitmapInfo bitmapInfo() const { return layout_.info; }
    AlphaInfo alphaInfo() const { return layout_.info.alphaInfo(); }
    void setLayout(Layout layout) { layout_ = layout; }

    // Unpremultiplied colour of the pixel at (x, y) counted from the top-left,
    // in this bitmap's colour space. Outside the bitmap: clear.
    Color colorAt(int x, int y) const;
    // Premultiplied ARGB32 word at (x, y) from the top-left; 0 outside.
    uint32_t pixelAt(int x, int y) const;

    // A copy whose pixels are converted to `target` (grey takes luma, linear
    // spaces re-encode the components).
    std::shared_ptr<const Bitmap> convertedTo(ColorSpace target) const;

    // A cairo image surface over these pixels (no copy; the surface keeps this
    // bitmap alive). Caller destroys it.
    cairo_surface_t* makeSurface() const;

    // Stable text, e.g. "<Bitmap 180x180 8 bpc 32 bpp row 720 0x2002 ... deviceRGB>".
    std::string description() const;

private:
    int width_;
    int height_;
    int stride_;
    std::vector<uint8_t> pixels_;
    bool hasAlpha_;
    ColorSpace space_;
    Layout layout_;
    // Lets makeSurface hand cairo a reference that keeps the pixels alive.
    std::weak_ptr<const Bitmap> self_;
    friend std::shared_ptr<const Bitmap> makeSharedBitmap(Bitmap&&);
};

using BitmapPtr = std::shared_ptr<const Bitmap>;

// The only way bitmaps are handed out: shared, so surfaces can keep them alive.
BitmapPtr makeSharedBitmap(Bitmap&& bitmap);

}  // namespace platform::graphics
