#pragma once
// The program's side of the renderer helper (glyphwright-render): PDF pages and SVG
// documents are opened and drawn in processes of their own under an address-space limit,
// a processor-time limit and a wall-clock limit per drawing, so that a page nothing could
// measure beforehand costs at most its picture, never the conversion. One helper of each
// kind is started for the run with its libraries loaded, and forks a fresh process for
// each drawing, which sets that drawing's limits before it opens the document; at most
// one drawing a processor runs at once. A drawing that ends, crashes or passes a limit
// fails with the reason; what it printed is read and kept out of the program's output. A
// helper that cannot be started (missing, not a program, not allowed to run) fails the
// drawing with that reason, naming it.
// A page a limit stopped is not drawn again by its document: the drawings of it under
// way or waiting end with that limit's reason, and those asked later fail with it at
// once, so that the many sizes of an icon set cost one limit, not one each. A drawing
// asked as `ahead` (one made before it is known to be wanted) stops nothing but itself.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/graphics/picture_problem.hpp"
#include "platform/graphics/render_protocol.hpp"

namespace platform::graphics {

struct RenderFailure {
    PictureProblem problem = PictureProblem::none;
    std::string why;
};

// The time a drawing may take in the helper: processor time, and time in all.
struct RenderTimeLimits {
    int cpuSeconds = render::kCpuSeconds;
    int wallSeconds = render::kWallSeconds;
    bool operator==(const RenderTimeLimits&) const = default;
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
    // Holds the document's bytes in a sealed memory file every drawing reads; `kind` says
    // which helper draws them. `laysOutText`: whether the document may draw text (see
    // render::Spawn), as its scan found.
    explicit RenderClient(std::span<const uint8_t> bytes, render::Kind kind = render::Kind::pdf,
                          bool laysOutText = true);
    ~RenderClient();
    RenderClient(const RenderClient&) = delete;
    RenderClient& operator=(const RenderClient&) = delete;

    // Page `page`'s crop box (x, y, width, height) and the document's page count; of an
    // SVG document, its size and viewBox as render::Reply has them. `addressSpace`: what
    // opening the document may take (0: some of its size).
    bool open(int page, int* pages, double crop[4], RenderFailure* failure, double viewBox[4] = nullptr,
              uint64_t addressSpace = 0);
    // Draws as `request` says into pixels of its size; none, with the reason, when the
    // helper could not. A drawing `ahead` that meets a limit fails alone: its page is not
    // stopped (nor is it stopped by its page).
    std::unique_ptr<RenderedPixels> pixels(const render::Request& request, RenderFailure* failure, bool ahead = false);
    // A one-page PDF of the page drawn as `request` says.
    std::optional<std::vector<uint8_t>> pdf(const render::Request& request, RenderFailure* failure);

    // Starts the helper of `kind` in the background, if it is not running: a program that
    // is about to read a document of that kind, so that the helper's start and the loading
    // of its libraries overlap the reading.
    static void prepare(render::Kind kind);
    // The same for a file about to be read, by its name's extension (none for a bitmap).
    static void prepareFor(std::string_view fileName);
    // The kind of helper that draws the file of that name, by its extension; none for a
    // bitmap, which the program decodes itself.
    static std::optional<render::Kind> kindFor(std::string_view fileName);

    // The helper program's path: beside the running program. (A test or benchmark
    // program of the build, which has none beside it, uses the one the build made.)
    static std::string helperPath();
    // Drawings under way in this process now, and processes started for drawings in it so
    // far, the opening of documents included (tests).
    static int helpersAlive();
    static int helpersStarted();
    // The helpers' own processes, one for each kind of document drawn so far, and that of
    // one kind (0 when none runs) (tests).
    static std::vector<int> helperProcesses();
    static int helperProcess(render::Kind kind);
    // Drawings (pixels or PDF pages) asked of helpers in this process so far (tests).
    static int drawingsAsked();
    // The limits drawings are asked under now (render::kCpuSeconds and kWallSeconds,
    // unless a test lowered them).
    static RenderTimeLimits timeLimits();
    // Sets the limits drawings of this process are asked under, whatever they are; none:
    // those above. For tests of one limit, which give the other room enough that a loaded
    // machine cannot meet it first.
    static void setTimeLimitsForTests(std::optional<RenderTimeLimits> limits);

private:
    // Asks a helper, admitted against the process's RendererBudget for the request's
    // address space and the document's size (0: for opening it). A drawing stopped at a
    // memory limit below the largest is asked once more at the largest, `fd` (a memory
    // file) emptied first: alone for the first such drawing of its page, and beside
    // others only once that one came out whole. A drawing stopped at a limit otherwise
    // stops its page.
    bool call(render::Request request, int fd, render::Reply& reply, RenderFailure* failure, bool ahead = false);
    // One drawing's process: started through the helper, waited for, and told; asked once
    // more when its helper was lost meanwhile, and a few times as other drawings end when
    // there was no room for its process.
    bool attempt(const render::Request& request, int fd, render::Reply& reply, RenderFailure* failure,
                 bool ahead);
    // How one try of a drawing came out.
    enum class Try {
        drawn,
        failed,
        rendererLost,  // its helper ended or stopped answering, or its process was killed from outside
        noProcess,     // no process or thread could be made for it (the user's limit of processes)
    };
    Try tryOnce(const render::Request& request, int fd, render::Reply& reply, RenderFailure* failure, bool ahead);
    // What this document's drawings are called in reasons.
    const char* what() const { return render::drawingName(kind_); }

    // What the drawings of a page have met.
    struct PageState {
        // The reason of the limit that stopped the page, once one has.
        std::optional<RenderFailure> stopped;
        // One of its drawings has been asked again alone at the largest limit.
        bool drawnAlone = false;
    };
    // The page's stop, into *failure; false while it has none (always for a drawing ahead).
    bool stoppedPage(int page, RenderFailure* failure = nullptr, bool ahead = false) const;
    // Stops the page with `failure`, unless it is stopped already; *failure becomes the
    // page's reason either way.
    void stopPage(int page, RenderFailure* failure);
    // Whether this drawing is the page's one to be asked again alone.
    bool claimDrawingAlone(int page);

    int documentFd_ = -1;
    size_t documentBytes_ = 0;
    render::Kind kind_ = render::Kind::pdf;
    bool laysOutText_ = true;
    std::string setupError_;
    PictureProblem setupProblem_ = PictureProblem::unreadable;
    mutable std::mutex pagesMutex_;
    std::map<int, PageState> pages_;
};

}  // namespace platform::graphics
