#include "platform/graphics/image.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "platform/graphics/png_codec.hpp"

namespace platform::graphics {

ImagePtr Image::withSize(Size size, bool flipped, DrawingHandler handler) {
    auto image = make(size);
    image->addRepresentation(std::make_shared<DrawingHandlerRep>(size, flipped, std::move(handler)));
    return image;
}

ImagePtr Image::withBitmap(BitmapPtr bitmap, Size pointSize) {
    auto rep = std::make_shared<BitmapRep>(std::move(bitmap), pointSize);
    auto image = make(rep->size());
    image->addRepresentation(std::move(rep));
    return image;
}

ImagePtr Image::withRepresentation(std::shared_ptr<ImageRep> rep) {
    auto image = make(rep ? rep->size() : Size{});
    if (rep) image->addRepresentation(std::move(rep));
    return image;
}

void Image::addRepresentation(std::shared_ptr<ImageRep> rep) {
    if (!rep) return;
    reps_.push_back(std::move(rep));
    // The bytes read no longer stand for the picture as it is now.
    encodedSource_.reset();
}

void Image::removeRepresentation(const std::shared_ptr<ImageRep>& rep) {
    reps_.erase(std::remove(reps_.begin(), reps_.end(), rep), reps_.end());
    encodedSource_.reset();
}

std::shared_ptr<ImageRep> Image::bestRepresentationForRect(Rect rect, const GraphicsContext* context) const {
    if (reps_.empty()) return nullptr;
    const Size scale = context != nullptr ? context->deviceScale() : Size{1, 1};
    const long needW = std::lround(rect.width() * scale.width);
    const long needH = std::lround(rect.height() * scale.height);
    std::shared_ptr<ImageRep> vector, smallestLarger, largest;
    for (const auto& rep : reps_) {
        if (rep->kind() != ImageRep::Kind::bitmap) {
            if (!vector) vector = rep;
            continue;
        }
        const long w = rep->pixelsWide(), h = rep->pixelsHigh();
        if (w == needW && h == needH) return rep;
        const auto area = [](const std::shared_ptr<ImageRep>& r) {
            return static_cast<int64_t>(r->pixelsWide()) * r->pixelsHigh();
        };
        if (w >= needW && h >= needH && (!smallestLarger || area(rep) < area(smallestLarger))) smallestLarger = rep;
        if (!largest || area(rep) > area(largest)) largest = rep;
    }
    if (vector) return vector;
    return smallestLarger ? smallestLarger : largest;
}

std::shared_ptr<PdfRep> Image::pdfRepresentation() const {
    for (const auto& rep : reps_) {
        if (rep->kind() == ImageRep::Kind::pdf) return std::static_pointer_cast<PdfRep>(rep);
    }
    return nullptr;
}

bool Image::drawInRect(Rect dst, CompositingOperation op, double fraction) const {
    GraphicsContext* context = GraphicsContext::current();
    if (context == nullptr) return false;
    return drawInRect(*context, dst, op, fraction);
}

bool Image::drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op, double fraction) const {
    const auto rep = bestRepresentationForRect(dst, &context);
    if (!rep) return false;
    return rep->drawInRect(context, dst, op, fraction);
}

BitmapPtr Image::renderBitmap(int width, int height) const {
    return renderBitmapRegion(width, height, width, height);
}

BitmapPtr Image::renderBitmapRegion(int fullWidth, int fullHeight, int width, int height) const {
    if (!dimensionsAcceptable(fullWidth, fullHeight)) return nullptr;
    width = std::clamp(width, 1, fullWidth);
    height = std::clamp(height, 1, fullHeight);
    // Drawn straight into the bitmap's own pixels: a copy would double the largest
    // allocation of a conversion.
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
    if (stride <= 0) return nullptr;
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height);
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_ARGB32, width, height, stride);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    bool complete = true;
    {
        // The context spans the whole picture; the smaller surface clips it to its
        // top-left corner (y up: the flip is taken over the full height).
        GraphicsContext context(surface, Size{double(fullWidth), double(fullHeight)});
        // A handler that fails leaves the picture transparent, not an error.
        drawInRect(context, Rect{0, 0, double(fullWidth), double(fullHeight)});
        // But a renderer that could not finish (a surface it could not make) leaves
        // the context in an error state: what was drawn is not the picture.
        complete = cairo_status(context.cairo()) == CAIRO_STATUS_SUCCESS;
    }
    cairo_surface_flush(surface);
    complete = complete && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    if (!complete) return nullptr;
    return makeSharedBitmap(Bitmap(width, height, stride, std::move(pixels), true));
}

BitmapPtr Image::bitmapForProposedRect(const Rect* proposed, const GraphicsContext* context) const {
    const Rect rect = proposed != nullptr ? *proposed : Rect{Point{}, size_};
    const Size scale = context != nullptr ? context->deviceScale() : Size{1, 1};
    const long width = std::lround(rect.width() * scale.width);
    const long height = std::lround(rect.height() * scale.height);
    if (width <= 0 || height <= 0) return nullptr;
    const auto rep = bestRepresentationForRect(rect, context);
    if (!rep) return nullptr;
    if (rep->kind() == ImageRep::Kind::bitmap && rep->pixelsWide() == width && rep->pixelsHigh() == height) {
        auto pixels = std::static_pointer_cast<BitmapRep>(rep)->bitmap();
        if (pixels->width() == width && pixels->height() == height) return pixels;
        // Pixels that could not be read again: drawing tells the failure.
    }
    return renderBitmap(static_cast<int>(width), static_cast<int>(height));
}

std::shared_ptr<BitmapRep> Image::renderedBitmap() const {
    if (reps_.empty()) return nullptr;
    if (reps_.front()->kind() == ImageRep::Kind::bitmap) {
        const auto& first = std::static_pointer_cast<BitmapRep>(reps_.front());
        if (first->pixelsWide() > 0 && first->pixelsHigh() > 0) return first;
    }
    const long width = std::lround(size_.width);
    const long height = std::lround(size_.height);
    if (width <= 0 || height <= 0 || !dimensionsAcceptable(width, height)) return nullptr;
    auto bitmap = renderBitmap(static_cast<int>(width), static_cast<int>(height));
    if (!bitmap) return nullptr;
    return std::make_shared<BitmapRep>(std::move(bitmap), size_);
}

std::optional<std::vector<uint8_t>> Image::pngData() const {
    const auto bitmap = renderedBitmap();
    if (!bitmap) return std::nullopt;
    auto bytes = bitmap->pngData();
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

ImagePtr Image::copy() const { return std::make_shared<Image>(*this); }

std::string Image::description() const {
    std::string text = fmt::format("Image size {} representations [", describe(size_));
    for (size_t i = 0; i < reps_.size(); ++i) {
        if (i > 0) text += ", ";
        text += reps_[i]->description();
    }
    return text + "]";
}

}  // namespace platform::graphics
