#pragma once
// A bezier path of moves, lines, cubic curves and closes (the platform's path
// object). Fill, stroke and clip act on the current graphics context.
#include <vector>

#include "platform/graphics/geometry.hpp"

typedef struct _cairo cairo_t;

namespace platform::graphics {

class GraphicsContext;

class BezierPath {
public:
    enum class ElementType { moveTo, lineTo, curveTo, closePath };
    struct Element {
        ElementType type;
        Point points[3];  // moveTo/lineTo: [0]; curveTo: end, control 1, control 2
    };

    BezierPath() = default;
    static BezierPath rect(Rect r);
    static BezierPath oval(Rect r);

    void moveTo(Point p);
    void lineTo(Point p);
    void curveTo(Point end, Point control1, Point control2);
    void closePath();

    const std::vector<Element>& elements() const { return elements_; }
    int elementCount() const { return static_cast<int>(elements_.size()); }
    bool isEmpty() const { return elements_.empty(); }
    // Bounds of all points, control points included.
    Rect controlPointBounds() const;

    double lineWidth() const { return lineWidth_; }
    void setLineWidth(double width) { lineWidth_ = width; }

    // Act on the current context of this thread; without one they do nothing.
    void fill() const;
    void stroke() const;
    void addClip() const;

    // Appends the path to cairo's current path (in user space).
    void appendTo(cairo_t* cr) const;

private:
    std::vector<Element> elements_;
    double lineWidth_ = 1.0;
};

}  // namespace platform::graphics
