#pragma once
// Points, sizes and rectangles in points, y growing upwards (the platform's
// geometry types), and the aspect-fit rectangle.
#include <cmath>
#include <string>

namespace platform::graphics {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    Point origin;
    Size size;

    constexpr Rect() = default;
    constexpr Rect(Point o, Size s) : origin(o), size(s) {}
    constexpr Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}

    double minX() const { return std::fmin(origin.x, origin.x + size.width); }
    double minY() const { return std::fmin(origin.y, origin.y + size.height); }
    double maxX() const { return std::fmax(origin.x, origin.x + size.width); }
    double maxY() const { return std::fmax(origin.y, origin.y + size.height); }
    double width() const { return std::fabs(size.width); }
    double height() const { return std::fabs(size.height); }
    bool isEmpty() const { return size.width == 0 || size.height == 0; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// An affine transform: x' = a*x + c*y + tx, y' = b*x + d*y + ty.
struct Transform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    friend bool operator==(const Transform&, const Transform&) = default;
};

// The largest rectangle of the aspect ratio of `aspect` that fits inside
// `bounding`, centred in it. A degenerate aspect gives an empty rectangle at
// the centre.
Rect aspectFitRect(Size aspect, Rect bounding);

std::string describe(Point p);
std::string describe(Size s);
std::string describe(const Rect& r);

}  // namespace platform::graphics
