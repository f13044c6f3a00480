#pragma once
// A drawing context over Cairo with y pointing up (the platform's graphics
// context), and the per-thread stack of current contexts that drawing
// handlers and path operations draw into.
#include <functional>
#include <optional>
#include <vector>

#include "platform/graphics/bezier_path.hpp"
#include "platform/graphics/bitmap.hpp"
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"
#include "platform/graphics/render_protocol.hpp"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace platform::graphics {

// Raw values are the platform's compositing-operation numbers.
enum class CompositingOperation : int {
    clear = 0,
    copy = 1,
    sourceOver = 2,
    sourceIn = 3,
    sourceOut = 4,
    sourceAtop = 5,
    destinationOver = 6,
    destinationIn = 7,
    destinationOut = 8,
    destinationAtop = 9,
    exclusiveOr = 10,
    plusLighter = 13,
};

// Operation from a raw value; unknown values give none.
std::optional<CompositingOperation> compositingOperationFromRaw(int raw);

struct Shadow {
    Size offset;             // in the context's base space: (0, -2) casts downwards
    double blurRadius = 0;   // in base-space units
    Color color = Color::black().withAlpha(1.0 / 3.0);
};

class GraphicsContext {
public:
    // Draws on `surface`, whose visible extent is `extent` units. Unless
    // `flipped`, user space has its origin at the bottom-left and y up.
    GraphicsContext(cairo_surface_t* surface, Size extent, bool flipped = false);
    ~GraphicsContext();
    GraphicsContext(const GraphicsContext&) = delete;
    GraphicsContext& operator=(const GraphicsContext&) = delete;

    // --- the current context of this thread ---
    static GraphicsContext* current();
    static void setCurrent(GraphicsContext* context);
    // Push/pop the current context (nesting: drawing handlers inside handlers).
    static void saveGlobalState();
    static void restoreGlobalState();
    class CurrentScope {
    public:
        explicit CurrentScope(GraphicsContext* context) { saveGlobalState(); setCurrent(context); }
        ~CurrentScope() { restoreGlobalState(); }
        CurrentScope(const CurrentScope&) = delete;
        CurrentScope& operator=(const CurrentScope&) = delete;
    };

    // Whether user space currently has y pointing down (a flipped context, or
    // inside a flipped drawing handler). Saved and restored with the state.
    bool isFlipped() const { return states_.back().flipped; }
    void setFlipped(bool flipped) { states_.back().flipped = flipped; }
    Size extent() const { return extent_; }
    // True when the target holds pixels (bitmaps), false for vector targets (PDF).
    bool isRasterTarget() const { return raster_; }

    // --- state ---
    void saveState();
    void restoreState();
    void translate(double dx, double dy);
    void scale(double sx, double sy);
    void concat(const Transform& t);
    // User space to base space (the space of the context's extent).
    Transform currentTransform() const;
    // Device pixels per user unit along each axis (absolute values).
    Size deviceScale() const;

    void setCompositingOperation(CompositingOperation op);
    CompositingOperation compositingOperation() const;
    void setFillColor(const Color& color);
    void setStrokeColor(const Color& color);
    const Color& fillColor() const;
    // No shadow when empty. Saved and restored with the state.
    void setShadow(std::optional<Shadow> shadow);
    const std::optional<Shadow>& shadow() const;

    // --- drawing (with the current operation, shadow and clip) ---
    void fillRect(Rect r);
    void fillRect(Rect r, CompositingOperation op);
    void fillPath(const BezierPath& path);
    void strokePath(const BezierPath& path);
    void clipToPath(const BezierPath& path);
    void clipToRect(Rect r);
    // Draws the bitmap stretched into `dst`. When the target is raster and the
    // bitmap would be shrunk, it is first resampled to the destination's pixel
    // size with a high-quality filter.
    void drawBitmap(const Bitmap& bitmap, Rect dst, CompositingOperation op = CompositingOperation::sourceOver,
                    double fraction = 1.0);
    // Runs `draw` on the cairo context with the state's operation, shadow and
    // opacity applied; `draw` fills or paints in user space. Building block for
    // representation drawing (PDF pages, SVG documents).
    void drawWithEffects(const std::function<void(cairo_t*)>& draw, CompositingOperation op, double fraction = 1.0);

    // Something that had to be drawn could not be: the drawing is left in an error
    // state, so that what it holds is not taken for the picture.
    void markIncomplete();

    cairo_t* cairo() const { return cr_; }
    // The paths the context is clipped to (those clipToPath and clipToRect were given), in
    // its device space, each ended by a clip element; none when it is not clipped.
    const std::vector<render::PathElement>& deviceClipPath() const { return states_.back().clipPath; }
    cairo_surface_t* surface() const;

private:
    struct State {
        CompositingOperation op = CompositingOperation::sourceOver;
        Color fill = Color::black();
        Color stroke = Color::black();
        std::optional<Shadow> shadow;
        bool flipped = false;
        // A singular transform was applied: nothing is visible until restore.
        bool degenerate = false;
        std::vector<render::PathElement> clipPath;
    };
    // Clips to the current path, noting it in the state.
    void clipToCurrentPath();
    void applyTransform(double a, double b, double c, double d, double tx, double ty);
    void drawShadow(const std::function<void(cairo_t*)>& draw, const Shadow& shadow, CompositingOperation op);

    cairo_t* cr_;
    Size extent_;
    bool raster_;
    std::vector<State> states_;
    // The matrix that maps user space (y up) onto cairo's device space at
    // creation; currentTransform() is relative to it.
    double baseMatrix_[6];
};

// Maps an operation onto cairo's operator number.
int cairoOperator(CompositingOperation op);

}  // namespace platform::graphics
