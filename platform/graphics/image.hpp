#pragma once
// A picture: a point size and an ordered list of representations (the
// platform's image object). Images are shared by reference; operations that
// change a picture make a new image instead.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

class Image;
using ImagePtr = std::shared_ptr<Image>;

class Image {
public:
    using DrawingHandler = DrawingHandlerRep::Handler;

    // Files larger than this are refused unread.
    static constexpr std::uintmax_t kMaxFileBytes = 512u << 20;

    // An image of the given size with no representations.
    explicit Image(Size size = {}) : size_(size) {}
    static ImagePtr make(Size size = {}) { return std::make_shared<Image>(size); }
    // A lazy picture: `handler` runs each time the image is drawn or rendered,
    // on the drawing thread, with a current context. Not flipped: y up.
    static ImagePtr withSize(Size size, bool flipped, DrawingHandler handler);
    // One bitmap; a zero point size means one point per pixel.
    static ImagePtr withBitmap(BitmapPtr bitmap, Size pointSize = {});
    // One representation; the image takes its size.
    static ImagePtr withRepresentation(std::shared_ptr<ImageRep> rep);

    // Reads PNG, JPEG, TIFF, GIF, BMP, ICO, WebP, PSD (flattened composite)
    // and PDF (first page, kept as vectors). A bitmap's point size follows the
    // resolution stored in the file (72 dpi is one point per pixel). Null, with
    // a reason in *error, for a missing, unreadable, unsupported, truncated or
    // oversized picture.
    // *problem (when given) tells the kind of failure.
    static ImagePtr fromFile(const std::filesystem::path& path, std::string* error = nullptr,
                             PictureProblem* problem = nullptr);
    static ImagePtr fromData(std::span<const uint8_t> bytes, std::string* error = nullptr,
                             PictureProblem* problem = nullptr);

    // Lets the pixels of a picture read from `path` (one bitmap) be released and read
    // again from the file when next drawn. A file that has changed since (size or
    // time of change) gives no pixels then. False when the picture is not one bitmap
    // or the file cannot be looked at. The file is also the picture's encoded bytes.
    bool reloadPixelsFrom(const std::filesystem::path& path);
    // The same with the reading left to the caller: `reread` gives the bytes the picture
    // was read from again, or none once they cannot be had as they were (the file
    // changed). A reader bound to a folder reads through it, not by a path.
    using Reread = std::function<std::optional<std::vector<uint8_t>>()>;
    bool reloadPixelsFrom(Reread reread);
    // Keeps `bytes`, which the picture was read from (fromData), as its encoded bytes;
    // a picture of one bitmap may then let its pixels go and read them again from them.
    void keepEncodedBytes(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The bytes the picture was read from, while they still stand for it: those kept,
    // or its file read again when it has not changed since (reloadPixelsFrom). None for
    // a picture made otherwise, or given representations since. Stored again, a picture
    // can be these bytes instead of being encoded anew (which takes seconds for a large
    // one).
    std::optional<std::vector<uint8_t>> encodedBytes() const;
    // The same bytes when they are kept in memory (keepEncodedBytes), shared rather than
    // copied (a save of large pictures then copies nothing); null otherwise.
    std::shared_ptr<const std::vector<uint8_t>> keptEncodedBytes() const;
    // Releases the pixels of every reloadable bitmap; whether any was released.
    bool releasePixels();

    Size size() const { return size_; }
    void setSize(Size size) { size_ = size; }
    const std::vector<std::shared_ptr<ImageRep>>& representations() const { return reps_; }
    void addRepresentation(std::shared_ptr<ImageRep> rep);
    void removeRepresentation(const std::shared_ptr<ImageRep>& rep);

    // The representation to draw into `rect` (points): a bitmap whose pixels
    // match the device pixels exactly, else the first vector or drawing one,
    // else the smallest bitmap at least as large, else the largest. Without a
    // context one point is one pixel.
    std::shared_ptr<ImageRep> bestRepresentationForRect(Rect rect, const GraphicsContext* context = nullptr) const;
    // The first PDF representation, in order.
    std::shared_ptr<PdfRep> pdfRepresentation() const;

    // Draws the best representation stretched into `dst`, into the current
    // context of this thread (false without one) or the given one.
    bool drawInRect(Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const;
    bool drawInRect(GraphicsContext& context, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0) const;

    // A bitmap for drawing into *proposed (the whole image when null) in
    // `context` (one pixel per point when null): an existing bitmap of exactly
    // the needed pixels, or the image rendered at that size.
    BitmapPtr bitmapForProposedRect(const Rect* proposed, const GraphicsContext* context = nullptr) const;
    // Renders the image into a transparent bitmap of width x height pixels. Null when
    // the renderer could not draw it completely.
    BitmapPtr renderBitmap(int width, int height) const;
    // The top-left regionWidth x regionHeight pixels of renderBitmap(width, height),
    // drawn without the rest: the same pixels at a fraction of the work. Null when
    // the whole render would be refused or could not be drawn.
    BitmapPtr renderBitmapRegion(int width, int height, int regionWidth, int regionHeight) const;
    // The image as one bitmap: the first representation when it is a bitmap,
    // else the image rendered at one pixel per point. Null for an image
    // without representations or with a side under one point.
    std::shared_ptr<BitmapRep> renderedBitmap() const;
    // PNG bytes of renderedBitmap(): RGBA, or RGB when the bitmap is opaque.
    std::optional<std::vector<uint8_t>> pngData() const;

    // Same size and representations (shared: representations do not change).
    ImagePtr copy() const;
    std::string description() const;

private:
    // The pixels of a picture read again, when it is still one bitmap.
    static BitmapPtr soleBitmap(const ImagePtr& image);

    struct EncodedSource {
        std::shared_ptr<const std::vector<uint8_t>> bytes;  // kept in memory, or:
        Reread reread;
    };

    Size size_;
    std::vector<std::shared_ptr<ImageRep>> reps_;
    std::optional<EncodedSource> encodedSource_;
};

}  // namespace platform::graphics
