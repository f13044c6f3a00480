#pragma once
// What the program and its renderer helper (glyphwright-render) say to each other. The
// helper is started once a run for each kind of document, with the drawing libraries
// loaded, and waits on its socket (descriptor 3). For each drawing the program sends it
// a Spawn record with the drawing's own socket, the document's bytes, the drawing's
// standard error and, for pixels or a PDF, the memory file to draw into; the helper
// forks a process for that drawing alone, which sets its limits before it opens the
// document, answers with a Reply on the drawing's socket and ends. While it runs the
// helper says so on the same socket every second or so (a Progress record), and once it
// has ended tells how, with an Ended record. A drawing the program no longer wants is
// ended by shutting down its socket for writing.
#include <sys/types.h>

#include <cstdint>

namespace platform::graphics::render {

// The helper's socket, as it is started. (A drawing's process keeps its descriptors at
// the numbers they arrived at: the libraries the helper loaded may hold some, a font's
// file for one, which its drawings go on using.)
inline constexpr int kSocketFd = 3;

// What the document is: a PDF (drawn by poppler) or an SVG document (drawn by librsvg,
// which the helper opens only for one).
enum class Kind : int32_t { pdf = 0, svg = 1 };

inline const char* kindArgument(Kind kind) { return kind == Kind::svg ? "svg" : "pdf"; }
// What a drawing of a document of `kind` is called in reasons.
inline const char* drawingName(Kind kind) { return kind == Kind::svg ? "the SVG document" : "the PDF page"; }

// The helper's hard limits. Its address space holds its libraries, the pixels it draws
// into, and what poppler decodes and cairo keeps while drawing: the largest drawing the
// page budgets let through (an image of 2^26 pixels decoded whole, beside a 1024 x 1024
// icon) needs some 450 MiB. Each drawing gets a limit of its own up to
// kAddressSpaceBytes (see RendererBudget). Each drawing may use kCpuSeconds of processor
// time, counted by the kernel for its process alone, and kWallSeconds in all.
inline constexpr uint64_t kAddressSpaceBytes = uint64_t{640} << 20;
// librsvg and the libraries it brings (text layout, the fonts' configuration and caches)
// map this much more of a drawing's address space than poppler's: an SVG helper maps some
// 100 MiB where a PDF one maps 30, and the threads librsvg draws effects on take a few MiB
// each. It is within the same limit: an SVG drawing has that much less room than a PDF
// page's, and the budget of drawings at once does not count it (the libraries' files are
// shared by every drawing).
inline constexpr uint64_t kSvgLibraryBytes = uint64_t{96} << 20;
inline constexpr uint64_t mappedBeyond(Kind kind) { return kind == Kind::svg ? kSvgLibraryBytes : 0; }
inline constexpr int kCpuSeconds = 5;
inline constexpr int kWallSeconds = 10;

// How many drawings a program has drawn at once: one a processor it may run on, 2 to 8.
// The helper keeps as many processes forked ahead, so that drawings asked at once (a
// batch's pictures, an icon set's sizes) do not wait for the helper to fork them.
inline int drawingsAtOnce(int processors) { return processors < 2 ? 2 : processors > 8 ? 8 : processors; }

// Rectangles a clip may be made of and still be handed over as it is.
inline constexpr int kMaxClipRects = 16;
// A clip of another shape is handed over as the paths it was made of, in device space:
// drawn into a layer and painted through the program's clip, the layer's edges where
// they meet the clip's would be smoothed twice.
inline constexpr int kMaxClipPathElements = 96;

struct PathElement {
    enum Type : int32_t { move = 0, line = 1, curve = 2, close = 3, clipWinding = 4, clipEvenOdd = 5 };
    int32_t type = move;
    double points[6] = {};
};

enum class Op : uint32_t {
    open = 1,    // the page count and page's crop box; an SVG document's size and viewBox
    raster = 2,  // draw page into width x height ARGB32 pixels in the memory file
    pdf = 3,     // write a one-page PDF of page into the memory file
};

struct Request {
    Op op = Op::open;
    int32_t page = 0;
    // The address space the helper may have while it answers; 0 for kAddressSpaceBytes.
    // (RenderClient adds the document's own size to what its callers ask for.)
    uint64_t addressSpace = 0;
    // raster: the pixels' size (rows of width * 4 bytes); pdf: unused.
    int32_t width = 0, height = 0;
    // pdf: the page's size in points.
    double pageWidth = 0, pageHeight = 0;
    // svg: the viewport the document is drawn into, in its own units (y down from 0, 0).
    double viewportWidth = 0, viewportHeight = 0;
    // Cairo's matrix from poppler's page space (y down from the crop box's top-left
    // corner), or the SVG document's, to the pixels (or the PDF page, y down).
    double matrix[6] = {1, 0, 0, 1, 0, 0};
    // Device-space rectangles (x, y, width, height) the drawing is clipped to; none
    // means unclipped.
    int32_t clipCount = 0;
    double clip[kMaxClipRects][4] = {};
    // Then the paths it is clipped to, each ended by a clip element; none means none.
    int32_t clipPathCount = 0;
    PathElement clipPath[kMaxClipPathElements] = {};
    // The processor time the helper may spend on this request, 1 to kCpuSeconds.
    int32_t cpuSeconds = kCpuSeconds;
};

// Exit statuses and reply codes of the helper.
enum class Status : int32_t {
    ok = 0,
    cannotOpen = 1,    // poppler cannot open the document or the page
    incomplete = 2,    // poppler reported errors while drawing, or cairo failed
    memoryLimit = 3,   // an allocation failed at the address-space limit
    badRequest = 4,
    unconfined = 5,    // the drawing could not be kept from starting processes
};

struct Reply {
    Status status = Status::ok;
    int32_t pages = 0;
    // open: x, y, width, height in PDF units; of an SVG document, 0, 0 and its size in
    // pixels at 72 dots per inch when it states an absolute one, else all 0.
    double crop[4] = {};
    // open, of an SVG document: its viewBox (x, y, width, height), all 0 without one.
    double viewBox[4] = {};
    uint64_t bytes = 0;      // pdf: the document's length in the memory file
    double cpuSeconds = 0;   // the processor time the request took
    char text[432] = {};     // poppler's or librsvg's first report, or why it failed
};

// A drawing asked of the helper, with its descriptors (SCM_RIGHTS): the drawing's socket,
// the document, the drawing's standard error and, when `hasOutput`, the memory file.
struct Spawn {
    Request request;
    // The time in all the drawing may take, the time it waited for a processor not
    // counted (TimeTaken): the helper kills it then.
    int32_t wallSeconds = kWallSeconds;
    int32_t hasOutput = 0;
    // The document lays out text: an SVG helper sets its fonts up (once) before it forks
    // the drawing's process, rather than each such process setting them up for itself.
    // Only the drawing's cost depends on it, never what it draws.
    int32_t laysOutText = 1;
};

// How a drawing's process ended, sent by the helper once it has reaped it.
struct Ended {
    int32_t waitStatus = 0;
    // It asked for memory past its address-space limit and was refused.
    int32_t allocationRefused = 0;
    // Its time in all ran out.
    int32_t pastWallClock = 0;
    // The helper could not fork it (errno); it never ran.
    int32_t forkError = 0;
    // The kernel ended it at its processor time limit.
    int32_t pastProcessorTime = 0;
    // A thread it asked for was refused for want of processes (the user's limit of
    // processes counts threads).
    int32_t threadRefused = 0;
};
// What the helper says on its own socket before it ends for want of a thread of its own
// (the libraries make some as they set up, and give up without one).
struct HelperNote {
    int32_t threadError = 0;
};
// What a drawing's process marks in the page it shares with the helper.
inline constexpr int32_t kAllocationRefused = 1, kThreadRefused = 2;

// The helper's word that a drawing still runs, said about once a second while it does: a
// helper that says nothing for as long as a drawing's time in all (time it waited for a
// processor not counted) has stopped answering.
struct Progress {
    int32_t drawing = 0;  // the drawing's process
};
static_assert(sizeof(Ended) != sizeof(Reply) && sizeof(Progress) != sizeof(Reply) &&
                  sizeof(Progress) != sizeof(Ended),
              "the records are told apart by their size");
inline constexpr double kProgressSeconds = 1.0;

// Sends `spawn` on `socket` with its descriptors (the memory file only when it has one),
// without waiting for room; 0, or the error (EAGAIN: the receiver has not taken what it was
// sent before).
int sendSpawn(int socket, const Spawn& spawn, const int (&fds)[4]);

// Seconds on the monotonic clock.
double monotonicSeconds();

// The time a process has taken since it was first looked at, less the time its threads
// waited for a processor (the kernel's run-queue delay, in /proc/<pid>/task/*/schedstat):
// the time it ran, slept, was blocked or stopped. A machine busy with other work adds
// nothing to it; where the kernel does not tell the delay, it is the time in all.
class TimeTaken {
public:
    TimeTaken() = default;
    explicit TimeTaken(pid_t pid) : pid_(pid), at_(monotonicSeconds()), waited_(runQueueWait()) {}
    // Of a process that began waiting for processors `since` (a fresh one): nothing is
    // read of it until the time is asked for.
    TimeTaken(pid_t pid, double since) : pid_(pid), at_(since) {}
    // The seconds taken so far.
    double seconds();

private:
    // Nanoseconds the process's threads waited for a processor, added up.
    uint64_t runQueueWait() const;

    pid_t pid_ = -1;
    double at_ = 0;
    uint64_t waited_ = 0;
    double taken_ = 0;
};

}  // namespace platform::graphics::render
