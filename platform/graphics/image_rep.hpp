#pragma once
// Image representations (the platform's image-rep classes): a bitmap, a page
// of a PDF document, or a drawing handler that draws on demand.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
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
    // Loads the pixels again after releasePixels(); null when they cannot be had.
    using Reload = std::function<BitmapPtr()>;

    // A zero point size means one point per pixel.
    explicit BitmapRep(BitmapPtr bitmap, Size pointSize = {});

    // The pixels, loaded again first when they were released. A picture whose pixels
    // cannot be loaded again (its file changed or went) answers with an empty bitmap.
    BitmapPtr bitmap() const;
    int pixelsWide() const override { return width_; }
    int pixelsHigh() const override { return height_; }
    bool hasAlpha() const override { return hasAlpha_; }
    int bitsPerComponent() const { return bitsPerComponent_; }
    int bytesPerRow() const { return bytesPerRow_; }
    const ColorSpace& colorSpace() const { return colorSpace_; }
    // Colour at (x, y) counted from the top-left pixel.
    Color colorAt(int x, int y) const { return bitmap()->colorAt(x, y); }
    std::shared_ptr<BitmapRep> convertingToColorSpace(ColorSpace space) const;
    // PNG bytes of the pixels (RGB without alpha when the bitmap is opaque);
    // the bytes this representation is stored as.
    std::vector<uint8_t> pngData() const;

    // Lets the pixels go while nobody draws them: `reload` brings the same pixels back
    // on the next use. Size, alpha and colour space stay known meanwhile.
    void setReload(Reload reload);
    bool isReloadable() const;
    // Drops the pixels of a reloadable representation (those in use by a drawing stay
    // alive until it ends). False when there is no way to load them again.
    bool releasePixels();
    // Whether the pixels are in memory now; told at once, also while another thread reads
    // them again (not yet, then).
    bool hasPixels() const { return holdsPixels_.load(); }

    bool drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const override;
    std::string description() const override;

private:
    mutable std::mutex mutex_;
    mutable BitmapPtr bitmap_;
    // bitmap_ is set: kept beside it, so that asking never waits for the lock a reading holds.
    mutable std::atomic<bool> holdsPixels_{true};
    Reload reload_;
    int width_ = 0;
    int height_ = 0;
    bool hasAlpha_ = false;
    int bitsPerComponent_ = 8;
    int bytesPerRow_ = 0;
    ColorSpace colorSpace_;
    std::string bitmapDescription_;
};

class PdfRep : public ImageRep {
public:
    PdfRep(std::shared_ptr<PdfDocument> document, int pageIndex = 0);
    // See PdfDocument::fromData.
    static std::shared_ptr<PdfRep> fromData(std::vector<uint8_t> bytes, std::string* error = nullptr,
                                            PictureProblem* problem = nullptr, bool measureOnLoad = true);

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
