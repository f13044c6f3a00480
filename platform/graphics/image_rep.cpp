#include "platform/graphics/image_rep.hpp"

#include <cairo.h>

#include <cmath>

#include <fmt/format.h>

#include "platform/graphics/pdf_document.hpp"
#include "platform/graphics/png_codec.hpp"

namespace platform::graphics {

BitmapRep::BitmapRep(BitmapPtr bitmap, Size pointSize)
    : ImageRep(Kind::bitmap, pointSize), bitmap_(std::move(bitmap)) {
    if (!bitmap_) bitmap_ = makeSharedBitmap(Bitmap(0, 0, 0, {}, false));
    width_ = bitmap_->width();
    height_ = bitmap_->height();
    hasAlpha_ = bitmap_->hasAlpha();
    bitsPerComponent_ = bitmap_->bitsPerComponent();
    bytesPerRow_ = bitmap_->bytesPerRow();
    colorSpace_ = bitmap_->colorSpace();
    bitmapDescription_ = bitmap_->description();
    if (pointSize.width == 0 && pointSize.height == 0) {
        setSize(Size{double(width_), double(height_)});
    }
}

BitmapPtr BitmapRep::bitmap() const {
    std::lock_guard lock(mutex_);
    if (bitmap_) return bitmap_;
    auto loaded = reload_ ? reload_() : nullptr;
    // Pixels that no longer match what the picture was read as are not its pixels.
    if (!loaded || loaded->width() != width_ || loaded->height() != height_ || loaded->hasAlpha() != hasAlpha_) {
        return makeSharedBitmap(Bitmap(0, 0, 0, {}, false));
    }
    bitmap_ = std::move(loaded);
    holdsPixels_ = true;
    return bitmap_;
}

void BitmapRep::setReload(Reload reload) {
    std::lock_guard lock(mutex_);
    reload_ = std::move(reload);
}

bool BitmapRep::isReloadable() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(reload_);
}

bool BitmapRep::releasePixels() {
    std::lock_guard lock(mutex_);
    if (!reload_) return false;
    bitmap_.reset();
    holdsPixels_ = false;
    return true;
}

std::shared_ptr<BitmapRep> BitmapRep::convertingToColorSpace(ColorSpace space) const {
    return std::make_shared<BitmapRep>(bitmap()->convertedTo(space), size());
}

namespace {

// Whether every pixel has full alpha: a drawn picture is kept with an alpha channel
// even where nothing in it is see-through.
bool everyPixelOpaque(const Bitmap& bitmap) {
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* row = bitmap.data() + static_cast<size_t>(y) * bitmap.stride();
        uint8_t all = 0xFF;
        // Little-endian ARGB32 words: alpha is the fourth byte of each.
        for (int x = 0; x < bitmap.width(); ++x) all &= row[4 * x + 3];
        if (all != 0xFF) return false;
    }
    return true;
}

}  // namespace

std::vector<uint8_t> BitmapRep::pngData() const {
    // An opaque picture is written without alpha: a quarter fewer bytes to filter and
    // compress, and the same pixels when read back.
    const auto pixels = bitmap();
    const bool keepAlpha = pixels->hasAlpha() && !everyPixelOpaque(*pixels);
    return encodePng(PixelView{pixels->data(), pixels->width(), pixels->height(), pixels->stride()}, keepAlpha);
}

bool BitmapRep::drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op, double fraction) const {
    const auto pixels = bitmap();
    if (pixels->width() == 0 || pixels->height() == 0) {
        // Pixels that could not be read again: drawing nothing would pass for a picture.
        if (width_ > 0 && height_ > 0) context.markIncomplete();
        return false;
    }
    context.drawBitmap(*pixels, dst, op, fraction);
    return true;
}

std::string BitmapRep::description() const {
    return fmt::format("BitmapRep size {} pixels {}x{} {}", describe(size()), pixelsWide(), pixelsHigh(),
                       bitmapDescription_);
}

PdfRep::PdfRep(std::shared_ptr<PdfDocument> document, int pageIndex)
    : ImageRep(Kind::pdf, Size{}), document_(std::move(document)), pageIndex_(pageIndex) {
    if (document_) {
        cropBox_ = document_->cropBox(pageIndex_).value_or(Rect{});
        mediaBox_ = document_->mediaBox(pageIndex_).value_or(cropBox_);
    }
    setSize(cropBox_.size);
}

std::shared_ptr<PdfRep> PdfRep::fromData(std::vector<uint8_t> bytes, std::string* error, PictureProblem* problem,
                                         bool measureOnLoad) {
    auto document = PdfDocument::fromData(std::move(bytes), error, problem, measureOnLoad);
    if (!document) return nullptr;
    return std::make_shared<PdfRep>(std::move(document), 0);
}

const std::vector<uint8_t>& PdfRep::pdfData() const {
    static const std::vector<uint8_t> none;
    return document_ ? document_->data() : none;
}

int PdfRep::pixelsWide() const { return static_cast<int>(std::lround(cropBox_.width())); }
int PdfRep::pixelsHigh() const { return static_cast<int>(std::lround(cropBox_.height())); }

bool PdfRep::drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op, double fraction) const {
    if (!document_ || cropBox_.isEmpty() || dst.isEmpty()) return false;
    context.saveState();
    context.setCompositingOperation(op);
    context.clipToRect(dst);
    // Pages draw y-up; in a flipped space they are turned so they stay upright.
    if (context.isFlipped()) {
        context.translate(dst.origin.x, dst.origin.y + dst.size.height);
        context.scale(dst.size.width / cropBox_.size.width, -dst.size.height / cropBox_.size.height);
    } else {
        context.translate(dst.origin.x, dst.origin.y);
        context.scale(dst.size.width / cropBox_.size.width, dst.size.height / cropBox_.size.height);
    }
    context.translate(-cropBox_.origin.x, -cropBox_.origin.y);
    bool ok;
    if (fraction < 1.0) {
        // Fade the page as one layer, not each of its shapes.
        cairo_t* cr = context.cairo();
        cairo_push_group(cr);
        ok = document_->drawPage(pageIndex_, context);
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, fraction);
    } else {
        ok = document_->drawPage(pageIndex_, context);
    }
    context.restoreState();
    return ok;
}

std::string PdfRep::description() const {
    return fmt::format("PdfRep size {} page {} crop box {} ({} bytes)", describe(size()), pageIndex_ + 1,
                       describe(cropBox_), pdfData().size());
}

bool ImageRep::drawInCurrentContext(Rect dst, CompositingOperation op, double fraction) const {
    GraphicsContext* context = GraphicsContext::current();
    return context != nullptr && drawInRect(*context, dst, op, fraction);
}

DrawingHandlerRep::DrawingHandlerRep(Size size, bool flipped, Handler handler)
    : ImageRep(Kind::drawingHandler, size), flipped_(flipped), handler_(std::move(handler)) {}

bool DrawingHandlerRep::drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op,
                                   double fraction) const {
    const Size own = size();
    if (!handler_ || own.width == 0 || own.height == 0 || dst.isEmpty()) return false;
    cairo_t* cr = context.cairo();
    const bool layered = fraction < 1.0 || op != CompositingOperation::sourceOver;
    context.saveState();
    if (layered) {
        // The handler draws with its own operations; the result is then
        // composited as one layer with the requested operation.
        cairo_push_group(cr);
    }
    context.saveState();
    context.setCompositingOperation(CompositingOperation::sourceOver);
    context.translate(dst.origin.x, dst.origin.y);
    context.scale(dst.size.width / own.width, dst.size.height / own.height);
    if (flipped_ != context.isFlipped()) {
        context.translate(0, own.height);
        context.scale(1, -1);
    }
    context.setFlipped(flipped_);
    bool ok;
    {
        GraphicsContext::CurrentScope scope(&context);
        ok = handler_(Rect{0, 0, own.width, own.height});
    }
    context.restoreState();
    if (layered) {
        cairo_pop_group_to_source(cr);
        cairo_set_operator(cr, static_cast<cairo_operator_t>(cairoOperator(op)));
        cairo_paint_with_alpha(cr, std::max(0.0, fraction));
    }
    context.restoreState();
    return ok;
}

std::string DrawingHandlerRep::description() const {
    return fmt::format("DrawingHandlerRep size {}{}", describe(size()), flipped_ ? " flipped" : "");
}

}  // namespace platform::graphics
