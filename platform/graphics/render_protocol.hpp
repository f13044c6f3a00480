#pragma once
// What the program and its renderer helper (glyphwright-render) say to each other. The
// helper is started once a run for each kind of document, with the drawing libraries
// loaded, and waits on its socket (descriptor 3). For each drawing the program sends it
// a Spawn record with two sockets of the drawing's own, the document's bytes, the
// drawing's standard error and, for pixels or a PDF, the memory file to draw into; the
// helper hands all but the first to a process forked for that drawing alone, which sets
// its limits and its filter of system calls before it opens the document, answers with a
// Reply on the second socket (the answer's, which only the drawing writes) and ends. On
// the first (the status socket, which only the helper writes) the helper says which
// process draws (Started, with a pidfd of it), that it still runs every second or so
// (Progress) and, once it has ended, how (Ended). A drawing the program no longer wants
// is ended by shutting down the status socket for writing. A record is known by the
// socket it came on: nothing a drawing sends can pass for the helper's word.
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

// A drawing asked of the helper, with its descriptors (SCM_RIGHTS, in the order of
// SpawnFd): the helper keeps the status socket and hands the others to the drawing's
// process.
struct Spawn {
    Request request;
    // The time in all the drawing may go without progress (Headway::stalled): the helper
    // kills it then.
    int32_t wallSeconds = kWallSeconds;
    int32_t hasOutput = 0;
    // The document lays out text: an SVG helper sets its fonts up (once) before it forks
    // the drawing's process, rather than each such process setting them up for itself.
    // Only the drawing's cost depends on it, never what it draws.
    int32_t laysOutText = 1;
};
enum SpawnFd { kStatusFd = 0, kAnswerFd = 1, kDocumentFd = 2, kPrintedFd = 3, kOutputFd = 4, kSpawnFds = 5 };

// On the status socket, once the helper has handed the drawing to its process: which
// process that is, with a pidfd of it (SCM_RIGHTS), so that the program can keep the
// drawing's limits itself and end it whatever its helper does.
struct Started {
    int32_t drawing = 0;
    int32_t reserved = 0;
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
static_assert(sizeof(Started) != sizeof(Ended) && sizeof(Started) != sizeof(Progress) &&
                  sizeof(Progress) != sizeof(Ended),
              "the helper's records are told apart by their size");
inline constexpr double kProgressSeconds = 1.0;

// Sends the record of `size` bytes at `record` on `socket` with the `count` descriptors
// `fds` (SCM_RIGHTS), without waiting for room; 0, or the error (EAGAIN: the receiver has
// not taken what it was sent before).
int sendRecord(int socket, const void* record, size_t size, const int* fds, int count);
// Receives one record of at most `size` bytes into `record` from `socket` (recvmsg()
// `flags`), and the descriptors that came with it into `fds`, -1 where none did; its
// length, as recvmsg() answers. Descriptors past `most`, and those the system could not
// hand over for want of room here, are lost: `*lost` says so.
ssize_t receiveRecord(int socket, void* record, size_t size, int* fds, int most, int flags, bool* lost);

// Seconds on the monotonic clock.
double monotonicSeconds();

// How a process gets on, from what the kernel counts of each of its threads
// (/proc/<pid>/task/*/schedstat: the time it ran and the time it waited for a processor;
// and its state), looked at now and then. Two measures of time in all follow, neither of
// which a machine busy with other work can run out:
// - taken(): the time it ran, slept, was blocked or stopped, since it was first looked at:
//   the time its threads waited for a processor is not counted, nor is a look's span in
//   which it did not run while a thread of it was waiting for one (the kernel counts a
//   wait only once it has ended).
// - stalled(): the time it went without progress: the spans between looks in which it
//   neither ran nor waited for a processor (stopped, asleep, blocked), added up.
// Where the kernel tells neither, both are the time in all.
// Whether `pid` is stopped now (by a signal, or by a tracer): a stopped process makes no
// headway through no fault of what it runs.
bool processStopped(pid_t pid);

class Headway {
public:
    Headway() = default;
    explicit Headway(pid_t pid) : pid_(pid), at_(monotonicSeconds()), last_(count()) {}
    // Of a process that began waiting for processors `since` (a fresh one): nothing is
    // read of it until it is first looked at.
    Headway(pid_t pid, double since) : pid_(pid), at_(since) {}
    // Looks at the process now.
    void look();
    double taken() const { return taken_; }
    double stalled() const { return stalled_; }

private:
    struct Counts {
        uint64_t ran = 0, waited = 0;  // nanoseconds, of its threads added up
        bool operator==(const Counts&) const = default;
    };
    Counts count() const;
    // Whether a thread of it is running or waiting for a processor now.
    bool runnable() const;

    pid_t pid_ = -1;
    double at_ = 0;
    Counts last_;
    double taken_ = 0;
    double stalled_ = 0;
};

}  // namespace platform::graphics::render
