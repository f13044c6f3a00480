#include "platform/graphics/graphics_context.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graphics/resample.hpp"

namespace platform::graphics {

namespace {

thread_local std::vector<GraphicsContext*> tCurrentStack;

bool isUnboundedInCairo(CompositingOperation op) {
    switch (op) {
        case CompositingOperation::sourceIn:
        case CompositingOperation::sourceOut:
        case CompositingOperation::destinationIn:
        case CompositingOperation::destinationAtop: return true;
        default: return false;
    }
}

void setSourceColor(cairo_t* cr, const Color& color) {
    double r, g, b, a;
    color.displayRGBA(r, g, b, a);
    cairo_set_source_rgba(cr, r, g, b, a);
}

// Cairo's unbounded operators would also change everything outside the shape;
// the platform only touches the shape, so those go through clip + paint.
void fillCurrentPath(cairo_t* cr, CompositingOperation op) {
    if (isUnboundedInCairo(op)) {
        cairo_clip(cr);
        cairo_paint(cr);
    } else {
        cairo_fill(cr);
    }
}

// Box sizes whose three passes approximate a gaussian of deviation sigma.
void boxSizesForGauss(double sigma, int sizes[3]) {
    const double ideal = std::sqrt(12.0 * sigma * sigma / 3.0 + 1.0);
    int wl = static_cast<int>(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const int wu = wl + 2;
    const double mIdeal = (12.0 * sigma * sigma - 3.0 * wl * wl - 12.0 * wl - 9.0) / (-4.0 * wl - 4.0);
    const int m = static_cast<int>(std::lround(mIdeal));
    for (int i = 0; i < 3; ++i) sizes[i] = i < m ? wl : wu;
}

// One box pass along rows (or columns when `vertical`), zero outside.
void boxPass(const std::vector<float>& src, std::vector<float>& dst, int w, int h, int radius, bool vertical) {
    const int lines = vertical ? w : h;
    const int length = vertical ? h : w;
    const size_t step = vertical ? static_cast<size_t>(w) : 1;
    const float norm = 1.0f / static_cast<float>(2 * radius + 1);
    for (int line = 0; line < lines; ++line) {
        const size_t base = vertical ? static_cast<size_t>(line) : static_cast<size_t>(line) * w;
        float sum = 0;
        for (int i = 0; i <= radius && i < length; ++i) sum += src[base + i * step];
        for (int i = 0; i < length; ++i) {
            dst[base + i * step] = sum * norm;
            const int add = i + radius + 1;
            const int sub = i - radius;
            if (add < length) sum += src[base + add * step];
            if (sub >= 0) sum -= src[base + sub * step];
        }
    }
}

void blurAlpha(std::vector<float>& alpha, int w, int h, double sigma) {
    if (sigma < 0.5) return;
    int sizes[3];
    boxSizesForGauss(sigma, sizes);
    std::vector<float> tmp(alpha.size());
    for (int pass = 0; pass < 3; ++pass) {
        const int radius = (sizes[pass] - 1) / 2;
        if (radius <= 0) continue;
        boxPass(alpha, tmp, w, h, radius, false);
        boxPass(tmp, alpha, w, h, radius, true);
    }
}

}  // namespace

std::optional<CompositingOperation> compositingOperationFromRaw(int raw) {
    if ((raw >= 0 && raw <= 10) || raw == 13) return static_cast<CompositingOperation>(raw);
    return std::nullopt;
}

int cairoOperator(CompositingOperation op) {
    switch (op) {
        case CompositingOperation::clear: return CAIRO_OPERATOR_CLEAR;
        case CompositingOperation::copy: return CAIRO_OPERATOR_SOURCE;
        case CompositingOperation::sourceOver: return CAIRO_OPERATOR_OVER;
        case CompositingOperation::sourceIn: return CAIRO_OPERATOR_IN;
        case CompositingOperation::sourceOut: return CAIRO_OPERATOR_OUT;
        case CompositingOperation::sourceAtop: return CAIRO_OPERATOR_ATOP;
        case CompositingOperation::destinationOver: return CAIRO_OPERATOR_DEST_OVER;
        case CompositingOperation::destinationIn: return CAIRO_OPERATOR_DEST_IN;
        case CompositingOperation::destinationOut: return CAIRO_OPERATOR_DEST_OUT;
        case CompositingOperation::destinationAtop: return CAIRO_OPERATOR_DEST_ATOP;
        case CompositingOperation::exclusiveOr: return CAIRO_OPERATOR_XOR;
        case CompositingOperation::plusLighter: return CAIRO_OPERATOR_ADD;
    }
    return CAIRO_OPERATOR_OVER;
}

GraphicsContext::GraphicsContext(cairo_surface_t* surface, Size extent, bool flipped)
    : cr_(cairo_create(surface)),
      extent_(extent),
      raster_(cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_IMAGE) {
    if (!flipped) {
        cairo_translate(cr_, 0, extent.height);
        cairo_scale(cr_, 1, -1);
    }
    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    const double values[6] = {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
    std::memcpy(baseMatrix_, values, sizeof values);
    states_.emplace_back();
    states_.back().flipped = flipped;
}

GraphicsContext::~GraphicsContext() {
    // A context that dies while still current must not leave a dangling entry.
    for (auto*& entry : tCurrentStack) {
        if (entry == this) entry = nullptr;
    }
    cairo_destroy(cr_);
}

GraphicsContext* GraphicsContext::current() { return tCurrentStack.empty() ? nullptr : tCurrentStack.back(); }

void GraphicsContext::setCurrent(GraphicsContext* context) {
    if (tCurrentStack.empty()) {
        tCurrentStack.push_back(context);
    } else {
        tCurrentStack.back() = context;
    }
}

void GraphicsContext::saveGlobalState() { tCurrentStack.push_back(current()); }

void GraphicsContext::restoreGlobalState() {
    if (!tCurrentStack.empty()) tCurrentStack.pop_back();
}

cairo_surface_t* GraphicsContext::surface() const { return cairo_get_target(cr_); }

void GraphicsContext::saveState() {
    cairo_save(cr_);
    states_.push_back(states_.back());
}

void GraphicsContext::restoreState() {
    if (states_.size() <= 1) return;  // unbalanced restore: ignore rather than corrupt cairo's stack
    states_.pop_back();
    cairo_restore(cr_);
}

void GraphicsContext::applyTransform(double a, double b, double c, double d, double tx, double ty) {
    cairo_matrix_t m, result;
    cairo_matrix_init(&m, a, b, c, d, tx, ty);
    cairo_matrix_t current;
    cairo_get_matrix(cr_, &current);
    cairo_matrix_multiply(&result, &m, &current);
    const double det = result.xx * result.yy - result.yx * result.xy;
    const bool finite = std::isfinite(result.xx) && std::isfinite(result.yx) && std::isfinite(result.xy) &&
                        std::isfinite(result.yy) && std::isfinite(result.x0) && std::isfinite(result.y0);
    // Cairo would enter a permanent error state on a singular matrix and drop
    // everything drawn afterwards, even after a restore; a singular transform
    // only hides what is drawn until the state is restored.
    if (!finite || det == 0 || !std::isfinite(det)) {
        states_.back().degenerate = true;
        return;
    }
    cairo_set_matrix(cr_, &result);
}

void GraphicsContext::translate(double dx, double dy) { applyTransform(1, 0, 0, 1, dx, dy); }
void GraphicsContext::scale(double sx, double sy) { applyTransform(sx, 0, 0, sy, 0, 0); }
void GraphicsContext::concat(const Transform& t) { applyTransform(t.a, t.b, t.c, t.d, t.tx, t.ty); }

Transform GraphicsContext::currentTransform() const {
    cairo_matrix_t m, base, result;
    cairo_get_matrix(cr_, &m);
    cairo_matrix_init(&base, baseMatrix_[0], baseMatrix_[1], baseMatrix_[2], baseMatrix_[3], baseMatrix_[4],
                      baseMatrix_[5]);
    cairo_matrix_invert(&base);
    cairo_matrix_multiply(&result, &m, &base);
    return Transform{result.xx, result.yx, result.xy, result.yy, result.x0, result.y0};
}

Size GraphicsContext::deviceScale() const {
    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    return Size{std::hypot(m.xx, m.yx), std::hypot(m.xy, m.yy)};
}

void GraphicsContext::setCompositingOperation(CompositingOperation op) { states_.back().op = op; }
CompositingOperation GraphicsContext::compositingOperation() const { return states_.back().op; }
void GraphicsContext::setFillColor(const Color& color) { states_.back().fill = color; }
void GraphicsContext::setStrokeColor(const Color& color) { states_.back().stroke = color; }
const Color& GraphicsContext::fillColor() const { return states_.back().fill; }
void GraphicsContext::setShadow(std::optional<Shadow> shadow) { states_.back().shadow = std::move(shadow); }
const std::optional<Shadow>& GraphicsContext::shadow() const { return states_.back().shadow; }

void GraphicsContext::fillRect(Rect r) { fillRect(r, states_.back().op); }

void GraphicsContext::fillRect(Rect r, CompositingOperation op) {
    const Color color = states_.back().fill;
    drawWithEffects(
        [&](cairo_t* cr) {
            setSourceColor(cr, color);
            cairo_rectangle(cr, r.origin.x, r.origin.y, r.size.width, r.size.height);
            fillCurrentPath(cr, static_cast<CompositingOperation>(op));
        },
        op);
}

void GraphicsContext::fillPath(const BezierPath& path) {
    const Color color = states_.back().fill;
    const CompositingOperation op = states_.back().op;
    drawWithEffects(
        [&](cairo_t* cr) {
            setSourceColor(cr, color);
            path.appendTo(cr);
            fillCurrentPath(cr, op);
        },
        op);
}

void GraphicsContext::strokePath(const BezierPath& path) {
    const Color color = states_.back().stroke;
    drawWithEffects(
        [&](cairo_t* cr) {
            setSourceColor(cr, color);
            cairo_set_line_width(cr, path.lineWidth());
            path.appendTo(cr);
            cairo_stroke(cr);
        },
        states_.back().op);
}

void GraphicsContext::clipToPath(const BezierPath& path) {
    if (states_.back().degenerate) return;
    cairo_new_path(cr_);
    path.appendTo(cr_);
    clipToCurrentPath();
}

void GraphicsContext::clipToRect(Rect r) {
    if (states_.back().degenerate) return;
    cairo_new_path(cr_);
    cairo_rectangle(cr_, r.origin.x, r.origin.y, r.size.width, r.size.height);
    clipToCurrentPath();
}

void GraphicsContext::clipToCurrentPath() {
    auto& noted = states_.back().clipPath;
    cairo_path_t* path = cairo_copy_path(cr_);
    if (path->status == CAIRO_STATUS_SUCCESS) {
        for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
            const cairo_path_data_t* data = &path->data[i];
            render::PathElement element;
            int points = 1;
            switch (data->header.type) {
                case CAIRO_PATH_MOVE_TO: element.type = render::PathElement::move; break;
                case CAIRO_PATH_LINE_TO: element.type = render::PathElement::line; break;
                case CAIRO_PATH_CURVE_TO: element.type = render::PathElement::curve, points = 3; break;
                case CAIRO_PATH_CLOSE_PATH: element.type = render::PathElement::close, points = 0; break;
            }
            for (int p = 0; p < points; ++p) {
                double x = data[p + 1].point.x, y = data[p + 1].point.y;
                cairo_user_to_device(cr_, &x, &y);
                element.points[2 * p] = x;
                element.points[2 * p + 1] = y;
            }
            noted.push_back(element);
        }
        render::PathElement clip;
        clip.type = cairo_get_fill_rule(cr_) == CAIRO_FILL_RULE_EVEN_ODD ? render::PathElement::clipEvenOdd
                                                                          : render::PathElement::clipWinding;
        noted.push_back(clip);
    }
    cairo_path_destroy(path);
    cairo_clip(cr_);
}

void GraphicsContext::drawBitmap(const Bitmap& bitmap, Rect dst, CompositingOperation op, double fraction) {
    if (bitmap.width() == 0 || bitmap.height() == 0 || dst.isEmpty()) return;
    if (!std::isfinite(dst.size.width) || !std::isfinite(dst.size.height)) return;

    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    const bool axisAligned = m.xy == 0 && m.yx == 0;
    const double deviceW = std::fabs(dst.size.width * m.xx);
    const double deviceH = std::fabs(dst.size.height * m.yy);
    if (states_.back().degenerate || !std::isfinite(deviceW) || !std::isfinite(deviceH)) return;

    cairo_surface_t* source = nullptr;
    int sourceW = bitmap.width();
    int sourceH = bitmap.height();
    std::vector<uint8_t> resampled;
    bool wasResampled = false;
    if (raster_ && axisAligned && (deviceW < sourceW - 0.5 || deviceH < sourceH - 0.5)) {
        // Cairo's own filters alias badly when shrinking a lot; resample to the
        // device size first and let cairo only do the (sub-pixel) placement.
        const int targetW = std::max(1, static_cast<int>(std::lround(deviceW)));
        const int targetH = std::max(1, static_cast<int>(std::lround(deviceH)));
        int stride = 0;
        resampled = resampleArgb32(PixelView{bitmap.data(), bitmap.width(), bitmap.height(), bitmap.stride()},
                                   targetW, targetH, &stride);
        if (!resampled.empty() && stride > 0) {
            source = cairo_image_surface_create_for_data(
                resampled.data(), bitmap.hasAlpha() ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, targetW, targetH,
                stride);
            sourceW = targetW;
            sourceH = targetH;
            wasResampled = true;
        }
    }
    if (source == nullptr) source = bitmap.makeSurface();

    const bool raster = raster_;
    const bool flipped = isFlipped();
    drawWithEffects(
        [&](cairo_t* cr) {
            cairo_save(cr);
            cairo_rectangle(cr, dst.origin.x, dst.origin.y, dst.size.width, dst.size.height);
            cairo_clip(cr);
            // Row 0 of the bitmap is its top: at the larger y in y-up space.
            if (flipped) {
                cairo_translate(cr, dst.origin.x, dst.origin.y);
                cairo_scale(cr, dst.size.width / sourceW, dst.size.height / sourceH);
            } else {
                cairo_translate(cr, dst.origin.x, dst.origin.y + dst.size.height);
                cairo_scale(cr, dst.size.width / sourceW, -dst.size.height / sourceH);
            }
            cairo_set_source_surface(cr, source, 0, 0);
            cairo_pattern_t* pattern = cairo_get_source(cr);
            // Padding keeps edge pixels opaque at fractional positions; vector
            // targets would turn a padded pattern into a fallback raster.
            cairo_pattern_set_extend(pattern, raster ? CAIRO_EXTEND_PAD : CAIRO_EXTEND_NONE);
            cairo_pattern_set_filter(pattern, wasResampled ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_GOOD);
            cairo_paint(cr);
            cairo_restore(cr);
        },
        op, fraction);
    cairo_surface_destroy(source);
}

void GraphicsContext::drawWithEffects(const std::function<void(cairo_t*)>& draw, CompositingOperation op,
                                      double fraction) {
    if (states_.back().degenerate) return;
    const auto& shadow = states_.back().shadow;
    if (shadow && shadow->color.alpha() > 0) drawShadow(draw, *shadow, op);
    cairo_save(cr_);
    cairo_new_path(cr_);
    cairo_set_operator(cr_, static_cast<cairo_operator_t>(cairoOperator(op)));
    if (fraction >= 1.0) {
        draw(cr_);
    } else if (fraction > 0) {
        cairo_push_group(cr_);
        cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
        draw(cr_);
        cairo_pop_group_to_source(cr_);
        cairo_set_operator(cr_, static_cast<cairo_operator_t>(cairoOperator(op)));
        cairo_paint_with_alpha(cr_, fraction);
    }
    cairo_restore(cr_);
}

void GraphicsContext::drawShadow(const std::function<void(cairo_t*)>& draw, const Shadow& shadow,
                                 CompositingOperation op) {
    // The shadow is the drawing's own coverage, blurred and offset, painted in
    // the shadow colour underneath the drawing. Offsets and blur live in base
    // space, unaffected by the current transform, as on the platform.
    double cx1, cy1, cx2, cy2;
    cairo_save(cr_);
    cairo_identity_matrix(cr_);
    cairo_clip_extents(cr_, &cx1, &cy1, &cx2, &cy2);
    cairo_restore(cr_);
    const double dx = baseMatrix_[0] * shadow.offset.width + baseMatrix_[2] * shadow.offset.height;
    const double dy = baseMatrix_[1] * shadow.offset.width + baseMatrix_[3] * shadow.offset.height;
    const double sigma = std::max(0.0, shadow.blurRadius) / 2.0;
    const int pad = static_cast<int>(std::ceil(3.0 * sigma)) + 1;
    const double rx0 = std::floor(cx1 - dx) - pad;
    const double ry0 = std::floor(cy1 - dy) - pad;
    const double rx1 = std::ceil(cx2 - dx) + pad;
    const double ry1 = std::ceil(cy2 - dy) + pad;
    const double rw = rx1 - rx0, rh = ry1 - ry0;
    if (!(rw > 0 && rh > 0) || !dimensionsAcceptable(static_cast<int64_t>(rw), static_cast<int64_t>(rh))) return;
    const int w = static_cast<int>(rw), h = static_cast<int>(rh);

    cairo_surface_t* coverage = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    cairo_t* cr2 = cairo_create(coverage);
    cairo_matrix_t m;
    cairo_get_matrix(cr_, &m);
    m.x0 -= rx0;
    m.y0 -= ry0;
    cairo_set_matrix(cr2, &m);
    cairo_set_operator(cr2, CAIRO_OPERATOR_OVER);
    draw(cr2);
    cairo_destroy(cr2);
    cairo_surface_flush(coverage);

    const int stride = cairo_image_surface_get_stride(coverage);
    unsigned char* data = cairo_image_surface_get_data(coverage);
    std::vector<float> alpha(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) alpha[static_cast<size_t>(y) * w + x] = data[y * stride + x];
    blurAlpha(alpha, w, h, sigma);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            data[y * stride + x] =
                static_cast<unsigned char>(std::clamp(std::lround(alpha[static_cast<size_t>(y) * w + x]), 0L, 255L));
    cairo_surface_mark_dirty(coverage);

    cairo_save(cr_);
    cairo_identity_matrix(cr_);
    cairo_new_path(cr_);
    cairo_set_operator(cr_, static_cast<cairo_operator_t>(cairoOperator(op)));
    setSourceColor(cr_, shadow.color);
    cairo_mask_surface(cr_, coverage, rx0 + dx, ry0 + dy);
    cairo_restore(cr_);
    cairo_surface_destroy(coverage);
}

void GraphicsContext::markIncomplete() {
    // Cairo takes an error state from a source that is in error; it has no other way
    // in from outside.
    cairo_surface_t* broken = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, -1, -1);
    cairo_set_source_surface(cr_, broken, 0, 0);
    cairo_surface_destroy(broken);
}

}  // namespace platform::graphics
