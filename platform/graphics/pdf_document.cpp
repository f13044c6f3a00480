#include "platform/graphics/pdf_document.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"

#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/vector_libraries.hpp"

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

// Documents exist only once the library has been opened.
const detail::PopplerFunctions& poppler() { return *detail::popplerFunctions(); }

// What a drawing of the page holds while it draws: its largest image, decoded whole,
// the group surfaces it holds at once, the surface a tile is repeated from, and its
// largest mesh.
double drawingBytes(const PdfPageCosts& costs, double pixels) {
    return double(costs.largestImage) * 4 + costs.groupDepth * pixels * 4 + costs.largestTile * pixels * 4 +
           costs.largestMesh;
}

// Whether a page of these costs may be drawn at `pixels` device pixels. Its operators,
// paints, image pixels, shading paints and functions, which do not grow with the size,
// the scan has kept within scanLimits() already.
bool pageAffordable(const PdfPageCosts& costs, double pixels, std::string* error, PictureProblem* problem) {
    auto refuse = [&](std::string why) { return noteProblem(error, problem, PictureProblem::tooDemanding, why); };
    const double side = std::sqrt(pixels);
    if (costs.groups * pixels > PdfDocument::kMaxGroupWork) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels draws {} transparency groups "
                                  "and soft masks of that size (at most {} pixels in all)",
                                  side, side, costs.groups, PdfDocument::kMaxGroupWork));
    }
    if (costs.shadingCover * pixels > PdfDocument::kMaxShadingWork) {
        return refuse(fmt::format("drawing the PDF page at some {:.0f} x {:.0f} pixels fills its area {:.0f} times "
                                  "over with shadings, weighted by their kind (at most {} pixels in all)",
                                  side, side, costs.shadingCover, PdfDocument::kMaxShadingWork));
    }
    if (costs.finestTile * side < PdfDocument::kFinestTilePixels) {
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
    limits.operators = PdfDocument::kMaxOperators;
    limits.paints = PdfDocument::kMaxPaints;
    limits.imagePixels = PdfDocument::kMaxImagePixelsDrawn;
    limits.shadingPaints = PdfDocument::kMaxShadingPaints;
    limits.functionWork = PdfDocument::kMaxFunctionWork;
    limits.meshElements = PdfDocument::kMaxMeshElements;
    limits.functionSamples = PdfDocument::kMaxFunctionSamples;
    limits.tilesAcross = PdfDocument::kMaxTilesAcross;
    return limits;
}

// Poppler tells of what goes wrong while it draws only through GLib's log, in its own
// domain at the info level (which GLib does not show by default). A drawing listens on
// its own thread, where poppler draws; reports outside a drawing go on as before.
thread_local std::string* tPopplerReport = nullptr;

void onPopplerLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    const std::string_view text = message != nullptr ? message : "";
    // Warnings are of things poppler takes in its stride.
    if (tPopplerReport != nullptr && !text.starts_with("Syntax warning")) {
        if (tPopplerReport->empty()) *tPopplerReport = text.empty() ? "an error without a message" : text;
        return;
    }
    g_log_default_handler(domain, level, message, nullptr);
}

void listenToPoppler() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_handler("Poppler", GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                          onPopplerLog, nullptr);
    });
}

}  // namespace

std::shared_ptr<PdfDocument> PdfDocument::fromData(std::vector<uint8_t> bytes, std::string* error,
                                                   PictureProblem* problem) {
    if (!withinBudgets(bytes, error, problem)) return nullptr;
    auto costs = scanPdfPage(bytes, 0, scanLimits(), error, problem);
    if (!costs || !pageAffordable(*costs, kMeasuredSide * kMeasuredSide, error, problem)) return nullptr;
    std::string missing;
    const auto* poppler = detail::popplerFunctions(&missing);
    if (poppler == nullptr) {
        noteProblem(error, problem, PictureProblem::unreadable, "PDF documents cannot be read here: " + missing);
        return nullptr;
    }
    listenToPoppler();
    std::shared_ptr<PdfDocument> document(new PdfDocument());
    document->bytes_ = std::move(bytes);
    // Poppler reads straight from our buffer, which lives as long as the document.
    GBytes* gbytes = g_bytes_new_static(document->bytes_.data(), document->bytes_.size());
    GError* gerror = nullptr;
    document->document_ = poppler->documentNewFromBytes(gbytes, nullptr, &gerror);
    g_bytes_unref(gbytes);
    if (document->document_ == nullptr || poppler->documentGetNPages(document->document_) < 1) {
        if (error != nullptr) {
            *error = fmt::format("cannot open PDF document: {}",
                                 gerror != nullptr ? gerror->message : "the document has no pages");
        }
        if (gerror != nullptr) g_error_free(gerror);
        if (problem != nullptr) *problem = PictureProblem::damaged;
        return nullptr;
    }
    // The page is drawn at its own size in points as pixels (vector pictures report
    // points as pixels), so it is held to the same limits as a bitmap.
    const auto crop = document->cropBox(0);
    if (crop && !crop->isEmpty() && !dimensionsAcceptable(std::llround(std::ceil(crop->width())), std::llround(std::ceil(crop->height())))) {
        noteProblem(error, problem, PictureProblem::tooLarge,
                    fmt::format("the page of {} x {} points is too large (at most {} per side and {} in all)",
                                crop->width(), crop->height(), kMaxImageSide, kMaxImagePixels));
        return nullptr;
    }
    if (crop && !pageAffordable(*costs, std::max(kMeasuredSide * kMeasuredSide, crop->width() * crop->height()), error,
                                problem)) {
        return nullptr;
    }
    document->costs_.emplace(0, Measured{costs});
    return document;
}

PdfDocument::~PdfDocument() {
    for (auto* renderer : renderers_) g_object_unref(renderer);
    if (document_ != nullptr) g_object_unref(document_);
}

PopplerDocument* PdfDocument::takeRenderer() const {
    {
        std::lock_guard lock(renderersMutex_);
        if (!renderers_.empty()) {
            auto* renderer = renderers_.back();
            renderers_.pop_back();
            return renderer;
        }
    }
    // Opening is cheap next to drawing: poppler reads objects as pages need them.
    GBytes* gbytes = g_bytes_new_static(bytes_.data(), bytes_.size());
    PopplerDocument* renderer = poppler().documentNewFromBytes(gbytes, nullptr, nullptr);
    g_bytes_unref(gbytes);
    return renderer;
}

void PdfDocument::giveBack(PopplerDocument* renderer) const {
    if (renderer == nullptr) return;
    std::lock_guard lock(renderersMutex_);
    renderers_.push_back(renderer);
}

int PdfDocument::pageCount() const {
    std::lock_guard lock(mutex_);
    return poppler().documentGetNPages(document_);
}

std::optional<Rect> PdfDocument::cropBox(int index) const {
    std::lock_guard lock(mutex_);
    PopplerPage* page = poppler().documentGetPage(document_, index);
    if (page == nullptr) return std::nullopt;
    PopplerRectangle box;
    poppler().pageGetCropBox(page, &box);
    g_object_unref(page);
    return Rect{std::min(box.x1, box.x2), std::min(box.y1, box.y2), std::fabs(box.x2 - box.x1),
                std::fabs(box.y2 - box.y1)};
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
            // Measured on the pixels this drawing covers, before poppler starts.
            cairo_save(cr);
            cairo_translate(cr, crop->origin.x, crop->origin.y);
            const double pixels = devicePixels(cr, 0, 0, crop->width(), crop->height());
            cairo_restore(cr);
            if (!pageAffordable(*costs, pixels, &why, &problem)) {
                complete = fail(problem, why);
                return;
            }
            PopplerDocument* renderer = takeRenderer();
            // Without a document of its own the drawing shares the first, in turn.
            std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
            if (renderer == nullptr) lock.lock();
            PopplerPage* page = poppler().documentGetPage(renderer != nullptr ? renderer : document_, index);
            if (page == nullptr) {
                giveBack(renderer);
                complete = fail(PictureProblem::damaged, fmt::format("poppler cannot open page {}", index + 1));
                return;
            }
            cairo_save(cr);
            // Poppler draws y down from the crop box's top-left corner.
            cairo_translate(cr, crop->origin.x, crop->origin.y + crop->size.height);
            cairo_scale(cr, 1, -1);
            // The printing path draws strokes at their true width: the display path
            // widens any line thinner than a device pixel to a whole pixel, which turns
            // the fine lines of a picture drawn small into heavy ones.
            std::string report;
            {
                const auto claim = DrawingBudget::claim(uint64_t(std::min(1e18, drawingBytes(*costs, pixels))));
                listenToPoppler();
                tPopplerReport = &report;
                poppler().pageRenderForPrinting(page, cr);
                tPopplerReport = nullptr;
            }
            // Poppler says nothing when it cannot make a surface for an image; the
            // context's error state does.
            const cairo_status_t status = cairo_status(cr);
            cairo_restore(cr);
            g_object_unref(page);
            giveBack(renderer);
            if (status != CAIRO_STATUS_SUCCESS) {
                complete = fail(PictureProblem::incompleteRender,
                                fmt::format("cairo could not draw the PDF page: {}", cairo_status_to_string(status)));
            } else if (!report.empty()) {
                complete = fail(PictureProblem::incompleteRender, "poppler could not draw the PDF page: " + report);
            }
        },
        context.compositingOperation());
    return complete;
}

}  // namespace platform::graphics
