#include "platform/graphics/pdf_document.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"

#include "platform/graphics/document_drawing.hpp"
#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/renderer_budget.hpp"

namespace platform::graphics {

namespace {

struct ScanBudget {
    uint64_t inflated = 0;
    std::string objectStreams;  // inflated object streams, where dictionaries may hide
};

// Inflates the zlib stream at `data` into nothing but a count (and, for object
// streams, their text). False when the budget runs out.
bool inflateCounting(std::string_view data, bool keep, ScanBudget& budget) {
    // A damaged stream is poppler's to judge; only the size is ours.
    return inflateStream(data, [&](std::string_view chunk) {
        budget.inflated += chunk.size();
        if (keep && budget.objectStreams.size() < (16u << 20)) budget.objectStreams.append(chunk);
        return budget.inflated <= PdfDocument::kMaxInflatedBytes;
    });
}

// The number after `key` in `text` from `at` on ("/Width 300"); -1 when none.
int64_t numberAfter(std::string_view text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t')) ++at;
    int64_t value = -1;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = (value < 0 ? 0 : value) * 10 + (text[at] - '0');
        if (value > (int64_t{1} << 40)) break;
    }
    return value;
}

// Images whose stated width and height lie beyond the pixel limits: poppler would
// allocate them whole. Widths and heights are paired within one dictionary's reach.
bool imageSizesAcceptable(std::string_view text, std::string* why) {
    for (size_t at = text.find("/Width"); at != std::string_view::npos; at = text.find("/Width", at + 6)) {
        const int64_t width = numberAfter(text, at + 6);
        if (width < 0) continue;
        const size_t from = at > 512 ? at - 512 : 0;
        const std::string_view near = text.substr(from, 1024 + 6);
        int64_t height = -1;
        if (const size_t h = near.find("/Height"); h != std::string_view::npos) height = numberAfter(near, h + 7);
        if (width > kMaxImageSide || height > kMaxImageSide || (height > 0 && width * height > kMaxImagePixels)) {
            *why = fmt::format("the document holds an image of {} x {} pixels", width, height);
            return false;
        }
    }
    return true;
}

// Checks a document against our budgets before poppler parses it.
bool withinBudgets(const std::vector<uint8_t>& bytes, std::string* error, PictureProblem* problem) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ScanBudget budget;
    for (size_t at = text.find("stream"); at != std::string_view::npos; at = text.find("stream", at + 6)) {
        if (at >= 3 && text.substr(at - 3, 3) == "end") continue;
        size_t start = at + 6;
        if (start < text.size() && text[start] == '\r') ++start;
        if (start >= text.size() || text[start] != '\n') continue;
        ++start;
        const size_t dictStart = text.rfind("obj", at);
        const std::string_view dict =
            text.substr(dictStart == std::string_view::npos ? 0 : dictStart, at - (dictStart == std::string_view::npos ? 0 : dictStart));
        if (dict.find("/FlateDecode") == std::string_view::npos && dict.find("/Fl ") == std::string_view::npos &&
            dict.find("/Fl/") == std::string_view::npos && dict.find("/Fl]") == std::string_view::npos) {
            continue;
        }
        const bool objectStream = dict.find("/ObjStm") != std::string_view::npos;
        if (!inflateCounting(text.substr(start), objectStream, budget)) {
            return noteProblem(error, problem, PictureProblem::tooDemanding,
                               fmt::format("the document's compressed data inflates to more than {} MiB",
                                           PdfDocument::kMaxInflatedBytes >> 20));
        }
    }
    std::string why;
    if (!imageSizesAcceptable(text, &why) || !imageSizesAcceptable(budget.objectStreams, &why)) {
        return noteProblem(error, problem, PictureProblem::tooLarge, why);
    }
    return true;
}

// What a drawing of the page holds while it draws: its largest image, decoded whole,
// the group surfaces it holds at once, the surface a tile is repeated from, and its
// largest mesh.
double drawingBytes(const PdfPageCosts& costs, double pixels) {
    return double(costs.largestImage) * 4 + costs.groupDepth * pixels * 4 + costs.largestTile * pixels * 4 +
           costs.largestMesh;
}

// Whether a page of these costs may be drawn at `pixels` device pixels. Its operators,
// paints, image pixels, shading paints and functions, which do not grow with the size,
// the scan has kept within scanLimits() already. Into a PDF (`vector`) groups, masks and
// shadings stay what they are, and cost no pixels.
bool pageAffordable(const PdfPageCosts& costs, double pixels, std::string* error, PictureProblem* problem,
                    bool vector = false) {
    auto refuse = [&](std::string why) { return noteProblem(error, problem, PictureProblem::tooDemanding, why); };
    const double side = std::sqrt(pixels);
    if (!vector && costs.groups * pixels > PdfDocument::kMaxGroupWork) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels draws {} transparency groups "
                                  "and soft masks of that size (at most {} pixels in all)",
                                  side, side, costs.groups, PdfDocument::kMaxGroupWork));
    }
    if (!vector && costs.shadingCover * pixels > PdfDocument::kMaxShadingWork) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels fills its area {:.0f} times "
                                  "over with shadings, weighted by their kind (at most {} pixels in all)",
                                  side, side, costs.shadingCover, PdfDocument::kMaxShadingWork));
    }
    if (pixels > 0 && costs.finestTile * side < PdfDocument::kFinestTilePixels) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels tiles a pattern {:g} pixels "
                                  "wide, too fine to draw",
                                  side, side, costs.finestTile * side));
    }
    if (drawingBytes(costs, pixels) > double(DrawingBudget::kBytes)) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels holds {} transparency groups "
                                  "at once, images of {} pixels, a pattern tile of {:.0f} pixels and a mesh of {:.0f} "
                                  "MiB: more than {} MiB",
                                  side, side, costs.groupDepth, costs.largestImage, costs.largestTile * pixels,
                                  costs.largestMesh / (1 << 20), DrawingBudget::kBytes >> 20));
    }
    return true;
}

PdfScanLimits scanLimits() {
    PdfScanLimits limits;
    limits.decodedBytes = PdfDocument::kMaxInflatedBytes;
    limits.crossReferences = PdfDocument::kMaxCrossReferences;
    limits.operators = PdfDocument::kMaxOperators;
    limits.paints = PdfDocument::kMaxPaints;
    limits.imagePixels = PdfDocument::kMaxImagePixelsDrawn;
    limits.shadingPaints = PdfDocument::kMaxShadingPaints;
    limits.functionWork = PdfDocument::kMaxFunctionWork;
    limits.meshElements = PdfDocument::kMaxMeshElements;
    limits.functionSamples = PdfDocument::kMaxFunctionSamples;
    limits.tintWork = PdfDocument::kMaxTintWork;
    limits.tilesAcross = PdfDocument::kMaxTilesAcross;
    return limits;
}

}  // namespace

std::shared_ptr<PdfDocument> PdfDocument::fromData(std::vector<uint8_t> bytes, std::string* error,
                                                   PictureProblem* problem, bool measureOnLoad) {
    if (!withinBudgets(bytes, error, problem)) return nullptr;
    auto costs = scanPdfPage(bytes, 0, scanLimits(), error, problem);
    if (!costs || (measureOnLoad && !pageAffordable(*costs, kMeasuredSide * kMeasuredSide, error, problem))) {
        return nullptr;
    }
    std::shared_ptr<PdfDocument> document(new PdfDocument());
    document->bytes_ = std::move(bytes);
    document->renderer_ = std::make_unique<DocumentDrawing>(document->bytes_, render::Kind::pdf);
    double box[4] = {};
    RenderFailure failure;
    if (!document->renderer_->client().open(0, &document->pageCount_, box, &failure)) {
        noteProblem(error, problem, failure.problem, failure.why);
        return nullptr;
    }
    if (document->pageCount_ < 1) {
        noteProblem(error, problem, PictureProblem::damaged, "cannot open PDF document: the document has no pages");
        return nullptr;
    }
    document->cropBoxes_.emplace(0, Rect{box[0], box[1], box[2], box[3]});
    // The page is drawn at its own size in points as pixels (vector pictures report
    // points as pixels), so it is held to the same limits as a bitmap.
    const auto crop = document->cropBox(0);
    if (crop && !crop->isEmpty() && !dimensionsAcceptable(std::llround(std::ceil(crop->width())), std::llround(std::ceil(crop->height())))) {
        noteProblem(error, problem, PictureProblem::tooLarge,
                    fmt::format("the page of {} x {} points is too large (at most {} per side and {} in all)",
                                crop->width(), crop->height(), kMaxImageSide, kMaxImagePixels));
        return nullptr;
    }
    if (measureOnLoad && crop &&
        !pageAffordable(*costs, std::max(kMeasuredSide * kMeasuredSide, crop->width() * crop->height()), error,
                        problem)) {
        return nullptr;
    }
    document->costs_.emplace(0, Measured{costs});
    return document;
}

bool PdfDocument::drawnFromWhole(const PdfPageCosts& costs) {
    return costs.operators >= kWholeOperators || costs.paints >= kWholePaints || costs.imagePixels >= kWholeImagePixels ||
           costs.tintWork >= kWholeTintWork || costs.functionWork >= kWholeFunctionWork ||
           costs.meshElements >= kWholeMeshElements || costs.dashedSegments >= kWholeDashedSegments;
}

std::shared_ptr<PdfDocument> PdfDocument::ofDrawing(std::vector<uint8_t> bytes, Size pageSize, Drawing drawing,
                                                    Writing writing) {
    std::shared_ptr<PdfDocument> document(new PdfDocument());
    document->bytes_ = std::move(bytes);
    document->pageCount_ = 1;
    document->cropBoxes_.emplace(0, Rect{0, 0, pageSize.width, pageSize.height});
    document->drawing_ = std::move(drawing);
    document->writing_ = std::move(writing);
    return document;
}

PdfDocument::~PdfDocument() = default;

int PdfDocument::pageCount() const { return pageCount_; }

std::optional<Rect> PdfDocument::cropBox(int index) const {
    if (index < 0 || index >= pageCount_) return std::nullopt;
    std::lock_guard lock(boxesMutex_);
    if (const auto known = cropBoxes_.find(index); known != cropBoxes_.end()) return known->second;
    double box[4] = {};
    RenderFailure failure;
    std::optional<Rect> crop;
    if (renderer_->client().open(index, nullptr, box, &failure)) crop = Rect{box[0], box[1], box[2], box[3]};
    cropBoxes_.emplace(index, crop);
    return crop;
}

std::optional<Rect> PdfDocument::mediaBox(int index) const { return cropBox(index); }

std::optional<PdfPageCosts> PdfDocument::costsOf(int index, std::string* error, PictureProblem* problem) const {
    std::lock_guard lock(costsMutex_);
    auto known = costs_.find(index);
    if (known == costs_.end()) {
        Measured measured;
        measured.costs = scanPdfPage(bytes_, index, scanLimits(), &measured.why, &measured.problem);
        known = costs_.emplace(index, std::move(measured)).first;
    }
    if (!known->second.costs) noteProblem(error, problem, known->second.problem, known->second.why);
    return known->second.costs;
}

bool PdfDocument::drawPage(int index, GraphicsContext& context) const {
    const auto crop = cropBox(index);
    if (!crop || crop->isEmpty()) return false;
    if (drawing_) {
        std::string why;
        if (drawing_(context, &why)) return true;
        context.markIncomplete();
        DrawingProblems::report(PictureProblem::incompleteRender, why);
        return false;
    }
    std::string why;
    PictureProblem problem = PictureProblem::none;
    const auto costs = costsOf(index, &why, &problem);
    // Left undrawn, a page would be taken for an empty one: the context is put in an
    // error state, and the reason told.
    auto fail = [&](PictureProblem kind, std::string text) {
        context.markIncomplete();
        DrawingProblems::report(kind, std::move(text));
        return false;
    };
    if (!costs) return fail(problem, why);
    bool complete = true;
    context.drawWithEffects(
        [&](cairo_t* cr) {
            // Poppler draws y down from the crop box's top-left corner.
            cairo_save(cr);
            cairo_translate(cr, crop->origin.x, crop->origin.y + crop->size.height);
            cairo_scale(cr, 1, -1);
            DocumentDrawing::Page page;
            page.index = index;
            page.box = crop->size;
            cairo_get_matrix(cr, &page.toDevice);
            cairo_restore(cr);
            // Decided from the page's scan, the same on every run.
            page.fromWhole = drawnFromWhole(*costs);
            // Measured on the pixels each drawing covers, before the helper starts.
            page.holds = [&](double pixels, RenderFailure* failure) -> std::optional<double> {
                if (!pageAffordable(*costs, pixels, &failure->why, &failure->problem)) return std::nullopt;
                return drawingBytes(*costs, pixels);
            };
            if (cr == context.cairo()) page.clipPath = &context.deviceClipPath();
            RenderFailure failure;
            if (!renderer_->draw(cr, page, &failure)) complete = fail(failure.problem, failure.why);
        },
        context.compositingOperation());
    return complete;
}

std::optional<std::vector<uint8_t>> PdfDocument::pageAsPdf(int index, Size pageSize, const double matrix[6],
                                                           const std::vector<Rect>& clip, std::string* error,
                                                           PictureProblem* problem) const {
    const auto crop = cropBox(index);
    if (!crop || crop->isEmpty()) {
        noteProblem(error, problem, PictureProblem::damaged, fmt::format("the PDF has no page {} to draw", index + 1));
        return std::nullopt;
    }
    if (writing_) return writing_(pageSize, matrix, clip, error, problem);
    const auto costs = costsOf(index, error, problem);
    if (!costs) return std::nullopt;
    cairo_matrix_t m;
    cairo_matrix_init(&m, matrix[0], matrix[1], matrix[2], matrix[3], matrix[4], matrix[5]);
    // The page's area where it is drawn, in points of the new page: the matrix takes the
    // page's own coordinates, in which the crop box need not start at the origin.
    double xs[4] = {crop->minX(), crop->maxX(), crop->minX(), crop->maxX()};
    double ys[4] = {crop->minY(), crop->minY(), crop->maxY(), crop->maxY()};
    for (int i = 0; i < 4; ++i) cairo_matrix_transform_point(&m, &xs[i], &ys[i]);
    const double width = std::min(pageSize.width, std::max({xs[0], xs[1], xs[2], xs[3]})) -
                         std::max(0.0, std::min({xs[0], xs[1], xs[2], xs[3]}));
    const double height = std::min(pageSize.height, std::max({ys[0], ys[1], ys[2], ys[3]})) -
                          std::max(0.0, std::min({ys[0], ys[1], ys[2], ys[3]}));
    const double pixels = std::max(0.0, width) * std::max(0.0, height);
    if (!pageAffordable(*costs, pixels, error, problem, true)) return std::nullopt;
    // Past what the helper's address space holds beside its own libraries, a drawing is
    // refused before it is asked for.
    if (RenderFailure failure; !DocumentDrawing::fitsTheRenderer(render::Kind::pdf, drawingBytes(*costs, pixels),
                                                                 pixels, &failure)) {
        noteProblem(error, problem, failure.problem, failure.why);
        return std::nullopt;
    }
    // Poppler draws y down from the crop box's top-left corner.
    cairo_matrix_t flip;
    cairo_matrix_init(&flip, 1, 0, 0, -1, crop->origin.x, crop->origin.y + crop->size.height);
    cairo_matrix_multiply(&m, &flip, &m);
    render::Request request;
    request.op = render::Op::pdf;
    request.page = index;
    request.pageWidth = pageSize.width;
    request.pageHeight = pageSize.height;
    request.addressSpace = RendererBudget::limitFor(drawingBytes(*costs, pixels));
    DocumentDrawing::setMatrix(request, m);
    if (!clip.empty()) DocumentDrawing::setClip(request, clip);
    RenderFailure failure;
    std::optional<std::vector<uint8_t>> bytes;
    {
        const auto claim = DrawingBudget::claim(uint64_t(std::min(1e18, drawingBytes(*costs, pixels))));
        bytes = renderer_->client().pdf(request, &failure);
    }
    if (!bytes) noteProblem(error, problem, failure.problem, failure.why);
    return bytes;
}

}  // namespace platform::graphics
