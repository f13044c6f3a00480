#pragma once
// What the program and its renderer helper (glyphwright-render) say to each other over
// their socket: fixed-size records, one a message, files beside them as descriptors.
// The helper is started with the document's bytes on descriptor 4 and the socket on 3;
// pixels and PDF bytes travel in a memory file the program makes and hands over with
// each request, so that no large buffer is copied.
#include <cstdint>

namespace platform::graphics::render {

inline constexpr int kSocketFd = 3;
inline constexpr int kDocumentFd = 4;

// The helper's hard limits. Its address space holds its libraries, the pixels it draws
// into, and what poppler decodes and cairo keeps while drawing: the largest drawing the
// page budgets let through (an image of 2^26 pixels decoded whole, beside a 1024 x 1024
// icon) needs some 450 MiB. Each drawing gets a limit of its own up to
// kAddressSpaceBytes (see RendererBudget). Each page may use kCpuSeconds of processor
// time, counted by the helper's kernel, and kWallSeconds in all, counted by the program.
inline constexpr uint64_t kAddressSpaceBytes = uint64_t{640} << 20;
inline constexpr int kCpuSeconds = 5;
inline constexpr int kWallSeconds = 10;

// Rectangles a clip may be made of and still be handed over as it is.
inline constexpr int kMaxClipRects = 16;

enum class Op : uint32_t {
    open = 1,    // the page count and page's crop box
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
    // Cairo's matrix from poppler's page space (y down from the crop box's top-left
    // corner) to the pixels (or the PDF page, y down).
    double matrix[6] = {1, 0, 0, 1, 0, 0};
    // Device-space rectangles (x, y, width, height) the drawing is clipped to; none
    // means unclipped.
    int32_t clipCount = 0;
    double clip[kMaxClipRects][4] = {};
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
    double crop[4] = {};  // x, y, width, height in PDF units
    uint64_t bytes = 0;   // pdf: the document's length in the memory file
    char text[464] = {};  // poppler's first report, or why it failed
};

}  // namespace platform::graphics::render
