#include "platform/graphics/geometry.hpp"

#include <fmt/format.h>

namespace platform::graphics {

Rect aspectFitRect(Size aspect, Rect bounding) {
    const double bw = bounding.size.width;
    const double bh = bounding.size.height;
    const Point centre{bounding.origin.x + bw * 0.5, bounding.origin.y + bh * 0.5};
    if (!(aspect.width > 0) || !(aspect.height > 0) || !std::isfinite(aspect.width) ||
        !std::isfinite(aspect.height)) {
        return Rect{centre, Size{0, 0}};
    }
    const double scale = std::fmin(bw / aspect.width, bh / aspect.height);
    const Size fitted{aspect.width * scale, aspect.height * scale};
    return Rect{Point{centre.x - fitted.width * 0.5, centre.y - fitted.height * 0.5}, fitted};
}

std::string describe(Point p) { return fmt::format("({}, {})", p.x, p.y); }
std::string describe(Size s) { return fmt::format("({}, {})", s.width, s.height); }
std::string describe(const Rect& r) {
    return fmt::format("(({}, {}), ({}, {}))", r.origin.x, r.origin.y, r.size.width, r.size.height);
}

}  // namespace platform::graphics
