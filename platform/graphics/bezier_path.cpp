#include "platform/graphics/bezier_path.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/graphics/graphics_context.hpp"

namespace platform::graphics {

BezierPath BezierPath::rect(Rect r) {
    BezierPath path;
    path.moveTo({r.origin.x, r.origin.y});
    path.lineTo({r.origin.x + r.size.width, r.origin.y});
    path.lineTo({r.origin.x + r.size.width, r.origin.y + r.size.height});
    path.lineTo({r.origin.x, r.origin.y + r.size.height});
    path.closePath();
    return path;
}

BezierPath BezierPath::oval(Rect r) {
    // Four cubic quarter arcs; k is the usual circle-approximation constant.
    constexpr double k = 0.5522847498;
    const double cx = r.origin.x + r.size.width / 2, cy = r.origin.y + r.size.height / 2;
    const double rx = r.size.width / 2, ry = r.size.height / 2;
    BezierPath path;
    path.moveTo({cx + rx, cy});
    path.curveTo({cx, cy + ry}, {cx + rx, cy + k * ry}, {cx + k * rx, cy + ry});
    path.curveTo({cx - rx, cy}, {cx - k * rx, cy + ry}, {cx - rx, cy + k * ry});
    path.curveTo({cx, cy - ry}, {cx - rx, cy - k * ry}, {cx - k * rx, cy - ry});
    path.curveTo({cx + rx, cy}, {cx + k * rx, cy - ry}, {cx + rx, cy - k * ry});
    path.closePath();
    return path;
}

void BezierPath::moveTo(Point p) { elements_.push_back({ElementType::moveTo, {p, {}, {}}}); }
void BezierPath::lineTo(Point p) { elements_.push_back({ElementType::lineTo, {p, {}, {}}}); }
void BezierPath::curveTo(Point end, Point c1, Point c2) {
    elements_.push_back({ElementType::curveTo, {end, c1, c2}});
}
void BezierPath::closePath() { elements_.push_back({ElementType::closePath, {}}); }

Rect BezierPath::controlPointBounds() const {
    double x0 = std::numeric_limits<double>::infinity(), y0 = x0;
    double x1 = -x0, y1 = -x0;
    for (const auto& e : elements_) {
        const int count = e.type == ElementType::curveTo ? 3 : e.type == ElementType::closePath ? 0 : 1;
        for (int i = 0; i < count; ++i) {
            x0 = std::min(x0, e.points[i].x);
            y0 = std::min(y0, e.points[i].y);
            x1 = std::max(x1, e.points[i].x);
            y1 = std::max(y1, e.points[i].y);
        }
    }
    if (x0 > x1) return Rect{};
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

void BezierPath::appendTo(cairo_t* cr) const {
    for (const auto& e : elements_) {
        switch (e.type) {
            case ElementType::moveTo: cairo_move_to(cr, e.points[0].x, e.points[0].y); break;
            case ElementType::lineTo: cairo_line_to(cr, e.points[0].x, e.points[0].y); break;
            case ElementType::curveTo:
                // A curve without a current point starts at its first control point.
                if (!cairo_has_current_point(cr)) cairo_move_to(cr, e.points[1].x, e.points[1].y);
                cairo_curve_to(cr, e.points[1].x, e.points[1].y, e.points[2].x, e.points[2].y, e.points[0].x,
                               e.points[0].y);
                break;
            case ElementType::closePath: cairo_close_path(cr); break;
        }
    }
}

void BezierPath::fill() const {
    if (auto* ctx = GraphicsContext::current()) ctx->fillPath(*this);
}

void BezierPath::stroke() const {
    if (auto* ctx = GraphicsContext::current()) ctx->strokePath(*this);
}

void BezierPath::addClip() const {
    if (auto* ctx = GraphicsContext::current()) ctx->clipToPath(*this);
}

}  // namespace platform::graphics
