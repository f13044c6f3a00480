#pragma once
// What drawing a PDF page will cost, read from the document before poppler draws it.
// Poppler draws a page in one call that cannot be stopped: it runs every operator of
// the page's contents, every form as often as it is drawn (forms drawing forms
// multiply), decodes every image whole each time it is drawn, and gives each
// transparency group and soft mask a pixel surface of its own. The scan follows the
// document as poppler does (cross-reference sections, object streams, the page tree,
// resources, forms, patterns, Type 3 glyphs, inline images) and counts all of it, each
// form's cost once and then multiplied by its uses, so that budgets are kept before
// anything is drawn.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

struct PdfPageCosts {
    // Operators run, every form, pattern and glyph procedure as often as it is drawn.
    double operators = 0;
    // Those among them that paint: fills, strokes, shadings, images and text shown.
    double paints = 0;
    // Image pixels decoded, every image as often as it is drawn, and of the largest.
    double imagePixels = 0;
    int64_t largestImage = 0;
    // Transparency groups and soft masks drawn, each through a pixel surface of the
    // page's size, and the most of them held at once.
    double groups = 0;
    double groupDepth = 0;
    // Shadings painted (with `sh` or as the colour of what is filled or stroked), and
    // the share of the page they cover, each paint as far as its clip reaches, weighted
    // by what a pixel of its kind costs (kShadingPixelWeights).
    double shadingPaints = 0;
    double shadingCover = 0;
    // Their functions' work: poppler parses a shading's functions at each paint and
    // evaluates them many times (kShadingEvaluations), each evaluation running every
    // operator of a calculator function and every function a stitching one holds.
    double functionWork = 0;
    // Patches and triangles of mesh shadings drawn, and the bytes that poppler and cairo
    // hold for the largest mesh while it is drawn.
    double meshElements = 0;
    double largestMesh = 0;
    // The work of tint transforms (Separation and DeviceN colours, set, painted and as
    // image pixels) and transfer functions (set with a graphics state or a soft mask):
    // parsed at each use and evaluated as often as poppler evaluates them.
    double tintWork = 0;
    // Tiling patterns whose tile cairo repeats from a surface of its own: the largest
    // tile's area as a share of the page's, and the narrowest tile's side as a share
    // of the page's longer side.
    double largestTile = 0;
    double finestTile = 1;
    // Segments of lines stroked with dashes, every form as often as it is drawn: cut into
    // dashes at every drawing, whatever its size.
    double dashedSegments = 0;
};

// What a pixel of a shading costs to fill, next to a linear gradient's: radial and
// function-based shadings are drawn through pixman's slower paths, meshes patch by patch.
struct ShadingPixelWeights {
    static constexpr double axial = 1, radial = 32, functionBased = 32, mesh = 64;
};

// How often poppler evaluates a shading's function at one paint, by shading type:
// function-based ones on a grid it subdivides, axial and radial ones for colour stops
// (radial ones more as they grow); meshes at each vertex or patch corner.
struct ShadingEvaluations {
    static constexpr double functionBased = 1 << 17, axial = 1 << 10, radial = 1 << 13;
};

// Inflates a zlib stream chunk by chunk into `out` until it ends, is damaged (what came
// before stands, as poppler has it) or `out` answers false; false in that last case.
bool inflateStream(std::string_view data, const std::function<bool(std::string_view)>& out);

// Forms nested deeper than this are refused: a real drawing nests a few.
inline constexpr int kMaxPdfFormDepth = 32;

// Where the scan stops and refuses the page, as soon as a count passes its limit.
struct PdfScanLimits {
    uint64_t decodedBytes = 0;  // of all streams read
    // Entries the cross-reference sections list, in use or free, every section counted (a
    // damaged file's objects found one by one too); 0 for no limit.
    double crossReferences = 0;
    double operators = 0;
    double paints = 0;
    double imagePixels = 0;
    double shadingPaints = 0;
    double functionWork = 0;
    double meshElements = 0;
    double tintWork = 0;
    // Samples of one sampled function (poppler holds each as a double).
    double functionSamples = 0;
    // Tiles a tiling pattern may take across the page's longer side: cairo cannot draw
    // a tile much finer than a pixel (its pattern matrices are fixed-point).
    double tilesAcross = 0;
};

// Functions nested deeper than this are refused: poppler parses them recursively.
inline constexpr int kMaxPdfFunctionDepth = 32;

// The costs of page `pageIndex` (0-based), or none with the reason: the document is
// encrypted (its contents cannot be read before poppler decrypts them), its page
// cannot be found, its costs pass the limits, a page's contents use a filter meant for
// images, its forms or functions nest too deeply, or an image's own codec declares a
// bitmap beyond the pixel limits (too large).
std::optional<PdfPageCosts> scanPdfPage(std::span<const uint8_t> bytes, int pageIndex, const PdfScanLimits& limits,
                                        std::string* error, PictureProblem* problem);

}  // namespace platform::graphics
