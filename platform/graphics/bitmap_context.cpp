#include "platform/graphics/bitmap_context.hpp"

#include <cairo.h>

#include <cstring>

#include <fmt/format.h>

namespace platform::graphics {

namespace {

struct Format {
    int bitsPerPixel = 0;
};

// The platform's table of supported layouts. Pixels are kept as 8-bit ARGB32
// whatever the reported depth; only the acceptance follows the table.
std::optional<Format> supportedFormat(ColorSpace::Model model, int bpc, BitmapInfo info, std::string& why) {
    const AlphaInfo alpha = info.alphaInfo();
    const ByteOrder order = info.byteOrder();
    const bool floats = info.floatComponents();
    const bool order16 = order == ByteOrder::order16Little || order == ByteOrder::order16Big;
    const bool order32 = order == ByteOrder::order32Little || order == ByteOrder::order32Big;
    if ((info.raw & ~(BitmapInfo::kAlphaInfoMask | BitmapInfo::kFloatComponents | BitmapInfo::kByteOrderMask)) != 0 ||
        static_cast<uint32_t>(alpha) > 7 || static_cast<uint32_t>(order) > static_cast<uint32_t>(ByteOrder::order32Big)) {
        why = "unknown bits in the bitmap info";
        return std::nullopt;
    }
    if (model == ColorSpace::Model::rgb) {
        if (bpc == 8 && !floats) {
            const bool alphaOk = alpha == AlphaInfo::premultipliedFirst || alpha == AlphaInfo::premultipliedLast ||
                                 alpha == AlphaInfo::noneSkipFirst || alpha == AlphaInfo::noneSkipLast;
            // Any byte order is taken: pixels are kept in our own layout, so
            // the order only matters to whoever reads raw bytes, and nobody
            // does. Refusing 16-bit orders here would make every opaque
            // redraw of an 8-bit picture fail.
            if (alphaOk) return Format{32};
            why = "8-bit RGB needs premultiplied or skipped alpha";
            return std::nullopt;
        }
        if (bpc == 16) {
            const bool alphaOk = alpha == AlphaInfo::premultipliedLast || alpha == AlphaInfo::noneSkipLast;
            if (alphaOk && !order32 && (!floats || order == ByteOrder::order16Little)) return Format{64};
            why = "16-bit RGB needs premultiplied-last or skip-last alpha and a 16-bit byte order";
            return std::nullopt;
        }
        if (bpc == 32 && floats) {
            const bool alphaOk = alpha == AlphaInfo::premultipliedLast || alpha == AlphaInfo::noneSkipLast;
            if (alphaOk && !order16) return Format{128};
            why = "float RGB needs premultiplied-last or skip-last alpha";
            return std::nullopt;
        }
        why = "unsupported bits per component for RGB";
        return std::nullopt;
    }
    // Grey: no alpha at all.
    if (alpha != AlphaInfo::none) {
        why = "grey bitmaps have no alpha";
        return std::nullopt;
    }
    if (bpc == 8 && !floats && !order16 && !order32) return Format{8};
    if (bpc == 16 && !floats && !order32) return Format{16};
    if (bpc == 32 && floats && !order16) return Format{32};
    why = "unsupported bits per component for grey";
    return std::nullopt;
}

}  // namespace

std::unique_ptr<BitmapContext> BitmapContext::create(int width, int height, int bitsPerComponent, int bytesPerRow,
                                                     ColorSpace space, BitmapInfo info, std::string* refusal) {
    auto refuse = [&](const std::string& why) -> std::unique_ptr<BitmapContext> {
        if (refusal != nullptr) {
            *refusal = fmt::format("unsupported bitmap context: {} ({}x{}, {} bpc, {} bytes per row, {}, {})", why,
                                   width, height, bitsPerComponent, bytesPerRow, info.description(), space.name());
        }
        return nullptr;
    };
    if (!dimensionsAcceptable(width, height)) return refuse("size out of range");
    std::string why;
    auto format = supportedFormat(space.model(), bitsPerComponent, info, why);
    if (!format) return refuse(why);
    const int64_t minimumRow = (static_cast<int64_t>(width) * format->bitsPerPixel + 7) / 8;
    if (bytesPerRow < 0 || (bytesPerRow != 0 && bytesPerRow < minimumRow)) return refuse("rows too short");

    std::unique_ptr<BitmapContext> context(new BitmapContext());
    context->width_ = width;
    context->height_ = height;
    context->bitsPerComponent_ = bitsPerComponent;
    context->bitsPerPixel_ = format->bitsPerPixel;
    context->bytesPerRow_ = bytesPerRow != 0 ? bytesPerRow : static_cast<int>((minimumRow + 15) / 16 * 16);
    context->space_ = space;
    context->info_ = info;
    const cairo_format_t cairoFormat = info.hasAlpha() ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24;
    context->surface_ = cairo_image_surface_create(cairoFormat, width, height);
    if (cairo_surface_status(context->surface_) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(context->surface_);
        context->surface_ = nullptr;
        return refuse("out of memory");
    }
    context->context_ = std::make_unique<GraphicsContext>(context->surface_, Size{double(width), double(height)});
    return context;
}

BitmapContext::~BitmapContext() {
    context_.reset();
    if (surface_ != nullptr) cairo_surface_destroy(surface_);
}

void BitmapContext::drawImage(const Bitmap& bitmap, Rect rect) {
    context_->drawBitmap(bitmap, rect, CompositingOperation::sourceOver);
}

BitmapPtr BitmapContext::makeImage() const {
    cairo_surface_flush(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    const uint8_t* data = cairo_image_surface_get_data(surface_);
    std::vector<uint8_t> pixels(data, data + static_cast<size_t>(stride) * height_);
    const bool alpha = info_.hasAlpha();
    if (!alpha) {
        // RGB24 leaves the top byte undefined; opaque bitmaps promise 0xFF there.
        for (int y = 0; y < height_; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(pixels.data() + static_cast<size_t>(y) * stride);
            for (int x = 0; x < width_; ++x) row[x] |= 0xFF000000u;
        }
    }
    Bitmap::Layout layout;
    layout.bitsPerComponent = bitsPerComponent_;
    layout.bitsPerPixel = bitsPerPixel_;
    layout.bytesPerRow = bytesPerRow_;
    layout.info = info_;
    const bool gray = space_.model() == ColorSpace::Model::gray;
    Bitmap bitmap(width_, height_, stride, std::move(pixels), alpha, gray ? ColorSpace::deviceRGB() : space_);
    if (gray) {
        // Colours were drawn as display RGB; a grey context keeps their luma.
        bitmap = Bitmap(*makeSharedBitmap(std::move(bitmap))->convertedTo(space_));
    }
    bitmap.setLayout(layout);
    BitmapPtr result = makeSharedBitmap(std::move(bitmap));
    return result;
}

}  // namespace platform::graphics
