#pragma once
// The program's side of the renderer helper (glyphwright-render): PDF pages and SVG
// documents are opened and drawn in a process of their own under an address-space limit, a processor-time limit and a
// wall-clock limit per page, so that a page nothing could measure beforehand costs at
// most its picture, never the conversion. A document keeps the helpers it started for
// its next drawings (an icon set draws many sizes of one page, several at once); the
// process keeps at most one helper a processor, and takes an idle one from another
// document when it needs one. A helper that ends, crashes or passes a limit fails the
// drawing with the reason; what it printed is read and kept out of the program's output.
// A page a limit stopped is not drawn again by its document: the drawings of it under
// way or waiting end with that limit's reason, and those asked later fail with it at
// once, so that the many sizes of an icon set cost one limit, not one each.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/picture_problem.hpp"
#include "platform/graphics/render_protocol.hpp"

namespace platform::graphics {

struct RenderFailure {
    PictureProblem problem = PictureProblem::none;
    std::string why;
};

// The time a page may take in the helper: processor time, and time in all.
struct RenderTimeLimits {
    int cpuSeconds = render::kCpuSeconds;
    int wallSeconds = render::kWallSeconds;
};

// What a drawing took: the helper's processor time and the time in all it was waited
// for, and whether it had to be drawn again at the largest memory limit.
struct DrawingCost {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    bool redrawnAtLargestLimit = false;
};

// Pixels a helper drew: width x height ARGB32 rows of width * 4 bytes, mapped from the
// memory file it drew into (copied only if written to).
class RenderedPixels {
public:
    RenderedPixels(uint8_t* data, size_t length, int width, int height)
        : data_(data), length_(length), width_(width), height_(height) {}
    ~RenderedPixels();
    RenderedPixels(const RenderedPixels&) = delete;
    RenderedPixels& operator=(const RenderedPixels&) = delete;
    uint8_t* data() const { return data_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }

private:
    uint8_t* data_;
    size_t length_;
    int width_, height_;
};

class RenderClient {
public:
    // Holds the document's bytes in a sealed memory file every helper reads; `kind` says
    // how its helpers read them.
    explicit RenderClient(std::span<const uint8_t> bytes, render::Kind kind = render::Kind::pdf);
    // Ends the helpers the document still has.
    ~RenderClient();
    RenderClient(const RenderClient&) = delete;
    RenderClient& operator=(const RenderClient&) = delete;

    // Page `page`'s crop box (x, y, width, height) and the document's page count; of an
    // SVG document, its size and viewBox as render::Reply has them. `addressSpace`: what
    // opening the document may take (0: some of its size).
    bool open(int page, int* pages, double crop[4], RenderFailure* failure, double viewBox[4] = nullptr,
              uint64_t addressSpace = 0);
    // Draws as `request` says into pixels of its size; none, with the reason, when the
    // helper could not. What the drawing took goes to *cost. While it waits for room in
    // the budget, `unwanted` may say that the drawing is no longer needed: none then, the
    // problem none.
    std::unique_ptr<RenderedPixels> pixels(const render::Request& request, RenderFailure* failure,
                                           DrawingCost* cost = nullptr,
                                           const std::function<bool()>& unwanted = {});
    // A one-page PDF of the page drawn as `request` says.
    std::optional<std::vector<uint8_t>> pdf(const render::Request& request, RenderFailure* failure);

    // The helper program's path: beside the running program, else where the build put it.
    static std::optional<std::string> helperPath();
    // Helpers alive in this process now, and started in it so far (tests).
    static int helpersAlive();
    static int helpersStarted();
    // Drawings (pixels or PDF pages) asked of helpers in this process so far (tests).
    static int drawingsAsked();
    // The limits drawings are asked under now (render::kCpuSeconds and kWallSeconds,
    // unless a test lowered them).
    static RenderTimeLimits timeLimits();

    // A started helper, as the process's list of them keeps it.
    struct Helper;

private:
    // Asks a helper, admitted against the process's RendererBudget for the request's
    // address space and the document's size (0: for opening it). A drawing stopped at a
    // memory limit below the largest is asked once more at the largest, `fd` (a memory
    // file) emptied first: alone for the first such drawing of its page, and beside
    // others only once that one came out whole. A drawing stopped at a limit otherwise
    // stops its page.
    bool call(render::Request request, int fd, render::Reply& reply, RenderFailure* failure,
              DrawingCost* cost = nullptr, const std::function<bool()>& unwanted = {});
    // `freshHelper`: a helper found ended before it was asked has been replaced once.
    bool attempt(const render::Request& request, int fd, render::Reply& reply, RenderFailure* failure,
                 bool freshHelper = false);
    // What this document's drawings are called in reasons.
    const char* what() const { return render::drawingName(kind_); }

    // What the drawings of a page have met.
    struct PageState {
        // The reason of the limit that stopped the page, once one has.
        std::optional<RenderFailure> stopped;
        // One of its drawings has been asked again alone at the largest limit.
        bool drawnAlone = false;
    };
    // The page's stop, into *failure; false while it has none.
    bool stoppedPage(int page, RenderFailure* failure = nullptr) const;
    // Stops the page with `failure`, unless it is stopped already; *failure becomes the
    // page's reason either way.
    void stopPage(int page, RenderFailure* failure);
    // Whether this drawing is the page's one to be asked again alone.
    bool claimDrawingAlone(int page);

    int documentFd_ = -1;
    size_t documentBytes_ = 0;
    render::Kind kind_ = render::Kind::pdf;
    std::string setupError_;
    PictureProblem setupProblem_ = PictureProblem::unreadable;
    mutable std::mutex pagesMutex_;
    std::map<int, PageState> pages_;
};

}  // namespace platform::graphics
