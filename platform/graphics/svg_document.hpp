#pragma once
// An SVG document (the platform's SVG renderer object), parsed and drawn by
// librsvg. References to other files or the network are never followed: the
// document is read from memory without a base location. A handle is not safe to
// share between threads, so each drawing takes one of its own, parsed from the same
// bytes and kept for the next: one document draws on many threads at once.
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/picture_problem.hpp"
#include "platform/graphics/svg_scan.hpp"

typedef struct _RsvgHandle RsvgHandle;

namespace platform::graphics {

class GraphicsContext;

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
    // The renderer keeps every element, some 2.5 KiB each, for every drawing handle.
    static constexpr uint64_t kMaxElements = 100000;
    // Elements drawn, each referenced one as often as it is used: as many as the PDF
    // page a document is kept as may paint (two paints an element, a fill and a stroke).
    static constexpr double kMaxDrawnElements = 150000;
    // Text is laid out anew for every drawing, slower the longer a line.
    static constexpr double kMaxTextCharacters = 16384;
    static constexpr double kMaxTextRun = 4096;
    // Embedded pictures are decoded by every drawing handle and kept.
    static constexpr int64_t kMaxEmbeddedPixels = int64_t{1} << 24;
    static constexpr double kMaxEmbeddedPixelsDrawn = double(int64_t{1} << 27);
    // What the drawing handles of one document may hold between them: a document that
    // takes much memory to parse draws with fewer handles, in turn.
    static constexpr uint64_t kRendererMemory = uint64_t{256} << 20;
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
    // with a reason in *error, when the renderer could not draw all of it or drawing it
    // at the context's scale would be beyond the effect budgets.
    bool render(GraphicsContext& context, std::string* error = nullptr) const;

    // The largest side drawn ahead by prerender(): the largest picture a catalog asks
    // for, so that a larger document is not drawn at a size nobody may use.
    static constexpr double kPrerenderSide = 1024;
    // Starts drawing the whole document at its own size (one pixel a point) on a
    // thread of its own, once, while the caller does other work; documents of a size
    // that is not whole, or larger than kPrerenderSide on a side, are not drawn ahead.
    // A later render() onto exactly those pixels (a pixel surface, no scaling, a
    // whole-pixel offset, drawn over) paints that picture instead of drawing again:
    // onto clear pixels the result is the same bytes. At most kMaxDrawnAhead documents
    // of the process hold such a drawing at a time (up to 4 MiB and a thread each): in a
    // batch of many documents the rest draw as usual.
    static constexpr int kMaxDrawnAhead = 4;
    void prerender() const;
    // Documents now holding a drawing ahead (tests).
    static int drawnAheadCount();

private:
    struct Prerendered;
    SvgDocument() = default;
    // A handle no other thread is drawing with, parsed from the same bytes (null when
    // it could not be made), and its return for the next drawing.
    RsvgHandle* takeRenderer() const;
    void giveBack(RsvgHandle* renderer) const;
    std::shared_ptr<const Prerendered> drawWhole() const;
    // The drawing ahead when one was started, waited for (null when it failed).
    std::shared_ptr<const Prerendered> prerendered() const;

    // Whether drawing `pixels` device pixels stays within the effect budgets.
    bool effectsAffordable(double pixels, std::string* why) const;
    // What a drawing of `pixels` device pixels holds in effect surfaces.
    uint64_t effectBytes(double pixels) const;

    RsvgHandle* handle_ = nullptr;
    // Costs read from the markup, and the area of the user space they are stated in.
    SvgCosts costs_;
    double userArea_ = 0;
    // Handles parsed beside handle_, at most maxRenderers_ - 1.
    size_t maxRenderers_ = 1;
    mutable size_t renderersMade_ = 0;
    bool hasSize_ = false;
    Size size_;
    // The document as parsed (inflated): what each drawing thread's handle is made from.
    std::vector<uint8_t> bytes_;
    mutable std::mutex mutex_;
    mutable std::mutex renderersMutex_;
    mutable std::vector<RsvgHandle*> renderers_;
    mutable std::mutex prerenderMutex_;
    mutable std::shared_future<std::shared_ptr<const Prerendered>> prerendered_;
    // Whether this document holds one of the kMaxDrawnAhead places.
    mutable bool holdsDrawnAheadPlace_ = false;
};

}  // namespace platform::graphics
