#pragma once
// An SVG document (the platform's SVG renderer object), weighed by our own markup scan
// and parsed and drawn by librsvg in the renderer helper (document_drawing.hpp), under
// the same hard limits and budgets as PDF pages: the scan refuses what it can see is too
// much, quickly and with its reason, and the helper's limits stop whatever gets past it.
// References to other files or the network are never followed: the document is read
// from memory without a base location. Drawings on several threads at once go to as
// many helpers. The program's own images (its bundle's) are drawn in the program.
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/document_drawing.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/picture_problem.hpp"
#include "platform/graphics/svg_scan.hpp"

typedef struct _RsvgHandle RsvgHandle;

namespace platform::graphics {

class GraphicsContext;
class RenderedPixels;

class SvgDocument {
public:
    // Documents larger than this are refused unread; a compressed document (SVGZ)
    // is refused once it inflates past it.
    static constexpr std::uintmax_t kMaxFileBytes = 32u << 20;
    // Filters, masks, patterns and groups drawn with opacity are drawn through pixel
    // surfaces of the drawing's size, several at once: a drawing using them may be at
    // most kMaxEffectPixels large, its area times the passes over such surfaces
    // (filter primitives weighed by their work) at most kMaxEffectWork, and the
    // surfaces it holds at once within the drawing budget. A drawing is measured at
    // least at kPrerenderSide a side, the largest picture of an icon set, when it is
    // read; a drawing at another size is measured again when it is drawn.
    static constexpr int64_t kMaxEffectPixels = int64_t{1} << 24;
    static constexpr int64_t kMaxEffectWork = int64_t{1} << 31;
    // The renderer keeps every element, some 2.5 KiB each, for as long as the document
    // is open.
    static constexpr uint64_t kMaxElements = 100000;
    // Elements drawn, each referenced one as often as it is used: as many as the PDF
    // page a document is kept as may paint (two paints an element, a fill and a stroke).
    static constexpr double kMaxDrawnElements = 150000;
    // Text is laid out anew for every drawing, slower the longer a line.
    static constexpr double kMaxTextCharacters = 16384;
    static constexpr double kMaxTextRun = 4096;
    // Embedded pictures are decoded by every helper drawing the document, and kept.
    static constexpr int64_t kMaxEmbeddedPixels = int64_t{1} << 24;
    static constexpr double kMaxEmbeddedPixelsDrawn = double(int64_t{1} << 27);
    // A document whose drawing costs much whatever its size is drawn at a few fixed sizes
    // whole and its other sizes made from those (DocumentDrawing): one that draws at least
    // this many elements, vertices of shapes, vertices stroked with dashes or pixels of
    // embedded pictures. Others are drawn at each size asked.
    static constexpr double kWholeDrawnElements = 10000;
    static constexpr double kWholeDrawnVertices = 1 << 16;
    static constexpr double kWholeDashedVertices = 1024;
    static constexpr double kWholeEmbeddedPixelsDrawn = double(int64_t{1} << 24);
    // The page used for a document that does not state its size.
    static constexpr Size kFallbackSize{100, 100};

    // Null (with a reason in *error, its kind in *problem) when the file is missing,
    // too large, not a valid SVG document, of a size beyond the pixel limits
    // (kMaxImageSide, kMaxImagePixels at one pixel per point), beyond the budgets above,
    // or holding an embedded picture that cannot be drawn.
    static std::shared_ptr<SvgDocument> fromFile(const std::filesystem::path& path, std::string* error = nullptr,
                                                 PictureProblem* problem = nullptr);
    // Accepts "file://" URLs (percent-encoded) and plain paths.
    static std::shared_ptr<SvgDocument> fromFileUrl(const std::string& url, std::string* error = nullptr);
    static std::shared_ptr<SvgDocument> fromData(std::span<const uint8_t> bytes, std::string* error = nullptr,
                                                 PictureProblem* problem = nullptr);
    // An image of the program's own (its bundle's, never a user's): weighed the same way,
    // but parsed and drawn in the program, where the window draws it at every repaint.
    static std::shared_ptr<SvgDocument> ofResource(const std::filesystem::path& path);
    ~SvgDocument();
    SvgDocument(const SvgDocument&) = delete;
    SvgDocument& operator=(const SvgDocument&) = delete;

    // True when the root element gives an absolute width and height, or a viewBox
    // (whose size is then the document's).
    bool hasSize() const { return hasSize_; }
    // The stated size in points (CSS pixels count as points); zero without one.
    Size size() const { return size_; }
    // The size to draw at: size() when stated, else kFallbackSize.
    Size drawingSize() const { return hasSize_ ? size_ : kFallbackSize; }

    // Draws the document into the context's current user space with its own
    // coordinates, filling the rectangle (0, 0, drawingSize()). Document
    // geometry is y-down, so in a y-up context the caller flips first. False,
    // with a reason in *error and in the thread's DrawingProblems, when the renderer
    // could not draw all of it (a helper's limit named), or drawing it at the context's
    // scale would be beyond the effect budgets. A pixel context only, but for the
    // program's own images.
    bool render(GraphicsContext& context, std::string* error = nullptr) const;

    // A one-page PDF of `pageSize` points on which the document is drawn by a helper
    // through the cairo matrix `matrix` (from its own coordinates to the page's, both y
    // down), clipped to the device rectangles `clip` (none: unclipped). None, with the
    // reason, when it could not be drawn completely.
    std::optional<std::vector<uint8_t>> pageAsPdf(Size pageSize, const double matrix[6],
                                                  const std::vector<Rect>& clip, std::string* error = nullptr,
                                                  PictureProblem* problem = nullptr) const;

    // The largest side drawn ahead by prerender(): the largest picture a catalog asks
    // for, so that a larger document is not drawn at a size nobody may use.
    static constexpr double kPrerenderSide = 1024;
    // Smaller documents draw at their own size as fast as they would be waited for.
    static constexpr double kPrerenderSmallestSide = 256;
    // Starts drawing the whole document at its own size (one pixel a point) on a
    // thread of its own, once, while the caller does other work; documents of a size
    // that is not whole, smaller than kPrerenderSmallestSide on both sides or larger
    // than kPrerenderSide on a side, and those drawn from
    // whole drawings, are not drawn ahead. A drawing ahead that meets a limit costs only
    // itself: the document's drawings are made as they would have been without it.
    // A later render() onto exactly those pixels (a pixel surface, no scaling, a
    // whole-pixel offset, drawn over) paints that picture instead of drawing again:
    // onto clear pixels the result is the same bytes. At most kMaxDrawnAhead documents
    // of the process hold such a drawing at a time (up to 4 MiB and a thread each): in a
    // batch of many documents the rest draw as usual. The program's own images are not
    // drawn ahead.
    static constexpr int kMaxDrawnAhead = 4;
    void prerender() const;
    // Documents now holding a drawing ahead (tests).
    static int drawnAheadCount();

    // Whether its drawings are made from whole drawings of it (see kWholeDrawnElements).
    bool drawnFromWhole() const { return fromWhole_; }

private:
    SvgDocument() = default;
    // Reads the document, weighed first, in its helpers or (`inProgram`) here.
    static std::shared_ptr<SvgDocument> read(std::span<const uint8_t> bytes, bool inProgram, std::string* error,
                                             PictureProblem* problem);
    // Draws with the program's own handle, for the program's own images.
    bool renderHere(cairo_t* cr, std::string* why) const;
    std::shared_ptr<const RenderedPixels> drawWhole() const;
    // The drawing ahead when one was started, waited for (null when it failed).
    std::shared_ptr<const RenderedPixels> prerendered() const;

    // Whether drawing `pixels` device pixels stays within the effect budgets.
    bool effectsAffordable(double pixels, std::string* why) const;
    // What a drawing of `pixels` device pixels holds in effect surfaces.
    uint64_t effectBytes(double pixels) const;
    // What a helper holds for the parsed document: its elements and embedded pictures.
    double documentBytes() const;
    // The document drawn through `toDevice` (from its own space to a context's device
    // space), as its helpers are asked to draw it.
    DocumentDrawing::Page pageAt(const cairo_matrix_t& toDevice) const;

    // The program's own images only.
    RsvgHandle* handle_ = nullptr;
    // Everyone else's: drawn in helpers.
    std::unique_ptr<DocumentDrawing> helpers_;
    // Costs read from the markup, and the area of the user space they are stated in.
    SvgCosts costs_;
    double userArea_ = 0;
    bool hasSize_ = false;
    bool fromWhole_ = false;
    Size size_;
    // The document as parsed (inflated).
    std::vector<uint8_t> bytes_;
    // The last PDF page written of it, and what it was asked as, when it is at most
    // kMaxKeptPdfBytes.
    static constexpr size_t kMaxKeptPdfBytes = size_t{4} << 20;
    mutable std::vector<double> writtenKey_;
    mutable std::shared_ptr<const std::vector<uint8_t>> written_;
    mutable std::mutex mutex_;
    mutable std::mutex prerenderMutex_;
    mutable std::shared_future<std::shared_ptr<const RenderedPixels>> prerendered_;
    // Whether this document holds one of the kMaxDrawnAhead places.
    mutable bool holdsDrawnAheadPlace_ = false;
};

}  // namespace platform::graphics
