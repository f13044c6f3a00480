#pragma once
// A document's pages drawn by its renderer helpers (render_client.hpp) into contexts: the
// whole pixels a page covers within the context's clip and target are drawn by a helper
// into a memory file and painted with the context's operation, onto clear pixels the
// same bytes as drawing in place. PDF pages and SVG documents alike are drawn so.
//
// A picture's cost is bounded, not only each drawing's: a page that proved expensive is
// not drawn again at each size an icon set asks for. It is drawn once whole, at the
// largest size asked for, and its other drawings are made from that one with the
// program's own resampler; so are drawings of it at that size or smaller from then on.
// Expensive is what a size does not explain: a small drawing that took a tenth of the
// helper's processor time limit (what costs that much at an icon's size costs it at every
// size), a drawing that took half a time limit or had to be drawn again at the largest
// memory limit, or drawings that took three processor time limits in all. Drawings whose
// cost grows with their size, as an ordinary drawing's does, stay each its own.
#include <cairo.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/render_client.hpp"

namespace platform::graphics {

class DocumentDrawing {
public:
    // The largest drawing a page's smaller ones are made from (a 4096 px square): past
    // it, drawings are each asked of a helper.
    static constexpr double kMaxWholePixels = double(int64_t{1} << 24);
    // A drawing that took this share of one of the helper's time limits makes its page
    // expensive; so does one of at most kSmallPixels that took kSmallShare of the
    // processor time limit, and drawings that took kExpensiveLimitsInAll of it in all.
    static constexpr double kExpensiveShare = 0.5;
    static constexpr double kSmallPixels = 256 * 256;
    static constexpr double kSmallShare = 0.1;
    static constexpr double kExpensiveLimitsInAll = 3;

    DocumentDrawing(std::span<const uint8_t> bytes, render::Kind kind);
    RenderClient& client() const { return *client_; }

    // A page whose box is (0, 0, box) in the document's own space (y down): a PDF page's
    // crop box from its top-left corner, an SVG document's viewport.
    struct Page {
        int index = 0;
        Size box;
        // From the document's space to the device space of the context drawn into.
        cairo_matrix_t toDevice{1, 0, 0, 1, 0, 0};
        // What a helper holds while it draws the page over `pixels` device pixels, beside
        // the pixels it draws into and the document it maps (the drawing budget's claim
        // too, with the pixels); none, with the reason, when such a drawing is beyond
        // the document's budgets.
        std::function<std::optional<double>(double pixels, RenderFailure* failure)> holds;
        // The paths the context drawn into is clipped to, in its device space, when that
        // context is the one drawn into (GraphicsContext::deviceClipPath).
        const std::vector<render::PathElement>* clipPath = nullptr;
    };

    // Draws the page into `cr`'s group target, an image surface, through its matrix and
    // clip, with its operator. False with the reason (nothing painted) when it could not.
    bool draw(cairo_t* cr, const Page& page, RenderFailure* failure) const;

    // The whole page drawn onto clear pixels of `width` x `height`, the box filling them.
    std::shared_ptr<const RenderedPixels> drawWhole(const Page& page, int width, int height,
                                                   RenderFailure* failure) const;

    // Whether page `index` proved expensive (tests).
    bool isExpensive(int index) const;

    // Whether a drawing of a document of `kind` over `pixels` device pixels that holds
    // `bytes` fits a helper; false with the reason when it does not.
    static bool fitsTheRenderer(render::Kind kind, double bytes, double pixels, RenderFailure* failure);
    // A request's matrix, and its clip: device rectangles moved by (-dx, -dy), an empty
    // clip (which shows nothing) as one rectangle of no area.
    static void setMatrix(render::Request& request, const cairo_matrix_t& m);
    static void setClip(render::Request& request, std::span<const Rect> clip, double dx = 0, double dy = 0);

private:
    struct PageCosts {
        bool expensive = false;
        double cpuInAll = 0;
        // The largest whole drawing of the page kept since it proved expensive, and the
        // one under way (others wait for it).
        std::shared_ptr<const RenderedPixels> whole;
        bool drawingWhole = false;
        // The largest size drawings of it have asked for (those waiting too), so that
        // one whole drawing serves them all.
        int widest = 0, highest = 0;
    };

    // Asks a helper for `request` (its pixels cover `pixels` of the page's) within the
    // renderer's and the drawing budget's limits; what it took goes to *cost. None, the
    // problem none, when `unwanted` said so while the drawing waited for room.
    std::shared_ptr<const RenderedPixels> ask(const Page& page, render::Request request, double pixels,
                                              RenderFailure* failure, DrawingCost* cost,
                                              const std::function<bool()>& unwanted = {}) const;
    // Paints the page from its whole drawing, made smaller to the size asked.
    bool paintFromWhole(cairo_t* cr, const Page& page, RenderFailure* failure) const;
    // Notes the cost of a drawing of `pixels`; keeps `whole` (a whole drawing of the page)
    // as the one its smaller drawings are made from once the page is expensive.
    void noteCost(int index, double pixels, const DrawingCost& cost,
                  const std::shared_ptr<const RenderedPixels>& whole) const;
    // A whole drawing of at least `width` x `height` of an expensive page: kept, or drawn
    // now (one at a time); null with the reason when it could not be drawn.
    std::shared_ptr<const RenderedPixels> wholeAtLeast(const Page& page, int width, int height,
                                                       RenderFailure* failure) const;
    std::unique_ptr<RenderClient> client_;
    render::Kind kind_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wholeDrawn_;
    mutable std::map<int, PageCosts> pages_;
};

}  // namespace platform::graphics
