#pragma once
// A PDF document (the platform's PDF document object), measured by our own scan and
// opened and drawn by poppler in the renderer helper (render_client.hpp), under hard
// limits: the scan refuses what it can see is too much, quickly and with its reason, and
// the helper's limits stop whatever gets past it. Drawings on several threads at once
// go to as many helpers.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/pdf_scan.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

class DocumentDrawing;
class GraphicsContext;

class PdfDocument {
public:
    // Inflating every compressed stream of a document may give at most this much:
    // poppler has no way to stop a page in the middle, so a deflate bomb is refused
    // before it is parsed.
    static constexpr uint64_t kMaxInflatedBytes = uint64_t{256} << 20;
    // The objects a document's cross-reference sections may list in all (free ones too):
    // each kept costs the scan and poppler memory, and no picture needs more.
    static constexpr double kMaxCrossReferences = 1 << 21;
    // What drawing a page may take, every form and pattern counted as often as it is
    // drawn: operators run, operators that paint, and image pixels decoded (images are
    // decoded whole at each drawing).
    static constexpr double kMaxOperators = 4e6;
    static constexpr double kMaxPaints = 3e5;
    static constexpr double kMaxImagePixelsDrawn = double(int64_t{1} << 27);
    // Transparency groups and soft masks take pixel surfaces of the drawing's size: their
    // number times the drawing's area at most kMaxGroupWork, and those held at once
    // within the drawing budget. A page is measured at least at 1024 pixels a side (the
    // largest picture of an icon set) when it is read, and again at each drawing.
    static constexpr double kMaxGroupWork = double(int64_t{1} << 31);
    static constexpr double kMeasuredSide = 1024;
    // Shadings: painted at most kMaxShadingPaints times, the pixels they fill (each
    // weighted by its kind's cost, see ShadingPixelWeights) at most kMaxShadingWork at
    // the drawing's size, their functions' work at most kMaxFunctionWork, and meshes at
    // most kMaxMeshElements patches or triangles in all; a sampled function holds at
    // most kMaxFunctionSamples samples.
    static constexpr double kMaxShadingPaints = 4096;
    static constexpr double kMaxShadingWork = double(int64_t{1} << 30);
    static constexpr double kMaxFunctionWork = double(int64_t{1} << 28);
    static constexpr double kMaxMeshElements = 1 << 17;
    static constexpr double kMaxFunctionSamples = 1 << 22;
    // Tint transforms and transfer functions: poppler runs some 12 million calculator
    // operators a second, so at most kMaxTintWork steps (a few seconds) a page.
    static constexpr double kMaxTintWork = 1 << 25;
    // A tiling pattern's tile is at least 1/kMaxTilesAcross of the page's longer side,
    // and at least kFinestTilePixels of a pixel where it is drawn: cairo's pattern
    // matrices are fixed-point, and a finer tile puts its context in an error state.
    // The surface cairo repeats it from counts against the drawing budget.
    static constexpr double kMaxTilesAcross = 1 << 16;
    static constexpr double kFinestTilePixels = 1.0 / (1 << 14);
    // A page whose drawing costs much whatever its size is drawn at a few fixed sizes
    // whole and its other sizes made from those (DocumentDrawing): one whose scan counts
    // at least this many operators, painting operators, image pixels decoded, steps of
    // tint transforms and shading functions, mesh elements or segments stroked with dashes.
    // Other pages are drawn at each size asked.
    static constexpr double kWholeOperators = 1 << 18;
    static constexpr double kWholePaints = 1 << 15;
    static constexpr double kWholeImagePixels = double(int64_t{1} << 24);
    static constexpr double kWholeTintWork = 1 << 22;
    static constexpr double kWholeFunctionWork = 1 << 24;
    static constexpr double kWholeMeshElements = 1 << 14;
    static constexpr double kWholeDashedSegments = 1024;
    static bool drawnFromWhole(const PdfPageCosts& costs);

    // Null, with a reason in *error, when the bytes are not a PDF poppler can open,
    // or when the document is beyond our budgets: compressed streams inflating past
    // kMaxInflatedBytes, images beyond the pixel limits, a first page beyond them or
    // beyond the drawing budgets above; encrypted documents, whose pages cannot be
    // measured, are refused. Without `measureOnLoad` the page is measured at each
    // drawing's own size only (a page of our own making, whose bitmaps another
    // renderer draws).
    static std::shared_ptr<PdfDocument> fromData(std::vector<uint8_t> bytes, std::string* error = nullptr,
                                                 PictureProblem* problem = nullptr, bool measureOnLoad = true);
    // Draws a page of our own making in its own coordinates (y up, in points) into the
    // context's current user space and state; false, with the reason, when it could not
    // be drawn completely.
    using Drawing = std::function<bool(GraphicsContext&, std::string* why)>;
    // Writes that page as pageAsPdf() does.
    using Writing = std::function<std::optional<std::vector<uint8_t>>(
        Size pageSize, const double matrix[6], const std::vector<Rect>& clip, std::string* error,
        PictureProblem* problem)>;
    // A one-page document of `pageSize` made from another document (an SVG document its
    // own scan let through): its page is drawn by `drawing` and written by `writing`,
    // which draw that document (in its renderer helpers), not these bytes, with neither
    // the PDF scan nor poppler; `bytes` are what it was written as.
    static std::shared_ptr<PdfDocument> ofDrawing(std::vector<uint8_t> bytes, Size pageSize, Drawing drawing,
                                                  Writing writing);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    const std::vector<uint8_t>& data() const { return bytes_; }
    int pageCount() const;
    // Boxes of page `index` (0-based) in PDF units, y up. The media box is the
    // crop box's rectangle when the file's media box cannot be read apart.
    std::optional<Rect> cropBox(int index) const;
    std::optional<Rect> mediaBox(int index) const;
    // Draws page `index` into the context's current user space with the page's
    // own coordinates: the point (x, y) of the page lands on user (x, y). The helper
    // draws the part the context's clip shows into pixels, which are painted with the
    // context's operation. False when it could not be drawn completely (poppler
    // reported an error while drawing, cairo failed, the helper met a limit or
    // crashed), when drawing it at the context's scale would be beyond the budgets, or
    // when the context does not draw into pixels (a PDF context takes the page whole,
    // through pageAsPdf); the reason goes to the thread's DrawingProblems. A document of
    // a drawing draws it into any context.
    bool drawPage(int index, GraphicsContext& context) const;
    bool isDrawing() const { return static_cast<bool>(drawing_); }
    // A one-page PDF of `pageSize` points on which page `index` is drawn through the
    // cairo matrix `matrix` (from the page's own coordinates, y up, to the new page's,
    // y down) clipped to the device rectangles `clip` (none: unclipped). None, with the
    // reason, as for drawPage.
    std::optional<std::vector<uint8_t>> pageAsPdf(int index, Size pageSize, const double matrix[6],
                                                  const std::vector<Rect>& clip, std::string* error = nullptr,
                                                  PictureProblem* problem = nullptr) const;

private:
    PdfDocument() = default;
    std::vector<uint8_t> bytes_;
    int pageCount_ = 0;

    // The costs of drawing page `index`, measured once; none with the reason.
    std::optional<PdfPageCosts> costsOf(int index, std::string* error, PictureProblem* problem) const;
    struct Measured {
        std::optional<PdfPageCosts> costs;
        PictureProblem problem = PictureProblem::none;
        std::string why;
    };

    Drawing drawing_;
    Writing writing_;
    std::unique_ptr<DocumentDrawing> renderer_;
    mutable std::mutex costsMutex_;
    mutable std::map<int, Measured> costs_;
    mutable std::mutex boxesMutex_;
    mutable std::map<int, std::optional<Rect>> cropBoxes_;
};

}  // namespace platform::graphics
