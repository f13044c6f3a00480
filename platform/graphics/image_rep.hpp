#pragma once
// Image representations (the platform's image-rep classes): a bitmap, a page
// of a PDF document, or a drawing handler that draws on demand.
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

class PdfDocument;

class ImageRep {
public:
    enum class Kind { bitmap, pdf, drawingHandler };

    virtual ~ImageRep() = default;
    Kind kind() const { return kind_; }
    // Size in points.
    Size size() const { return size_; }
    void setSize(Size size) { size_ = size; }
    virtual int pixelsWide() const = 0;
    virtual int pixelsHigh() const = 0;
    virtual bool hasAlpha() const { return true; }
    // Draws the whole representation stretched into `dst` (user space of the
    // context). False when nothing could be drawn.
    virtual bool drawInRect(GraphicsContext& context, Rect dst,
                            CompositingOperation op = CompositingOperation::sourceOver,
                            double fraction = 1.0) const = 0;
    // The same, into this thread's current context; false without one.
    bool drawInCurrentContext(Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                              double fraction = 1.0) const;
    virtual std::string description() const = 0;

protected:
    ImageRep(Kind kind, Size size) : kind_(kind), size_(size) {}

private:
    Kind kind_;
    Size size_;
};

class BitmapRep : public ImageRep {
public:
    // A zero point size means one point per pixel.
    explicit BitmapRep(BitmapPtr bitmap, Size pointSize = {});

    const BitmapPtr& bitmap() const { return bitmap_; }
    int pixelsWide() const override { return bitmap_->width(); }
    int pixelsHigh() const override { return bitmap_->height(); }
    bool hasAlpha() const override { return bitmap_->hasAlpha(); }
    int bitsPerComponent() const { return bitmap_->bitsPerComponent(); }
    int bytesPerRow() const { return bitmap_->bytesPerRow(); }
    const ColorSpace& colorSpace() const { return bitmap_->colorSpace(); }
    // Colour at (x, y) counted from the top-left pixel.
    Color colorAt(int x, int y) const { return bitmap_->colorAt(x, y); }
    std::shared_ptr<BitmapRep> convertingToColorSpace(ColorSpace space) const;
    // PNG bytes of the pixels (RGB without alpha when the bitmap is opaque);
    // the bytes this representation is stored as.
    std::vector<uint8_t> pngData() const;

    bool drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const override;
    std::string description() const override;

private:
    BitmapPtr bitmap_;
};

class PdfRep : public ImageRep {
public:
    PdfRep(std::shared_ptr<PdfDocument> document, int pageIndex = 0);
    static std::shared_ptr<PdfRep> fromData(std::vector<uint8_t> bytes, std::string* error = nullptr,
                                            PictureProblem* problem = nullptr);

    const std::shared_ptr<PdfDocument>& document() const { return document_; }
    int pageIndex() const { return pageIndex_; }
    // The whole document, as read.
    const std::vector<uint8_t>& pdfData() const;
    Rect cropBox() const { return cropBox_; }
    Rect mediaBox() const { return mediaBox_; }
    // The crop box: what the picture shows.
    Rect bounds() const { return cropBox_; }

    // Vector pictures report their point size as pixels.
    int pixelsWide() const override;
    int pixelsHigh() const override;
    bool drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const override;
    std::string description() const override;

private:
    std::shared_ptr<PdfDocument> document_;
    int pageIndex_;
    Rect cropBox_;
    Rect mediaBox_;
};

class DrawingHandlerRep : public ImageRep {
public:
    // Called with the picture's own rectangle (0, 0, size) while the drawing
    // context is current and maps that rectangle onto the destination. Returns
    // whether it drew.
    using Handler = std::function<bool(Rect)>;

    DrawingHandlerRep(Size size, bool flipped, Handler handler);
    bool isFlipped() const { return flipped_; }
    // No pixels of its own: it draws at whatever size it is asked.
    int pixelsWide() const override { return 0; }
    int pixelsHigh() const override { return 0; }
    bool drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const override;
    std::string description() const override;

private:
    bool flipped_;
    Handler handler_;
};

}  // namespace platform::graphics
