#include "platform/graphics/svg_document.hpp"

#include "platform/graphics/file_bytes.hpp"
#include "platform/graphics/svg_scan.hpp"

#include <cairo.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "platform/graphics/decoded_bitmap.hpp"
#include "platform/graphics/document_drawing.hpp"
#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/renderer_budget.hpp"
#include "platform/graphics/vector_libraries.hpp"

namespace platform::graphics {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Inflates a gzip-compressed document ourselves, so that a small file cannot make
// the parser chew through gigabytes. None when it inflates past `limit` or is damaged.
std::optional<std::vector<uint8_t>> gunzipBounded(std::span<const uint8_t> bytes, size_t limit, bool* tooLarge) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::nullopt;
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::vector<uint8_t> out;
    std::array<uint8_t, 64 * 1024> chunk;
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = chunk.size();
        status = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = chunk.size() - stream.avail_out;
        if (out.size() + produced > limit) {
            *tooLarge = true;
            status = Z_MEM_ERROR;
            break;
        }
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<long>(produced));
        if (status == Z_OK && produced == 0 && stream.avail_in == 0) status = Z_BUF_ERROR;
    }
    inflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    return out;
}

// A plain length of the root element: a number of pixels, with "px" or no unit.
std::optional<double> plainLength(std::string_view value) {
    value = trimXmlSpace(value);
    if (value.ends_with("px")) value.remove_suffix(2);
    bool digits = false, point = false;
    for (const char c : value) {
        if (c >= '0' && c <= '9') digits = true;
        else if (c == '.' && !point) point = true;
        else return std::nullopt;
    }
    if (!digits) return std::nullopt;
    const double length = std::strtod(std::string(value).c_str(), nullptr);
    return std::isfinite(length) && length > 0 ? std::optional<double>(length) : std::nullopt;
}

// The size in pixels and viewBox the renderer gives a document whose root element states
// them plainly (a width and height in pixels, and at most a viewBox of four numbers), read
// without it; none for anything else (other units, percentages, entities, style sheets),
// which the renderer is asked.
bool plainSize(std::string_view text, double size[2], double viewBox[4]) {
    size_t at = 0;
    while (true) {
        at = text.find('<', at);
        if (at == std::string_view::npos || at + 1 >= text.size()) return false;
        if (text.substr(at, 4) == "<!--") {
            at = text.find("-->", at);
            if (at == std::string_view::npos) return false;
            continue;
        }
        if (text[at + 1] == '?') {
            ++at;
            continue;
        }
        break;
    }
    if (text.substr(at, 4) != "<svg" || at + 4 >= text.size() ||
        !isXmlSpace(text[at + 4])) {
        return false;
    }
    if (text.find("<style") != std::string_view::npos) return false;
    const size_t end = text.find('>', at);
    if (end == std::string_view::npos) return false;
    const std::string_view tag = text.substr(at + 4, end - at - 4);
    std::optional<double> width, height;
    bool box = false;
    for (size_t i = 0; i < tag.size();) {
        const size_t equals = tag.find('=', i);
        if (equals == std::string_view::npos) break;
        const std::string_view name = trimXmlSpace(tag.substr(i, equals - i));
        size_t quote = equals + 1;
        while (quote < tag.size() && isXmlSpace(tag[quote])) ++quote;
        if (quote >= tag.size() || (tag[quote] != '"' && tag[quote] != '\'')) return false;
        const size_t close = tag.find(tag[quote], quote + 1);
        if (close == std::string_view::npos) return false;
        const std::string_view value = tag.substr(quote + 1, close - quote - 1);
        i = close + 1;
        if (value.find('&') != std::string_view::npos && (name == "width" || name == "height" || name == "viewBox")) {
            return false;
        }
        if (name == "style") return false;
        if (name == "width" && !(width = plainLength(value))) return false;
        if (name == "height" && !(height = plainLength(value))) return false;
        if (name == "viewBox") {
            std::string numbers(value);
            std::replace(numbers.begin(), numbers.end(), ',', ' ');
            std::istringstream in(numbers);
            double v[4];
            std::string rest;
            if (!(in >> v[0] >> v[1] >> v[2] >> v[3]) || (in >> rest) || !(v[2] > 0) || !(v[3] > 0)) return false;
            std::copy(v, v + 4, viewBox);
            box = true;
        }
    }
    if (!width || !height) return false;
    size[0] = *width;
    size[1] = *height;
    if (!box) std::fill(viewBox, viewBox + 4, 0.0);
    return true;
}

// What the markup asks of the renderer, checked before it parses the document (its
// parse alone keeps every element and expands every entity).
bool markupAffordable(const SvgCosts& costs, std::string* error, PictureProblem* problem) {
    auto refuse = [&](std::string why) { return noteProblem(error, problem, PictureProblem::tooDemanding, why); };
    if (costs.drawnElements > SvgDocument::kMaxDrawnElements) {
        return refuse(fmt::format("the SVG document draws {} elements, counting every use (at most {})",
                                  costs.drawnElements, SvgDocument::kMaxDrawnElements));
    }
    if (costs.longestText > SvgDocument::kMaxTextRun || costs.textCharacters > SvgDocument::kMaxTextCharacters) {
        return refuse(fmt::format("the SVG document lays out {} characters of text, {} in one text element (at most "
                                  "{} and {})",
                                  costs.textCharacters, costs.longestText, SvgDocument::kMaxTextCharacters,
                                  SvgDocument::kMaxTextRun));
    }
    if (costs.embeddedPixelsDrawn > SvgDocument::kMaxEmbeddedPixelsDrawn) {
        return refuse(fmt::format("the SVG document draws {} pixels of embedded pictures, counting every use (at "
                                  "most {})",
                                  costs.embeddedPixelsDrawn, SvgDocument::kMaxEmbeddedPixelsDrawn));
    }
    return true;
}


// The renderer's text layout aborts the process (an assertion in its own code, which
// nothing can catch) on font sizes past what its fixed-point units hold. Font sizes
// beyond anything a picture can show are refused before drawing. Relative sizes
// compound down nested elements; no chain can compound more than all of them
// together, so the largest absolute size times every relative growth in the
// document must stay within the largest picture side.
bool fontSizesDrawable(std::string_view text, std::string* why) {
    double largest = 16;  // the renderer's default, before any stated size
    double growth = 1;
    auto refuse = [&](const std::string& what) {
        *why = "the SVG document asks for a font size of " + what;
        return false;
    };
    for (const std::string_view key : {std::string_view("font-size"), std::string_view("font")}) {
        for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + key.size())) {
            size_t i = at + key.size();
            if (key == "font" && i < text.size() && text[i] == '-') continue;  // font-family, font-size ...
            // Only an attribute (font-size="...") or a style property (font-size: ...).
            while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\t')) ++i;
            if (i >= text.size() || (text[i] != '=' && text[i] != ':')) continue;
            ++i;
            while (i < text.size() && (text[i] == ' ' || text[i] == '"' || text[i] == '\'' || text[i] == '\n' ||
                                       text[i] == '\t')) {
                ++i;
            }
            // The shorthand names the size among other words; look at each number in it.
            const size_t end = std::min(text.size(), text.find_first_of(";\"'<>{},/\n", i));
            if (text.substr(i, end - i).find("larger") != std::string_view::npos) growth *= 1.2;
            while (i < end) {
                const char c = text[i];
                if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+')) {
                    ++i;
                    continue;
                }
                const std::string number(text.substr(i, std::min<size_t>(end - i, 64)));
                char* stop = nullptr;
                const double value = std::fabs(std::strtod(number.c_str(), &stop));
                const size_t used = std::max<size_t>(1, static_cast<size_t>(stop - number.c_str()));
                const std::string_view unit = text.substr(i + used, std::min<size_t>(2, end - std::min(end, i + used)));
                const std::string stated = number.substr(0, used) + std::string(unit);
                if (!std::isfinite(value)) return refuse(stated);
                if (unit.starts_with("%") || unit == "em" || unit == "ex") {
                    const double factor = unit.starts_with("%") ? value / 100 : unit == "ex" ? value / 2 : value;
                    growth *= std::max(1.0, factor);
                } else {
                    // Physical units at 72 dots per inch, as the document is read.
                    const double scale = unit == "in" ? 72 : unit == "cm" ? 72 / 2.54 : unit == "mm" ? 72 / 25.4
                                         : unit == "pc" ? 12 : 1;
                    largest = std::max(largest, value * scale);
                }
                if (largest * growth > double(kMaxImageSide)) return refuse(stated);
                i += used;
            }
        }
    }
    return true;
}

// Documents exist only once the library has been opened.
const detail::RsvgFunctions& rsvgLibrary() { return *detail::rsvgFunctions(); }

}  // namespace

std::shared_ptr<SvgDocument> SvgDocument::fromFileUrl(const std::string& url, std::string* error) {
    constexpr std::string_view scheme = "file://";
    if (url.rfind(scheme, 0) != 0) return fromFile(url, error);
    std::string rest = url.substr(scheme.size());
    // "file://localhost/path" and "file:///path" both name a local path.
    if (rest.rfind("localhost/", 0) == 0) rest = rest.substr(9);
    if (rest.empty() || rest[0] != '/') {
        if (error != nullptr) *error = fmt::format("not a local file URL: {}", url);
        return nullptr;
    }
    std::string path;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
            path += static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            i += 2;
        } else {
            path += rest[i];
        }
    }
    return fromFile(path, error);
}

std::shared_ptr<SvgDocument> SvgDocument::fromFile(const std::filesystem::path& path, std::string* error,
                                                   PictureProblem* problem) {
    const auto bytes = readFileBytes(path, kMaxFileBytes, error, problem);
    if (!bytes) return nullptr;
    return fromData(*bytes, error, problem);
}

std::shared_ptr<SvgDocument> SvgDocument::fromData(std::span<const uint8_t> bytes, std::string* error,
                                                   PictureProblem* problem) {
    return read(bytes, false, error, problem);
}

std::shared_ptr<SvgDocument> SvgDocument::ofResource(const std::filesystem::path& path) {
    const auto bytes = readFileBytes(path, kMaxFileBytes, nullptr, nullptr);
    return bytes ? read(*bytes, true, nullptr, nullptr) : nullptr;
}

std::shared_ptr<SvgDocument> SvgDocument::read(std::span<const uint8_t> bytes, bool inProgram, std::string* error,
                                               PictureProblem* problem) {
    if (bytes.empty()) return noteProblem(error, problem, PictureProblem::notAPicture, "not an SVG document"), nullptr;
    if (bytes.size() > kMaxFileBytes) {
        noteProblem(error, problem, PictureProblem::fileTooLarge,
                    fmt::format("it holds {} bytes, more than the limit of {} MiB for an SVG document", bytes.size(),
                                kMaxFileBytes >> 20));
        return nullptr;
    }
    std::optional<std::vector<uint8_t>> inflated;
    if (bytes.size() >= 2 && bytes[0] == 0x1F && bytes[1] == 0x8B) {
        bool tooLarge = false;
        inflated = gunzipBounded(bytes, kMaxFileBytes, &tooLarge);
        if (!inflated) {
            noteProblem(error, problem, tooLarge ? PictureProblem::tooDemanding : PictureProblem::damaged,
                        tooLarge ? fmt::format("the compressed SVG document inflates to more than {} MiB",
                                               kMaxFileBytes >> 20)
                                 : "the compressed SVG document is damaged or truncated");
            return nullptr;
        }
        bytes = *inflated;
    }
    {
        std::string why;
        if (!fontSizesDrawable(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &why)) {
            noteProblem(error, problem, PictureProblem::tooDemanding, why);
            return nullptr;
        }
    }
    const auto costs = scanSvg(bytes, SvgScanLimits{kMaxFileBytes, kMaxElements, kMaxEmbeddedPixels}, error, problem);
    if (!costs || !markupAffordable(*costs, error, problem)) return nullptr;
    std::shared_ptr<SvgDocument> document(new SvgDocument());
    document->bytes_.assign(bytes.begin(), bytes.end());
    document->costs_ = *costs;
    // Decided here, from the markup, once: the same document is drawn the same way on
    // every run, however long its drawings take.
    document->fromWhole_ = costs->drawnElements >= kWholeDrawnElements || costs->drawnVertices >= kWholeDrawnVertices ||
                           costs->dashedVertices >= kWholeDashedVertices ||
                           costs->embeddedPixelsDrawn >= kWholeEmbeddedPixelsDrawn;
    // The stated size in pixels (at 72 dots per inch a CSS pixel is one point and
    // physical units keep their true size on a PDF page), and the viewBox.
    double width = 0, height = 0, viewBox[4] = {};
    // Text is what makes a drawing need the fonts' configuration.
    const bool laysOutText = costs->textCharacters > 0;
    if (inProgram) {
        std::string missing;
        const auto* rsvg = detail::rsvgFunctions(&missing);
        if (rsvg == nullptr) {
            noteProblem(error, problem, PictureProblem::unreadable, "SVG documents cannot be read here: " + missing);
            return nullptr;
        }
        GInputStream* stream = g_memory_input_stream_new_from_data(document->bytes_.data(),
                                                                    static_cast<gssize>(document->bytes_.size()), nullptr);
        GError* gerror = nullptr;
        // No base file: relative and file references cannot be resolved, so a
        // document cannot make us read other files.
        RsvgHandle* handle = rsvg->handleNewFromStreamSync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &gerror);
        g_object_unref(stream);
        if (handle == nullptr) {
            noteProblem(error, problem, PictureProblem::notAPicture,
                        fmt::format("not an SVG document: {}", gerror != nullptr ? gerror->message : "unknown error"));
            if (gerror != nullptr) g_error_free(gerror);
            return nullptr;
        }
        document->handle_ = handle;
        rsvg->handleSetDpi(handle, 72.0);
        if (!rsvg->handleGetIntrinsicSizeInPixels(handle, &width, &height)) width = height = 0;
        gboolean hasWidth = FALSE, hasHeight = FALSE, hasViewBox = FALSE;
        RsvgLength lengthW{}, lengthH{};
        RsvgRectangle box{};
        rsvg->handleGetIntrinsicDimensions(handle, &hasWidth, &lengthW, &hasHeight, &lengthH, &hasViewBox, &box);
        if (hasViewBox) {
            viewBox[2] = box.width;
            viewBox[3] = box.height;
        }
    } else if (double plain[2];
               plainSize(std::string_view(reinterpret_cast<const char*>(document->bytes_.data()), document->bytes_.size()),
                         plain, viewBox)) {
        // What the renderer would say, known without asking it (a process less a picture).
        document->helpers_ = std::make_unique<DocumentDrawing>(document->bytes_, render::Kind::svg, laysOutText);
        width = plain[0];
        height = plain[1];
    } else {
        document->helpers_ = std::make_unique<DocumentDrawing>(document->bytes_, render::Kind::svg, laysOutText);
        double crop[4] = {};
        RenderFailure failure;
        if (!document->helpers_->client().open(0, nullptr, crop, &failure, viewBox,
                                               RendererBudget::limitFor(document->documentBytes(), render::Kind::svg))) {
            // What the helper could not open is not an SVG document librsvg takes.
            noteProblem(error, problem,
                        failure.problem == PictureProblem::damaged ? PictureProblem::notAPicture : failure.problem,
                        failure.why);
            return nullptr;
        }
        width = crop[2];
        height = crop[3];
    }
    auto usable = [](double w, double h) { return std::isfinite(w) && std::isfinite(h) && w > 0 && h > 0; };
    const bool viewBoxUsable = usable(viewBox[2], viewBox[3]);
    if (usable(width, height)) {
        document->hasSize_ = true;
        document->size_ = Size{width, height};
    } else if (viewBoxUsable) {
        // Without an absolute width and height, the viewBox gives the drawing's
        // proportions and size (as exported drawings commonly have it).
        document->hasSize_ = true;
        document->size_ = Size{viewBox[2], viewBox[3]};
    }
    // Effects' work in user units turns into pixels by the viewBox's scale.
    const Size drawn = document->drawingSize();
    document->userArea_ = viewBoxUsable ? viewBox[2] * viewBox[3] : drawn.width * drawn.height;
    // Cairo's coordinates end at 2^23, and drawing at the size in points must stay
    // within the pixel limits: refused before anything is drawn.
    if (document->hasSize_) {
        const double w = std::ceil(document->size_.width), h = std::ceil(document->size_.height);
        if (w > kMaxImageSide || h > kMaxImageSide || w * h > double(kMaxImagePixels)) {
            noteProblem(error, problem, PictureProblem::tooLarge,
                        fmt::format("the SVG document's size of {} x {} is too large (at most {} per side and {} in all)",
                                    document->size_.width, document->size_.height, kMaxImageSide, kMaxImagePixels));
            return nullptr;
        }
    }
    // Effects are drawn through pixel surfaces of the whole drawing, several held at
    // once: their memory and work are bounded before anything is drawn, at the
    // document's own size or the largest icon, whichever is larger.
    const double area = std::max(std::ceil(drawn.width) * std::ceil(drawn.height), kPrerenderSide * kPrerenderSide);
    if (std::string why; !document->effectsAffordable(area, &why)) {
        noteProblem(error, problem, PictureProblem::tooDemanding, why);
        return nullptr;
    }
    return document;
}

namespace {

std::atomic<int> gDrawnAhead{0};

bool takeDrawnAheadPlace(int limit) {
    int held = gDrawnAhead.load();
    while (held < limit) {
        if (gDrawnAhead.compare_exchange_weak(held, held + 1)) return true;
    }
    return false;
}

}  // namespace

int SvgDocument::drawnAheadCount() { return gDrawnAhead.load(); }

bool SvgDocument::effectsAffordable(double pixels, std::string* why) const {
    const double passes =
        costs_.effectPasses + costs_.morphologyPasses * (userArea_ > 0 ? std::max(1.0, pixels / userArea_) : 1.0);
    if (passes <= 0 && costs_.effectDepth <= 0) return true;
    const double side = std::sqrt(pixels);
    if (pixels > double(kMaxEffectPixels) || passes * pixels > double(kMaxEffectWork)) {
        *why = fmt::format("the SVG document makes {} passes over effect surfaces (filters, masks, patterns, "
                           "opacity) of some {:.0f} x {:.0f} pixels: more than the budget of {} pixels ({} "
                           "pixel-passes)",
                           passes, side, side, kMaxEffectPixels, kMaxEffectWork);
        return false;
    }
    if (double(effectBytes(pixels)) > double(DrawingBudget::kBytes)) {
        *why = fmt::format("the SVG document holds {} effect surfaces (filters, masks, patterns, opacity) of some "
                           "{:.0f} x {:.0f} pixels at once: more than {} MiB",
                           costs_.effectDepth, side, side, DrawingBudget::kBytes >> 20);
        return false;
    }
    return true;
}

uint64_t SvgDocument::effectBytes(double pixels) const {
    return uint64_t(std::min(1e18, costs_.effectDepth * pixels * 4));
}

double SvgDocument::documentBytes() const {
    return double(costs_.elements) * 3072 + double(costs_.embeddedPixels) * 4 + double(bytes_.size());
}

SvgDocument::~SvgDocument() {
    // The drawing ahead uses this document's helpers.
    if (prerendered_.valid()) prerendered_.wait();
    if (holdsDrawnAheadPlace_) gDrawnAhead.fetch_sub(1);
    if (handle_ != nullptr) g_object_unref(handle_);
}

void SvgDocument::prerender() const {
    const Size size = drawingSize();
    if (!helpers_ || fromWhole_ || size.width != std::floor(size.width) || size.height != std::floor(size.height) ||
        std::max(size.width, size.height) < kPrerenderSmallestSide || size.width > kPrerenderSide ||
        size.height > kPrerenderSide) {
        return;
    }
    std::lock_guard lock(prerenderMutex_);
    if (prerendered_.valid() || holdsDrawnAheadPlace_) return;
    if (!takeDrawnAheadPlace(kMaxDrawnAhead)) return;
    holdsDrawnAheadPlace_ = true;
    // A drawing ahead that cannot start or fails (out of threads or memory) is just
    // drawn again when wanted.
    try {
        prerendered_ = std::async(std::launch::async, [this]() -> std::shared_ptr<const RenderedPixels> {
                           try {
                               return drawWhole();
                           } catch (...) {
                               return nullptr;
                           }
                       }).share();
    } catch (const std::system_error&) {
        holdsDrawnAheadPlace_ = false;
        gDrawnAhead.fetch_sub(1);
    }
}

std::shared_ptr<const RenderedPixels> SvgDocument::prerendered() const {
    std::shared_future<std::shared_ptr<const RenderedPixels>> future;
    {
        std::lock_guard lock(prerenderMutex_);
        future = prerendered_;
    }
    return future.valid() ? future.get() : nullptr;
}

DocumentDrawing::Page SvgDocument::pageAt(const cairo_matrix_t& toDevice) const {
    DocumentDrawing::Page page;
    page.box = drawingSize();
    page.toDevice = toDevice;
    page.fromWhole = fromWhole_;
    page.holds = [this](double pixels, RenderFailure* failure) -> std::optional<double> {
        if (!effectsAffordable(pixels, &failure->why)) {
            failure->problem = PictureProblem::tooDemanding;
            return std::nullopt;
        }
        // Beside its effects' surfaces, librsvg draws a drawing through surfaces of its
        // size of its own (a filter's source and result, a clip's or an opacity's group):
        // two of them, so that ordinary drawings meet no limit meant for hostile ones.
        return documentBytes() + double(effectBytes(pixels)) + 2 * pixels * 4;
    };
    return page;
}

// The same drawing render() makes onto fresh pixels of the document's size.
std::shared_ptr<const RenderedPixels> SvgDocument::drawWhole() const {
    const Size size = drawingSize();
    RenderFailure failure;
    return helpers_->drawWhole(pageAt(cairo_matrix_t{1, 0, 0, 1, 0, 0}), int(size.width), int(size.height), &failure,
                               true);
}

namespace {

// Whether drawing at user (0, 0) lands one point on one pixel of a pixel surface,
// at a whole-pixel offset, drawn over what is there.
bool landsOnWholePixels(cairo_t* cr) {
    if (cairo_get_operator(cr) != CAIRO_OPERATOR_OVER) return false;
    cairo_surface_t* target = cairo_get_group_target(cr);
    if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) return false;
    double sx = 0, sy = 0, ox = 0, oy = 0;
    cairo_surface_get_device_scale(target, &sx, &sy);
    cairo_surface_get_device_offset(target, &ox, &oy);
    cairo_matrix_t m;
    cairo_get_matrix(cr, &m);
    auto whole = [](double v) { return v == std::floor(v) && std::fabs(v) < 1e6; };
    return sx == 1 && sy == 1 && whole(ox) && whole(oy) && m.xx == 1 && m.yy == 1 && m.xy == 0 && m.yx == 0 &&
           whole(m.x0) && whole(m.y0);
}

}  // namespace

bool SvgDocument::renderHere(cairo_t* cr, std::string* why) const {
    std::lock_guard lock(mutex_);
    const Size size = drawingSize();
    RsvgRectangle viewport{0, 0, size.width, size.height};
    GError* gerror = nullptr;
    bool rendered = rsvgLibrary().handleRenderDocument(handle_, cr, &viewport, &gerror);
    if (!rendered) *why = gerror != nullptr ? gerror->message : "the renderer gave up";
    if (gerror != nullptr) g_error_free(gerror);
    // A surface the renderer could not make (a mask or filter too large for cairo)
    // leaves the context in an error state: what was drawn is not the picture.
    if (rendered && cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        rendered = false;
        *why = cairo_status_to_string(cairo_status(cr));
    }
    if (rendered && cairo_surface_status(cairo_get_target(cr)) != CAIRO_STATUS_SUCCESS) {
        rendered = false;
        *why = cairo_status_to_string(cairo_surface_status(cairo_get_target(cr)));
    }
    return rendered;
}

bool SvgDocument::render(GraphicsContext& context, std::string* error) const {
    const Size size = drawingSize();
    bool ok = true;
    std::string why;
    PictureProblem problem = PictureProblem::incompleteRender;
    context.drawWithEffects(
        [&](cairo_t* cr) {
            if (helpers_ && landsOnWholePixels(cr)) {
                if (auto whole = prerendered()) {
                    cairo_surface_t* picture = cairo_image_surface_create_for_data(
                        whole->data(), CAIRO_FORMAT_ARGB32, whole->width(), whole->height(), whole->stride());
                    cairo_set_source_surface(cr, picture, 0, 0);
                    cairo_paint(cr);
                    cairo_set_source_rgba(cr, 0, 0, 0, 0);
                    cairo_surface_destroy(picture);
                    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
                        ok = false;
                        why = cairo_status_to_string(cairo_status(cr));
                    }
                    return;
                }
            }
            const double pixels = devicePixels(cr, 0, 0, size.width, size.height);
            if (!effectsAffordable(pixels, &why)) {
                problem = PictureProblem::tooDemanding;
                ok = false;
                return;
            }
            if (!helpers_) {
                const auto claim = DrawingBudget::claim(effectBytes(pixels));
                ok = renderHere(cr, &why);
                return;
            }
            cairo_matrix_t toDevice;
            cairo_get_matrix(cr, &toDevice);
            RenderFailure failure;
            auto page = pageAt(toDevice);
            if (cr == context.cairo()) page.clipPath = &context.deviceClipPath();
            ok = helpers_->draw(cr, page, &failure);
            if (!ok) {
                why = failure.why;
                problem = failure.problem == PictureProblem::none ? PictureProblem::incompleteRender : failure.problem;
            }
        },
        context.compositingOperation());
    if (!ok) {
        // Drawn in part, or without its effects, it would not be the picture.
        context.markIncomplete();
        DrawingProblems::report(problem, "the SVG document could not be drawn completely: " + why);
        if (error != nullptr) *error = "the SVG document could not be drawn completely: " + why;
    }
    return ok;
}

std::optional<std::vector<uint8_t>> SvgDocument::pageAsPdf(Size pageSize, const double matrix[6],
                                                           const std::vector<Rect>& clip, std::string* error,
                                                           PictureProblem* problem) const {
    if (!helpers_) {
        noteProblem(error, problem, PictureProblem::incompleteRender, "the program's own images are not written");
        return std::nullopt;
    }
    // Effects become pictures of the page's size in points.
    const double pixels = pageSize.width * pageSize.height;
    std::string why;
    if (!effectsAffordable(pixels, &why)) {
        noteProblem(error, problem, PictureProblem::tooDemanding, why);
        return std::nullopt;
    }
    const double held = documentBytes() + double(effectBytes(pixels));
    if (held + double(RendererBudget::kSvgBaseBytes) > double(RendererBudget::largestLimit(render::Kind::svg))) {
        noteProblem(error, problem, PictureProblem::pastMemoryLimit,
                    fmt::format("writing the SVG document would need {:.0f} MiB, more than the renderer's {} MiB of "
                                "memory",
                                held / (1 << 20) + double(RendererBudget::kSvgBaseBytes >> 20),
                                render::kAddressSpaceBytes >> 20));
        return std::nullopt;
    }
    // A clip that is the whole page clips nothing.
    const bool clipped = !(clip.size() == 1 && clip[0].origin.x <= 0 && clip[0].origin.y <= 0 &&
                           clip[0].maxX() >= pageSize.width && clip[0].maxY() >= pageSize.height) &&
                         !clip.empty();
    // The page a picture of it is kept as is asked for again when it is written as it is
    // (an image set's PDF): the same request gives the same bytes.
    std::vector<double> key{pageSize.width, pageSize.height};
    key.insert(key.end(), matrix, matrix + 6);
    for (const Rect& r : clipped ? clip : std::vector<Rect>{}) {
        key.insert(key.end(), {r.origin.x, r.origin.y, r.size.width, r.size.height});
    }
    {
        std::lock_guard lock(mutex_);
        if (writtenKey_ == key && written_) return *written_;
    }
    const Size size = drawingSize();
    render::Request request;
    request.op = render::Op::pdf;
    request.pageWidth = pageSize.width;
    request.pageHeight = pageSize.height;
    request.viewportWidth = size.width;
    request.viewportHeight = size.height;
    request.addressSpace = RendererBudget::limitFor(held, render::Kind::svg);
    std::copy(matrix, matrix + 6, request.matrix);
    if (clipped) DocumentDrawing::setClip(request, clip);
    RenderFailure failure;
    std::optional<std::vector<uint8_t>> bytes;
    {
        const auto claim = DrawingBudget::claim(effectBytes(pixels));
        bytes = helpers_->client().pdf(request, &failure);
    }
    // What the renderer cannot open is not an SVG document it takes (its size was read
    // without it).
    if (!bytes && failure.problem == PictureProblem::damaged) failure.problem = PictureProblem::notAPicture;
    if (!bytes) noteProblem(error, problem, failure.problem, failure.why);
    if (bytes && bytes->size() <= kMaxKeptPdfBytes) {
        std::lock_guard lock(mutex_);
        writtenKey_ = std::move(key);
        written_ = std::make_shared<const std::vector<uint8_t>>(*bytes);
    }
    return bytes;
}

}  // namespace platform::graphics
