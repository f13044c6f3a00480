#pragma once
// What drawing an SVG document will cost, read from its markup before the renderer
// parses it. The renderer cannot be stopped once it draws, and it trusts the document:
// it expands entities, keeps every element, draws a referenced element at each use,
// gives each mask, filter and pattern a pixel surface of the drawing's size, runs
// filters with whatever parameters they state, and leaves out an embedded picture it
// cannot decode without a word. The scan counts all of that, with every reference
// followed as often as it is drawn, so the budgets are kept before anything runs.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

struct SvgCosts {
    // Elements the renderer keeps in memory, entities expanded.
    uint64_t elements = 0;
    // Elements drawn, each referenced one as often as it is used.
    double drawnElements = 0;
    // The vertices of the shapes drawn (path points and segments' ends), as often as they
    // are drawn, and of those stroked with dashes: work at every drawing, whatever its size.
    double drawnVertices = 0;
    double dashedVertices = 0;
    // Characters laid out in all, and in the largest single text element.
    double textCharacters = 0;
    double longestText = 0;
    // Passes over a pixel surface of the whole drawing: each mask, filter primitive
    // (weighted by its work), pattern tile and group drawn with opacity.
    double effectPasses = 0;
    // The work of morphology filters, which grows with the square of their radius in
    // pixels: passes at one pixel per user unit, to be scaled by the square of the
    // pixels a user unit covers when drawn.
    double morphologyPasses = 0;
    // The most such surfaces held at one time.
    double effectDepth = 0;
    // Pixels of the embedded pictures, each decoded once per drawing handle, and drawn
    // (as often as they are used).
    int64_t embeddedPixels = 0;
    double embeddedPixelsDrawn = 0;
};

// Where the scan itself stops: past these a document is refused without reading on.
struct SvgScanLimits {
    uint64_t expandedBytes = 0;  // markup read, entities expanded
    uint64_t elements = 0;
    int64_t embeddedPixels = 0;  // decoded to check the embedded pictures
};

// None, with the reason, when the markup is beyond the limits or what may be read at
// all (entities nested or looping, parameter entities, elements or references nested
// too deeply), or when an embedded picture cannot be drawn and would be left out:
// damaged, of a format the renderer cannot take as labelled, or too large.
std::optional<SvgCosts> scanSvg(std::span<const uint8_t> bytes, const SvgScanLimits& limits, std::string* error,
                                PictureProblem* problem);

// XML's white space (space, tab, line feed, carriage return), and `text` without it at
// either end: what the scan and the plain reading of a document's size skip alike.
bool isXmlSpace(char c);
std::string_view trimXmlSpace(std::string_view text);

}  // namespace platform::graphics
