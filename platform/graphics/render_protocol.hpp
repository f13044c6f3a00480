#pragma once
// What the program and its renderer helper (glyphwright-render) say to each other over
// their socket: fixed-size records, one a message, files beside them as descriptors.
// The helper is started with the document's bytes on descriptor 4, the socket on 3 and
// the document's kind as its second argument; pixels and PDF bytes travel in a memory
// file the program makes and hands over with each request, so that no large buffer is
// copied.
#include <cstdint>

namespace platform::graphics::render {

inline constexpr int kSocketFd = 3;
inline constexpr int kDocumentFd = 4;
// A page of memory the program and the helper share (the helper maps it and closes the
// descriptor as it starts): the helper marks in it what the program must know however
// the helper ends. A library that finds an allocation refused may crash in ways no
// handler of the helper's sees (the stack it would run on cannot grow either).
inline constexpr int kSharedFd = 5;

struct Shared {
    // An allocation was refused at the address-space limit.
    volatile int32_t allocationRefused = 0;
};

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
// kAddressSpaceBytes (see RendererBudget). Each page may use kCpuSeconds of processor
// time, counted by the helper's kernel, and kWallSeconds in all, counted by the program.
inline constexpr uint64_t kAddressSpaceBytes = uint64_t{640} << 20;
// librsvg and the libraries it brings (text layout, the fonts' caches) map this much
// more than poppler's: an SVG document's helper has that much more address space, none
// of it memory its drawings can hold, so that an SVG drawing has the room a PDF page has.
inline constexpr uint64_t kSvgLibraryBytes = uint64_t{160} << 20;
inline constexpr uint64_t mappedBeyond(Kind kind) { return kind == Kind::svg ? kSvgLibraryBytes : 0; }
inline constexpr int kCpuSeconds = 5;
inline constexpr int kWallSeconds = 10;

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

}  // namespace platform::graphics::render
