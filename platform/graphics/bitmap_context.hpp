#pragma once
// An offscreen drawing context over a pixel buffer (the platform's bitmap
// context). Creation refuses the pixel layouts the platform refuses; drawing
// goes through the y-up graphics context it carries.
#include <memory>
#include <string>

#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/graphics_context.hpp"

namespace platform::graphics {

class BitmapContext {
public:
    // bytesPerRow 0 picks the row length. Returns null, with the reason in
    // *refusal when given, for a layout the platform does not support: an
    // unsupported combination of colour model, bits per component, alpha kind
    // and byte order; rows too short for the width; or a size outside our limits.
    static std::unique_ptr<BitmapContext> create(int width, int height, int bitsPerComponent, int bytesPerRow,
                                                 ColorSpace space, BitmapInfo info, std::string* refusal = nullptr);
    ~BitmapContext();
    BitmapContext(const BitmapContext&) = delete;
    BitmapContext& operator=(const BitmapContext&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int bitsPerComponent() const { return bitsPerComponent_; }
    int bitsPerPixel() const { return bitsPerPixel_; }
    int bytesPerRow() const { return bytesPerRow_; }
    const ColorSpace& colorSpace() const { return space_; }
    BitmapInfo bitmapInfo() const { return info_; }

    GraphicsContext& graphicsContext() { return *context_; }
    // Draws a bitmap stretched into `rect` (y up, in pixels).
    void drawImage(const Bitmap& bitmap, Rect rect);
    // A snapshot of the pixels, reporting this context's layout. Skip and none
    // alpha kinds give an opaque bitmap (what was transparent shows as black).
    BitmapPtr makeImage() const;

private:
    BitmapContext() = default;
    int width_ = 0;
    int height_ = 0;
    int bitsPerComponent_ = 8;
    int bitsPerPixel_ = 32;
    int bytesPerRow_ = 0;
    ColorSpace space_;
    BitmapInfo info_;
    cairo_surface_t* surface_ = nullptr;
    std::unique_ptr<GraphicsContext> context_;
};

}  // namespace platform::graphics
