#include "platform/graphics/document_drawing.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/interruption.hpp"
#include "platform/graphics/renderer_budget.hpp"
#include "platform/graphics/resample.hpp"

namespace platform::graphics {

namespace {

struct Bounds {
    double left = 0, top = 0, right = 0, bottom = 0;
    double area() const { return right > left && bottom > top ? (right - left) * (bottom - top) : 0; }
};

// Where the box lands on the device.
Bounds deviceBounds(const cairo_matrix_t& m, Size box) {
    double xs[4] = {0, box.width, 0, box.width}, ys[4] = {0, 0, box.height, box.height};
    for (int i = 0; i < 4; ++i) cairo_matrix_transform_point(&m, &xs[i], &ys[i]);
    return {std::min({xs[0], xs[1], xs[2], xs[3]}), std::min({ys[0], ys[1], ys[2], ys[3]}),
            std::max({xs[0], xs[1], xs[2], xs[3]}), std::max({ys[0], ys[1], ys[2], ys[3]})};
}

// The clip of `cr` as device rectangles, when it is made of few enough; none when it is
// a shape of another kind.
std::optional<std::vector<Rect>> deviceClip(cairo_t* cr) {
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_rectangle_list_t* list = cairo_copy_clip_rectangle_list(cr);
    cairo_restore(cr);
    std::optional<std::vector<Rect>> out;
    if (list->status == CAIRO_STATUS_SUCCESS && list->num_rectangles <= render::kMaxClipRects) {
        out.emplace();
        for (int i = 0; i < list->num_rectangles; ++i) {
            const auto& r = list->rectangles[i];
            out->push_back(Rect{r.x, r.y, r.width, r.height});
        }
    }
    cairo_rectangle_list_destroy(list);
    return out;
}

// A matrix that keeps the box upright and unturned: its drawings can be made from a
// whole drawing of it by scaling.
bool upright(const cairo_matrix_t& m) { return m.xy == 0 && m.yx == 0 && m.xx > 0 && m.yy > 0; }

}  // namespace

DocumentDrawing::DocumentDrawing(std::span<const uint8_t> bytes, render::Kind kind, bool laysOutText)
    : client_(std::make_unique<RenderClient>(bytes, kind, laysOutText)), kind_(kind) {}

bool DocumentDrawing::fitsTheRenderer(render::Kind kind, double bytes, double pixels, RenderFailure* failure) {
    if (bytes + double(RendererBudget::baseBytes(kind)) <= double(RendererBudget::largestLimit(kind))) return true;
    const double side = std::sqrt(pixels);
    failure->problem = PictureProblem::pastMemoryLimit;
    failure->why = fmt::format("drawing {} at some {:.0f} x {:.0f} pixels would need {:.0f} MiB, more than the "
                               "renderer's {} MiB of memory",
                               render::drawingName(kind), side, side,
                               bytes / (1 << 20) + double(RendererBudget::baseBytes(kind) >> 20),
                               render::kAddressSpaceBytes >> 20);
    return false;
}

void DocumentDrawing::setMatrix(render::Request& request, const cairo_matrix_t& m) {
    const double values[6] = {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
    std::copy(values, values + 6, request.matrix);
}

void DocumentDrawing::setClip(render::Request& request, std::span<const Rect> clip, double dx, double dy) {
    request.clipCount = int32_t(std::min<size_t>(clip.size(), render::kMaxClipRects));
    for (int i = 0; i < request.clipCount; ++i) {
        const Rect& r = clip[size_t(i)];
        const double values[4] = {r.origin.x - dx, r.origin.y - dy, r.size.width, r.size.height};
        std::copy(values, values + 4, request.clip[i]);
    }
    if (clip.empty()) {
        request.clipCount = 1;
        std::fill(request.clip[0], request.clip[0] + 4, 0.0);
    }
}

std::shared_ptr<const RenderedPixels> DocumentDrawing::ask(const Page& page, render::Request request, double pixels,
                                                           RenderFailure* failure, bool ahead, bool* refused) const {
    const auto holds = page.holds(pixels, failure);
    const double held = holds ? *holds + double(request.width) * request.height * 4 : 0;
    if (!holds || !fitsTheRenderer(kind_, held, pixels, failure)) {
        if (refused != nullptr) *refused = true;
        return nullptr;
    }
    request.op = render::Op::raster;
    request.page = page.index;
    request.viewportWidth = page.box.width;
    request.viewportHeight = page.box.height;
    request.addressSpace = RendererBudget::limitFor(held, kind_);
    const auto claim = DrawingBudget::claimUnless(uint64_t(std::min(1e18, held)), [] { return interruptionRequested(); });
    if (!claim) {
        failure->problem = PictureProblem::incompleteRender;
        failure->why = "the drawing was stopped before it began";
        return nullptr;
    }
    return client_->pixels(request, failure, ahead);
}

std::optional<std::pair<int, int>> DocumentDrawing::wholeSizeFor(double wide, double high) {
    auto side = [](double asked) {
        const double needed = std::ceil(asked - 1e-6);
        double side = kSmallestWholeSide;
        while (side < needed) side *= 4;
        return side;
    };
    const double width = side(wide), height = side(high);
    if (width * height > kMaxWholePixels) return std::nullopt;
    return std::pair{int(width), int(height)};
}

int DocumentDrawing::wholeDrawingsMade(int index) const {
    std::lock_guard lock(mutex_);
    const auto known = pages_.find(index);
    return known == pages_.end() ? 0 : int(known->second.drawn.size());
}

std::shared_ptr<const RenderedPixels> DocumentDrawing::drawWhole(const Page& page, int width, int height,
                                                                 RenderFailure* failure, bool ahead) const {
    return drawWhole(page, width, height, failure, ahead, nullptr);
}

std::shared_ptr<const RenderedPixels> DocumentDrawing::drawWhole(const Page& page, int width, int height,
                                                                 RenderFailure* failure, bool ahead,
                                                                 bool* refused) const {
    render::Request request;
    request.width = width;
    request.height = height;
    const cairo_matrix_t scale{double(width) / page.box.width, 0, 0, double(height) / page.box.height, 0, 0};
    setMatrix(request, scale);
    return ask(page, request, double(width) * height, failure, ahead, refused);
}

std::shared_ptr<const RenderedPixels> DocumentDrawing::wholeDrawing(const Page& page, std::pair<int, int> size,
                                                                    RenderFailure* failure, bool* ownSizes) const {
    std::unique_lock lock(mutex_);
    auto& wholes = pages_[page.index];
    while (true) {
        if (const auto kept = wholes.drawn.find(size); kept != wholes.drawn.end()) return kept->second;
        if (const auto failed = wholes.failed.find(size); failed != wholes.failed.end()) {
            *failure = failed->second;
            *ownSizes = true;
            return nullptr;
        }
        if (!wholes.drawing.count(size)) break;
        if (interruptionRequested()) {
            failure->problem = PictureProblem::incompleteRender;
            failure->why = "the drawing was stopped before it began";
            return nullptr;
        }
        wholeDrawn_.wait_for(lock, std::chrono::milliseconds(50));
    }
    wholes.drawing.insert(size);
    lock.unlock();
    bool refused = false;
    auto drawn = drawWhole(page, size.first, size.second, failure, false, &refused);
    lock.lock();
    wholes.drawing.erase(size);
    // Kept for the page's other sizes. One refused before it was drawn, or that the
    // renderer reported errors on, is not asked again (it would fail again, after all its
    // work): the sizes are drawn at their own. One that failed otherwise is asked again by
    // the next (a limit met stops the page, and that fails it at once).
    if (drawn) {
        wholes.drawn.emplace(size, drawn);
    } else if (refused || (failure->problem == PictureProblem::incompleteRender && !interruptionRequested())) {
        wholes.failed.emplace(size, *failure);
        *ownSizes = true;
    }
    wholeDrawn_.notify_all();
    return drawn;
}

bool DocumentDrawing::brokenAtOwnSize(int index, RenderFailure* failure) const {
    std::lock_guard lock(mutex_);
    const auto& broken = pages_[index].brokenAtOwnSize;
    if (broken && failure != nullptr) *failure = *broken;
    return broken.has_value();
}

std::shared_ptr<const RenderedPixels> DocumentDrawing::askAfterWhole(const Page& page, const render::Request& request,
                                                                     double pixels, RenderFailure* failure) const {
    if (brokenAtOwnSize(page.index, failure)) return nullptr;
    std::shared_ptr<const RenderedPixels> drawn;
    {
        // The page's drawings waiting or under way end once one of them shows it broken.
        const InterruptionScope broken([this, index = page.index] { return brokenAtOwnSize(index, nullptr); });
        drawn = ask(page, request, pixels, failure);
    }
    if (drawn || brokenAtOwnSize(page.index, failure)) return drawn;
    if (failure->problem == PictureProblem::incompleteRender && !interruptionRequested()) {
        std::lock_guard lock(mutex_);
        auto& broken = pages_[page.index].brokenAtOwnSize;
        if (!broken) broken = *failure;
    }
    return nullptr;
}

bool DocumentDrawing::paintFromWhole(cairo_t* cr, const Page& page, const RenderedPixels& whole,
                                     RenderFailure* failure) const {
    const cairo_matrix_t& m = page.toDevice;
    const double wide = m.xx * page.box.width, high = m.yy * page.box.height;
    const int width = std::max(1, int(std::lround(wide))), height = std::max(1, int(std::lround(high)));
    std::vector<uint8_t> resampled;
    int stride = whole.stride();
    const uint8_t* data = whole.data();
    int sourceWidth = whole.width(), sourceHeight = whole.height();
    if (width != sourceWidth || height != sourceHeight) {
        resampled = resampleArgb32(PixelView{whole.data(), whole.width(), whole.height(), whole.stride()},
                                   width, height, &stride);
        if (resampled.empty()) {
            failure->problem = PictureProblem::tooDemanding;
            failure->why = "the drawing could not be made smaller";
            return false;
        }
        data = resampled.data();
        sourceWidth = width;
        sourceHeight = height;
    }
    cairo_surface_t* layer = cairo_image_surface_create_for_data(const_cast<uint8_t*>(data), CAIRO_FORMAT_ARGB32,
                                                                 sourceWidth, sourceHeight, stride);
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_translate(cr, m.x0, m.y0);
    cairo_scale(cr, wide / sourceWidth, high / sourceHeight);
    cairo_set_source_surface(cr, layer, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(layer);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        failure->problem = PictureProblem::incompleteRender;
        failure->why = fmt::format("cairo could not paint the drawing: {}", cairo_status_to_string(cairo_status(cr)));
        return false;
    }
    return true;
}

bool DocumentDrawing::draw(cairo_t* cr, const Page& page, RenderFailure* failure) const {
    cairo_surface_t* target = cairo_get_group_target(cr);
    if (cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE) {
        failure->problem = PictureProblem::incompleteRender;
        failure->why = "a document is drawn into pixels, or into a PDF as its only content";
        return false;
    }
    const cairo_matrix_t& m = page.toDevice;
    const Bounds box = deviceBounds(m, page.box);
    double ox = 0, oy = 0;
    cairo_surface_get_device_offset(target, &ox, &oy);
    const Bounds shown{std::max(box.left, -ox), std::max(box.top, -oy),
                       std::min(box.right, cairo_image_surface_get_width(target) - ox),
                       std::min(box.bottom, cairo_image_surface_get_height(target) - oy)};
    const double pixels = shown.area();

    // A page drawn from whole drawings is painted from the one its size is made from; where
    // the renderer could not make that one, the size is drawn at its own size.
    const double wide = m.xx * page.box.width, high = m.yy * page.box.height;
    bool afterWhole = false;
    if (page.fromWhole && upright(m) && wide >= 1 && high >= 1) {
        if (const auto size = wholeSizeFor(wide, high)) {
            if (const auto whole = wholeDrawing(page, *size, failure, &afterWhole)) {
                return paintFromWhole(cr, page, *whole, failure);
            }
            if (!afterWhole) return false;
            *failure = RenderFailure{};
        }
    }

    // The whole pixels the page covers within the clip and the target.
    double cx1 = 0, cy1 = 0, cx2 = 0, cy2 = 0;
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_clip_extents(cr, &cx1, &cy1, &cx2, &cy2);
    cairo_restore(cr);
    const double left = std::floor(std::max(shown.left, cx1)), top = std::floor(std::max(shown.top, cy1));
    const double right = std::ceil(std::min(shown.right, cx2)), bottom = std::ceil(std::min(shown.bottom, cy2));
    if (!(right > left && bottom > top)) return true;  // nothing of it shows
    render::Request request;
    request.width = int(right - left);
    request.height = int(bottom - top);
    cairo_matrix_t shifted = m;
    shifted.x0 -= left;
    shifted.y0 -= top;
    setMatrix(request, shifted);
    // A clip of rectangles is drawn in by the helper, as the renderer would have clipped
    // each shape: the pixels are the same as drawing here.
    const auto clip = deviceClip(cr);
    if (clip) setClip(request, *clip, left, top);
    // A clip of another shape goes along as its paths, when they are known whole.
    const bool clipPathSent = !clip && page.clipPath != nullptr && !page.clipPath->empty() &&
                              page.clipPath->size() <= size_t(render::kMaxClipPathElements);
    if (clipPathSent) {
        request.clipPathCount = int32_t(page.clipPath->size());
        for (int i = 0; i < request.clipPathCount; ++i) {
            render::PathElement e = (*page.clipPath)[size_t(i)];
            for (int p = 0; p < 3; ++p) {
                e.points[2 * p] -= left;
                e.points[2 * p + 1] -= top;
            }
            request.clipPath[i] = e;
        }
    }
    const auto drawn = afterWhole ? askAfterWhole(page, request, pixels, failure) : ask(page, request, pixels, failure);
    if (!drawn) return false;
    cairo_surface_t* layer = cairo_image_surface_create_for_data(drawn->data(), CAIRO_FORMAT_ARGB32, drawn->width(),
                                                                 drawn->height(), drawn->stride());
    cairo_save(cr);
    cairo_identity_matrix(cr);
    if (clip || clipPathSent) cairo_reset_clip(cr);
    cairo_set_source_surface(cr, layer, left, top);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(layer);
    const cairo_status_t status = cairo_status(cr);
    if (status != CAIRO_STATUS_SUCCESS) {
        failure->problem = PictureProblem::incompleteRender;
        failure->why =
            fmt::format("cairo could not draw {}: {}", render::drawingName(kind_), cairo_status_to_string(status));
        return false;
    }
    return true;
}

}  // namespace platform::graphics
