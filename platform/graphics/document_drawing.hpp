#pragma once
// A document's pages drawn by its renderer helpers (render_client.hpp) into contexts: the
// whole pixels a page covers within the context's clip and target are drawn by a helper
// into a memory file and painted with the context's operation, onto clear pixels the
// same bytes as drawing in place. PDF pages and SVG documents alike are drawn so.
//
// A picture's cost is bounded, not only each drawing's: a page whose drawing costs much
// whatever its size (what its document's scan counts: many elements or path segments,
// dashed strokes, large images decoded at each drawing, long tint transforms) is not
// drawn again at each size an icon set asks for. Its drawings are made from a few whole
// drawings of it, at fixed sizes (kSmallestWholeSide), with the program's own resampler. Which
// way a page is drawn is decided by its document from the scan before anything is drawn,
// and the whole drawing a size is made from depends on that size alone, so that the same
// document and command give the same pixels on every run, however long each drawing took
// and in whatever order the sizes were drawn. A whole drawing the renderer cannot make for
// reasons of the drawing's own (the library reports errors drawing it, or it is beyond the
// budgets at that size) costs no size its picture: the sizes it would have made are drawn
// at their own sizes, as any page's are, each within the limits. One of them the renderer
// reports errors on too shows the page broken at any size: its other sizes are then drawn
// no more, so that such a page costs a few drawings, not one for each size. (A limit met
// stops the page, whatever way it is drawn.)
#include <cairo.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "platform/graphics/geometry.hpp"
#include "platform/graphics/render_client.hpp"

namespace platform::graphics {

class DocumentDrawing {
public:
    // The sides a page drawn from whole drawings is drawn at whole, for each axis: the
    // smallest of kSmallestWholeSide times a power of four at least as large as the size
    // asked. A drawing whose whole drawing would be larger than kMaxWholePixels (a 4096 px
    // square) is asked of a helper at its own size.
    static constexpr int kSmallestWholeSide = 256;
    static constexpr double kMaxWholePixels = double(int64_t{1} << 24);

    DocumentDrawing(std::span<const uint8_t> bytes, render::Kind kind, bool laysOutText = true);
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
        // Its drawings are made from whole drawings of it (its document decided so from
        // what its scan counted).
        bool fromWhole = false;
    };

    // Draws the page into `cr`'s group target, an image surface, through its matrix and
    // clip, with its operator. False with the reason (nothing painted) when it could not.
    bool draw(cairo_t* cr, const Page& page, RenderFailure* failure) const;

    // The whole page drawn onto clear pixels of `width` x `height`, the box filling them.
    // A drawing `ahead` (made before it is known to be wanted) that meets a limit fails
    // alone: the page's other drawings go on as they would have without it.
    std::shared_ptr<const RenderedPixels> drawWhole(const Page& page, int width, int height, RenderFailure* failure,
                                                   bool ahead = false) const;

    // The whole drawing a drawing of `wide` x `high` device pixels of a page drawn from
    // whole drawings is made from: its width and height, or none when it is drawn at its
    // own size.
    static std::optional<std::pair<int, int>> wholeSizeFor(double wide, double high);
    // Whole drawings made of page `index` so far (tests).
    int wholeDrawingsMade(int index) const;

    // Whether a drawing of a document of `kind` over `pixels` device pixels that holds
    // `bytes` fits a helper; false with the reason when it does not.
    static bool fitsTheRenderer(render::Kind kind, double bytes, double pixels, RenderFailure* failure);
    // A request's matrix, and its clip: device rectangles moved by (-dx, -dy), an empty
    // clip (which shows nothing) as one rectangle of no area.
    static void setMatrix(render::Request& request, const cairo_matrix_t& m);
    static void setClip(render::Request& request, std::span<const Rect> clip, double dx = 0, double dy = 0);

private:
    // The whole drawings of a page, by their size, those the renderer could not make, and
    // those under way (others of that size wait for them).
    struct Wholes {
        std::map<std::pair<int, int>, std::shared_ptr<const RenderedPixels>> drawn;
        std::map<std::pair<int, int>, RenderFailure> failed;
        std::set<std::pair<int, int>> drawing;
        // Why a size drawn at its own size after its whole drawing failed failed too.
        std::optional<RenderFailure> brokenAtOwnSize;
    };

    // Asks a helper for `request` (its pixels cover `pixels` of the page's) within the
    // renderer's and the drawing budget's limits; *refused is set when it is beyond them at
    // that size and was not asked.
    std::shared_ptr<const RenderedPixels> ask(const Page& page, render::Request request, double pixels,
                                              RenderFailure* failure, bool ahead = false,
                                              bool* refused = nullptr) const;
    std::shared_ptr<const RenderedPixels> drawWhole(const Page& page, int width, int height, RenderFailure* failure,
                                                   bool ahead, bool* refused) const;
    // ask() for a size of a page drawn from whole drawings whose whole drawing failed.
    std::shared_ptr<const RenderedPixels> askAfterWhole(const Page& page, const render::Request& request,
                                                        double pixels, RenderFailure* failure) const;
    // Whether the page proved broken at its own sizes too, and why (into *failure, if given).
    bool brokenAtOwnSize(int index, RenderFailure* failure) const;
    // Paints the page from its whole drawing, made smaller to the size asked.
    bool paintFromWhole(cairo_t* cr, const Page& page, const RenderedPixels& whole, RenderFailure* failure) const;
    // The page's whole drawing of that size: kept, or drawn now (once); null with the
    // reason when it could not be drawn, *ownSizes set when the sizes made from it are to be
    // drawn at their own instead (it was beyond the limits at its size, or the renderer
    // reported errors drawing it; not a limit met, which stops the page, nor a stopped
    // conversion).
    std::shared_ptr<const RenderedPixels> wholeDrawing(const Page& page, std::pair<int, int> size,
                                                       RenderFailure* failure, bool* ownSizes) const;
    std::unique_ptr<RenderClient> client_;
    render::Kind kind_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wholeDrawn_;
    mutable std::map<int, Wholes> pages_;
};

}  // namespace platform::graphics
