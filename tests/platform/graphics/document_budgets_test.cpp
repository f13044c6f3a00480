// The work a PDF page or SVG drawing asks for is found wherever the document puts it
// (object streams, broken cross-references, filter chains, glyph procedures, patterns,
// style sheets, references, entities, embedded documents) and refused before poppler or
// librsvg runs; a drawing that is affordable at one size but not at a larger one is
// refused when it is drawn at that size; drawings share one memory budget.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/graphics/drawing_budget.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/pdf_document.hpp"
#include "platform/graphics/svg_document.hpp"
#include "support/picture_samples.hpp"

namespace {

namespace pg = platform::graphics;
namespace samples = gwtest::samples;
using samples::Bytes;
using samples::bytesOf;
using P = pg::PictureProblem;
using samples::nestedFormObjects;
using samples::pdfInObjectStream;
using samples::pdfOfObjects;

// The PDF with every cross-reference offset wrong: readers rebuild them from the file.
Bytes withBrokenCrossReferences(Bytes pdf) {
    const std::string text(pdf.begin(), pdf.end());
    for (size_t at = text.find(" 00000 n "); at != std::string::npos; at = text.find(" 00000 n ", at + 1)) {
        for (size_t i = at - 10; i < at; ++i) pdf[i] = '7';
    }
    return pdf;
}

std::string repeated(const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (const uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out + ">";
}

// A page showing one glyph of a Type 3 font whose procedure draws `levels` forms deep,
// `fanout` each.
Bytes type3Pdf(int levels, int fanout) {
    auto objects = nestedFormObjects(levels, fanout);
    objects[2] = bytesOf(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents 4 0 R /Resources << /Font "
        "<< /T " +
        std::to_string(objects.size() + 1) + " 0 R >> >> >>");
    objects[3] = samples::pdfStream("", bytesOf("BT /T 12 Tf (a) Tj ET"));
    objects.push_back(
        bytesOf("<< /Type /Font /Subtype /Type3 /FontBBox [0 0 1 1] /FontMatrix [0.01 0 0 0.01 0 0] "
                "/CharProcs << /a " +
                std::to_string(objects.size() + 2) +
                " 0 R >> /Encoding << "
                "/Differences [97 /a] >> /FirstChar 97 /LastChar 97 /Widths [100] /Resources << "
                "/XObject << /F 5 0 R >> >> >>"));
    objects.push_back(samples::pdfStream("", bytesOf("100 0 d0 /F Do")));
    return pdfOfObjects(objects);
}

struct Document {
    std::string name;
    Bytes bytes;
    P expected;  // none: it is drawn
};

pg::PictureProblem loadPdf(const Bytes& bytes, std::string* why) {
    P problem = P::none;
    const auto image = pg::Image::fromData(bytes, why, &problem);
    if (image) {
        const auto bitmap = image->renderBitmap(64, 64);
        if (!bitmap) return P::incompleteRender;
    }
    return image ? P::none : problem;
}

TEST(DocumentBudgets, WorkAPdfPageHidesAnywhereIsFoundBeforePopplerDrawsIt) {
    const std::string patternFill = "/Pattern cs /P scn " + repeated("0 0 10 10 re f ", 2000);
    auto patternPage = [&](int tileFills) {
        auto objects = samples::pdfPage(100, 100, "<< /Pattern << /P 5 0 R >> >>");
        objects.push_back(samples::pdfStream("", bytesOf(patternFill)));
        objects.push_back(
            samples::pdfStream("/PatternType 1 /PaintType 1 /TilingType 1 /BBox [0 0 10 10] /XStep 10 "
                               "/YStep 10 /Resources << >>",
                               bytesOf(repeated("0 0 1 1 re f ", tileFills))));
        return pdfOfObjects(objects);
    };
    auto maskedPage = [&](int times) {
        auto objects =
            samples::pdfPage(100, 100, "<< /ExtGState << /M << /SMask << /S /Luminosity /G 5 0 R >> >> >> >>");
        objects.push_back(samples::pdfStream("", bytesOf(repeated("q /M gs 0 0 100 100 re f Q ", times))));
        objects.push_back(
            samples::pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Group << /S /Transparency >>",
                               bytesOf("1 g 0 0 100 100 re f")));
        return pdfOfObjects(objects);
    };
    // Sixteen bytes a fill, so that every MiB holds whole ones: a fill cut short is
    // content poppler reports as broken.
    auto chainedFilters = [&](size_t megabytes) {
        auto objects = samples::pdfPage(100, 100, "<< >>");
        objects.push_back(
            samples::pdfStream("/Filter [/ASCIIHexDecode /FlateDecode]",
                               bytesOf(hex(samples::deflatedRepeat("", "0 0 1 1 re f   \n", megabytes, "\n", false)))));
        return pdfOfObjects(objects);
    };
    auto inlineImage = [&](int side) {
        auto objects = samples::pdfPage(100, 100, "<< >>");
        // The image data holds "EI" that does not end it.
        objects.push_back(samples::pdfStream(
            "", bytesOf("q 100 0 0 100 0 0 cm BI /W " + std::to_string(side) + " /H " + std::to_string(side) +
                        " /BPC 8 /CS /G ID xEIx\x01\x02 EI Q 0 0 10 10 re f")));
        return pdfOfObjects(objects);
    };
    auto selfDrawing = [&] {
        auto objects = samples::pdfPage(100, 100, "<< /XObject << /F 5 0 R >> >>");
        objects.push_back(samples::pdfStream("", bytesOf("/F Do")));
        objects.push_back(
            samples::pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << "
                               "/XObject << /F 5 0 R >> >>",
                               bytesOf("0 0 10 10 re f /F Do")));
        return pdfOfObjects(objects);
    };
    // An annotation whose appearance draws forms `levels` deep, `fanout` each.
    auto annotated = [](int levels, int fanout) {
        auto forms = nestedFormObjects(levels, fanout);
        for (auto& form : forms) {
            // Renumbered from 7 on: the annotation's objects come first.
            std::string text(form.begin(), form.end());
            for (size_t at = text.find("/F "); at != std::string::npos; at = text.find("/F ", at + 3)) {
                if (!std::isdigit(static_cast<unsigned char>(text[at + 3]))) continue;
                const size_t end = text.find(' ', at + 3);
                text.replace(at + 3, end - at - 3, std::to_string(std::stoi(text.substr(at + 3, end - at - 3)) + 2));
            }
            form = bytesOf(text);
        }
        return samples::annotatedPdf("/F Do", samples::axialShading(),
                                     std::vector<Bytes>(forms.begin() + 4, forms.end()));
    };
    // Two forms at each of `levels` levels, each drawing both of the next level's: every
    // form at the bottom is drawn within 2^levels different chains of resources, and
    // looks its graphics state up in the page's.
    auto chains = [](int levels) {
        auto objects = samples::pdfPage(100, 100, "<< /XObject << /A 5 0 R >> /ExtGState << /G << /CA 1 >> >> >>");
        objects.push_back(samples::pdfStream("", bytesOf("/A Do")));
        for (int level = 0; level < levels; ++level) {
            for (int k = 0; k < 2; ++k) {
                const std::string a = std::to_string(7 + 2 * level), b = std::to_string(8 + 2 * level);
                const bool last = level + 1 == levels;
                const std::string names = last ? "" : "/XObject << /A " + a + " 0 R /B " + b + " 0 R >> ";
                objects.push_back(samples::pdfStream(
                    "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << " + names + "/Own" +
                        std::to_string(k) + " 1 >>",
                    bytesOf(last ? "/G gs 0 0 1 1 re f" : "/A Do /B Do")));
            }
        }
        return pdfOfObjects(objects);
    };
    // A form without resources painting /S `paints` times, drawn by two forms: the first
    // names a shading poppler cannot draw /S, the second one it can.
    auto namedTwoWays = [](int paints) {
        auto objects = samples::pdfPage(100, 100, "<< /XObject << /A 5 0 R /B 6 0 R >> >>");
        objects.push_back(samples::pdfStream("", bytesOf("/A Do /B Do")));
        for (const std::string& shading : {std::string("<< /ShadingType 99 >>"), samples::axialShading()}) {
            objects.push_back(samples::pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Resources << "
                                                 "/XObject << /X 7 0 R >> /Shading << /S " + shading + " >> >>",
                                                 bytesOf("/X Do")));
        }
        objects.push_back(samples::pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 100 100]",
                                             bytesOf(repeated("/S sh ", paints))));
        return pdfOfObjects(objects);
    };
    std::vector<Document> documents = {
        {"forms in an object stream, drawn 10^7 times", pdfInObjectStream(nestedFormObjects(8, 10)), P::tooDemanding},
        {"forms in an object stream, drawn 8 times", pdfInObjectStream(nestedFormObjects(4, 2)), P::none},
        {"forms behind broken cross-references", withBrokenCrossReferences(pdfOfObjects(nestedFormObjects(8, 10))),
         P::tooDemanding},
        {"a page behind broken cross-references", withBrokenCrossReferences(pdfOfObjects(nestedFormObjects(2, 2))),
         P::none},
        {"forms nested 40 deep, each drawn once", pdfOfObjects(nestedFormObjects(40, 1)), P::tooDemanding},
        {"contents through two filters, 655360 fills", chainedFilters(10), P::tooDemanding},
        {"contents through two filters, 65536 fills", chainedFilters(1), P::none},
        {"a Type 3 glyph drawing forms 10^7 times", type3Pdf(8, 10), P::tooDemanding},
        {"a Type 3 glyph drawing forms 8 times", type3Pdf(4, 2), P::none},
        {"a tiling pattern of 1000 fills, filled 2000 times", patternPage(1000), P::tooDemanding},
        {"a tiling pattern of 10 fills, filled 2000 times", patternPage(10), P::none},
        {"a soft mask drawn 3000 times", maskedPage(3000), P::tooDemanding},
        {"a soft mask drawn 10 times", maskedPage(10), P::none},
        {"an inline image of 20000 x 20000", inlineImage(20000), P::tooDemanding},
        {"an inline image of 2 x 2 holding EI", inlineImage(2), P::none},
        {"a form drawing itself", selfDrawing(), P::none},
        // Poppler draws annotations' appearances over the page.
        {"an annotation drawing forms 10^7 times", annotated(8, 10), P::tooDemanding},
        {"an annotation drawing forms 8 times", annotated(4, 2), P::none},
        {"forms drawn within 2^30 chains of resources", chains(30), P::tooDemanding},
        {"forms drawn within 2^4 chains of resources", chains(4), P::none},
        {"a form painting 5000 shadings its drawers name two ways", namedTwoWays(5000), P::tooDemanding},
        {"a form painting 5 shadings its drawers name two ways", namedTwoWays(5), P::none},
    };
    // Shadings painted at the bottom of nested forms however the forms are reached and
    // their names found (see nestedShadingFormsPdf).
    for (const std::string how :
         {"own", "inherited", "innermost", "twoNames", "wrapped", "pattern", "softMask", "annotation"}) {
        documents.push_back({"forms 3 deep reached " + how, samples::nestedShadingFormsPdf(3, 2, how), P::none});
        documents.push_back({"forms 10 deep reached " + how + ", 200 shadings at the bottom",
                             samples::nestedShadingFormsPdf(10, 200, how), P::tooDemanding});
    }
    for (const auto& document : documents) {
        std::string why;
        EXPECT_EQ(loadPdf(document.bytes, &why), document.expected) << document.name << ": " << why;
    }
}

// Cross-reference sections that list more objects than the limit, free or in use, are
// refused naming it (each entry kept in a map, a 60 KB file listing sixty million held
// 3.7 GB: the program's peak on that file is pinned end to end). Within the limit, free
// entries are kept as runs, and a document listing two million of them opens.
TEST(DocumentBudgets, CrossReferencesListingMoreObjectsThanTheLimitAreRefusedNamingIt) {
    const struct {
        const char* name;
        uint32_t listed;
        bool inUse;
        bool opens;
    } cases[] = {
        {"free, past the limit", 3000000, false, false},
        {"in use, past the limit", 3000000, true, false},
        {"free, within it", 2000000, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        P problem = P::none;
        const auto pdf = samples::crossReferenceFloodPdf(1, c.listed, c.inUse);
        const auto document = pg::PdfDocument::fromData(pdf, &why, &problem);
        EXPECT_EQ(bool(document), c.opens) << why;
        if (c.opens) continue;
        EXPECT_EQ(problem, P::tooDemanding) << why;
        EXPECT_NE(why.find("limit of 2097152"), std::string::npos) << why;
    }
}

TEST(DocumentBudgets, ShadingsPatternsAndCodecsAreWeighedAsOftenAndAsWideAsTheyArePainted) {
    using samples::shadingPagePdf;
    // A shading pattern filling `fills` squares `side` pt wide, then the page with a
    // plain colour `plain` times.
    auto shadingPattern = [](int fills, int side, int plain) {
        auto objects = samples::pdfPage(1024, 1024, "<< /Pattern << /P 5 0 R >> >>");
        const std::string square = "0 0 " + std::to_string(side) + " " + std::to_string(side) + " re f\n";
        objects.push_back(samples::pdfStream("/Filter /FlateDecode",
                                             samples::deflated("/Pattern cs /P scn " + repeated(square, fills) +
                                                               "0 g " + repeated("0 0 1024 1024 re f\n", plain))));
        objects.push_back(bytesOf("<< /PatternType 2 /Shading " + samples::radialShading() + " >>"));
        return pdfOfObjects(objects);
    };
    // An axial shading whose function samples a grid of side x side.
    auto sampled = [](int side) {
        const std::string s = std::to_string(side);
        return shadingPagePdf("<< /ShadingType 1 /ColorSpace /DeviceGray /Domain [0 1 0 1] /Function 6 0 R >>", 1,
                              {samples::pdfStream("/FunctionType 0 /Domain [0 1 0 1] /Range [0 1] /Size [" + s + " " +
                                                      s + "] /BitsPerSample 8",
                                                  Bytes(size_t(side) * side, 0x80))});
    };
    // A page tiled with 16-pt tiles every `step` pt, `from` in the pattern's dictionary
    // replaced by `to`.
    auto editedPattern = [](double step, const std::string& from, const std::string& to) {
        const Bytes pdf = samples::tilingPatternPdf(16, step);
        std::string text(pdf.begin(), pdf.end());
        text.replace(text.find(from), from.size(), to);
        return bytesOf(text);
    };
    // Stitching functions `levels` deep, each holding the next once.
    auto chained = [](int levels) { return samples::stitchedShadingPdf(levels, 1); };
    auto jbig2 = [](const Bytes& data) { return samples::jbig2ImagePdfOf(data); };
    std::vector<Document> documents = {
        {"a calculator function of 1000 operators over the page", samples::calculatorShadingPdf(1000), P::none},
        {"stitching functions 10 deep, each holding the next twice", samples::stitchedShadingPdf(10, 2), P::none},
        {"stitching functions 24 deep, each holding the next twice", samples::stitchedShadingPdf(24, 2),
         P::tooDemanding},
        {"stitching functions 40 deep", chained(40), P::tooDemanding},
        {"a sampled function of 64 x 64", sampled(64), P::none},
        {"a sampled function of 4096 x 4096", sampled(4096), P::tooDemanding},
        {"an axial shading painted 2000 times in 10-pt squares", shadingPagePdf(samples::axialShading(), 2000, {}, 10),
         P::none},
        {"an axial shading painted 5000 times in 10-pt squares", shadingPagePdf(samples::axialShading(), 5000, {}, 10),
         P::tooDemanding},
        {"a radial shading painted 200 times over the page", shadingPagePdf(samples::radialShading(), 200),
         P::tooDemanding},
        {"a radial shading painted 200 times in 100-pt squares",
         shadingPagePdf(samples::radialShading(), 200, {}, 100), P::none},
        {"a shading pattern filling the page 200 times", shadingPattern(200, 1024, 0), P::tooDemanding},
        {"a shading pattern filling 10-pt squares 200 times", shadingPattern(200, 10, 0), P::none},
        // A plain colour ends the pattern: the fills after it are no shadings.
        {"a shading pattern, then 5000 plain fills of the page", shadingPattern(1, 10, 5000), P::none},
        {"a mesh of 1000 Coons patches", samples::meshShadingPdf(6, 1000), P::none},
        {"a mesh of 200000 free-form triangles", samples::meshShadingPdf(4, 200000), P::tooDemanding},
        {"a tiling pattern drawn tile by tile every 4 pt", samples::tilingPatternPdf(10, 4), P::none},
        // Read as poppler reads them: steps it does not find are 1 pt, a stray bracket
        // in a dictionary is passed over.
        {"a tiling pattern without steps", editedPattern(16, "/XStep 16.0000000000 /YStep 16.0000000000", ""),
         P::tooDemanding},
        {"a tiling pattern with a stray bracket in its dictionary", editedPattern(0.5, "/Matrix", "/ 1 0 0] /Matrix"),
         P::tooDemanding},
        {"a tiling pattern of 1-pt tiles", samples::tilingPatternPdf(1, 1), P::none},
        {"a tiling pattern of 3000-pt tiles", samples::tilingPatternPdf(10, 10, 300), P::none},
        {"a tiling pattern of 14000-pt tiles", samples::tilingPatternPdf(10, 10, 1400), P::tooDemanding},
        {"a jbig2 image declaring a 16 x 16 page", samples::jbig2ImagePdf(16, 16), P::none},
        {"a jbig2 image declaring a 20000 x 10 page", samples::jbig2ImagePdf(20000, 10), P::tooLarge},
    };
    // JBIG2 data declares its bitmaps anywhere among its segments: the page comes first.
    for (const std::string how : {"region", "stripes", "placed", "referring"}) {
        documents.push_back({"a jbig2 image of 64-pixel " + how, jbig2(samples::jbig2Declaring(how, 64)), P::none});
        documents.push_back(
            {"a jbig2 image of 100000-pixel " + how, jbig2(samples::jbig2Declaring(how, 100000)), P::tooLarge});
    }
    documents.push_back({"a jbig2 image whose segments read two ways, 64 pixels",
                         jbig2(samples::jbig2ReadTwoWays(64)), P::none});
    documents.push_back({"a jbig2 image whose segments read two ways, 100000 pixels",
                         jbig2(samples::jbig2ReadTwoWays(100000)), P::tooLarge});
    for (const auto& document : documents) {
        std::string why;
        EXPECT_EQ(loadPdf(document.bytes, &why), document.expected) << document.name << ": " << why;
    }
}

pg::PictureProblem loadSvg(const std::string& text, std::string* why) {
    P problem = P::none;
    const auto document = pg::SvgDocument::fromData(bytesOf(text), why, &problem);
    return document ? P::none : problem;
}

TEST(DocumentBudgets, WorkAnSvgDrawingHidesAnywhereIsFoundBeforeLibrsvgParsesIt) {
    auto svg = [](const std::string& body) {
        return samples::svgText("width=\"64\" height=\"64\" xmlns:xlink=\"http://www.w3.org/1999/xlink\"", body);
    };
    // Groups of ten uses of the group before: 10^levels rectangles.
    auto useChain = [&](int levels) {
        std::string defs = "<rect id=\"g0\" width=\"1\" height=\"1\"/>";
        for (int i = 1; i <= levels; ++i) {
            defs += "<g id=\"g" + std::to_string(i) + "\">" +
                    repeated("<use xlink:href=\"#g" + std::to_string(i - 1) + "\"/>", 10) + "</g>";
        }
        return svg("<defs>" + defs + "</defs><use href=\"#g" + std::to_string(levels) + "\"/>");
    };
    auto styledNoise = [&](int octaves, int elements) {
        return svg(
            "<style>.n { filter: url(#t) }</style><filter id=\"t\"><feTurbulence baseFrequency=\"0.1\" "
            "numOctaves=\"" +
            std::to_string(octaves) + "\"/></filter>" +
            repeated("<rect class=\"n\" width=\"8\" height=\"8\"/>", elements));
    };
    auto inheritedPattern = [&](int shapes) {
        return svg("<defs><pattern id=\"p\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">" +
                   repeated("<circle r=\"1\"/>", 100) + "</pattern></defs><g fill=\"url(#p)\">" +
                   repeated("<circle cx=\"8\" cy=\"8\" r=\"4\"/>", shapes) + "</g>");
    };
    auto markers = [&](int vertices) {
        std::string path = "M0 0";
        for (int i = 0; i < vertices; ++i) path += " L" + std::to_string(i % 64) + " " + std::to_string(i % 7);
        return svg("<marker id=\"m\">" + repeated("<rect width=\"1\" height=\"1\"/>", 100) + "</marker><path d=\"" +
                   path + "\" marker-mid=\"url(#m)\"/>");
    };
    auto nested = [&](int depth) { return svg(repeated("<g>", depth) + "<rect/>" + repeated("</g>", depth)); };
    auto embeddedDocument = [&](const std::string& inner) {
        return svg("<image width=\"64\" height=\"64\" href=\"data:image/svg+xml;base64," +
                   samples::base64(bytesOf(inner)) + "\"/>");
    };
    const std::string noise =
        svg("<filter id=\"t\"><feTurbulence numOctaves=\"1000\"/></filter>"
            "<rect width=\"64\" height=\"64\" filter=\"url(#t)\"/>");
    const std::vector<std::pair<std::string, std::pair<std::string, P>>> documents = {
        {"uses drawing 10^6 rectangles", {useChain(6), P::tooDemanding}},
        {"uses drawing 1000 rectangles", {useChain(3), P::none}},
        {"a style sheet giving 40 octaves of noise to 10 elements", {styledNoise(40, 10), P::tooDemanding}},
        {"a style sheet giving 2 octaves of noise to 2 elements", {styledNoise(2, 2), P::none}},
        {"a pattern of 100 shapes inherited by 3000 shapes", {inheritedPattern(3000), P::tooDemanding}},
        {"a pattern of 100 shapes inherited by 10 shapes", {inheritedPattern(10), P::none}},
        {"a marker of 100 shapes at 5000 vertices", {markers(5000), P::tooDemanding}},
        {"a marker of 100 shapes at 50 vertices", {markers(50), P::none}},
        {"elements nested 300 deep", {nested(300), P::tooDemanding}},
        {"elements nested 30 deep", {nested(30), P::none}},
        {"an embedded document of 1000 octaves of noise", {embeddedDocument(noise), P::tooDemanding}},
        {"an embedded document of a rectangle", {embeddedDocument(svg("<rect width=\"9\" height=\"9\"/>")), P::none}},
        {"a parameter entity",
         {"<!DOCTYPE svg [<!ENTITY % p \"<!ENTITY e 'x'>\"> %p;]>" + svg("<text>&e;</text>"), P::tooDemanding}},
        {"an entity used in a style attribute",
         {"<!DOCTYPE svg [<!ENTITY f \"filter: url(#t)\">]>" +
              svg("<filter id=\"t\"><feTurbulence numOctaves=\"1000\"/></filter>"
                  "<rect width=\"9\" height=\"9\" style=\"&f;\"/>"),
          P::tooDemanding}},
        {"an entity drawing elements",
         {"<!DOCTYPE svg [<!ENTITY r \"" + repeated("&lt;rect/&gt;", 1) + "\">]>" + svg("&r;"), P::none}},
        {"10000 shapes drawn with opacity",
         {svg(repeated("<rect width=\"1\" height=\"1\" opacity=\"0.5\"/>", 10000)), P::tooDemanding}},
        {"100 shapes drawn with opacity",
         {svg(repeated("<rect width=\"1\" height=\"1\" opacity=\"0.5\"/>", 100)), P::none}},
        // Found by the mutation run: the scan went round for ever.
        {"a doctype whose quoted text does not end", {"<!DOCTYPE svg \"" + svg("<rect/>"), P::notAPicture}},
    };
    for (const auto& [name, document] : documents) {
        std::string why;
        EXPECT_EQ(loadSvg(document.first, &why), document.second) << name << ": " << why;
    }
}

TEST(DocumentBudgets, ADrawingAffordableWhenReadIsRefusedAtASizeBeyondItsBudget) {
    // Masks nested ten deep hold twenty surfaces of the drawing at once: some 80 MiB at
    // 1024 pixels a side, beyond the budget at 4096.
    const auto svgBytes = samples::nestedMasksSvg(10, 256);
    // Transparency groups nested twenty deep: one surface each.
    auto objects = samples::pdfPage(256, 256, "<< /XObject << /G 5 0 R >> >>");
    objects.push_back(samples::pdfStream("", bytesOf("/G Do")));
    for (int level = 0; level < 20; ++level) {
        const std::string next = level + 1 < 20 ? "/G Do" : "1 0 0 rg 0 0 256 256 re f";
        const std::string resources =
            level + 1 < 20 ? " /Resources << /XObject << /G " + std::to_string(6 + level) + " 0 R >> >>" : "";
        objects.push_back(
            samples::pdfStream("/Type /XObject /Subtype /Form /BBox [0 0 256 256] /Group << /S "
                               "/Transparency >>" +
                                   resources,
                               bytesOf(next)));
    }
    const Bytes pdfBytes = pdfOfObjects(objects);
    for (const auto& [name, bytes] : {std::pair{"svg", svgBytes}, std::pair{"pdf", pdfBytes}}) {
        SCOPED_TRACE(name);
        std::string why;
        std::shared_ptr<pg::Image> image;
        if (std::string(name) == "svg") {
            auto document = pg::SvgDocument::fromData(bytes, &why);
            ASSERT_TRUE(document) << why;
            image = pg::Image::withSize(document->drawingSize(), true, [document](pg::Rect) {
                auto* context = pg::GraphicsContext::current();
                return context != nullptr && document->render(*context);
            });
        } else {
            image = pg::Image::fromData(bytes, &why);
            ASSERT_TRUE(image) << why;
        }
        EXPECT_TRUE(image->renderBitmap(256, 256));
        EXPECT_TRUE(image->renderBitmap(1024, 1024));
        {
            pg::DrawingProblems problems;
            EXPECT_FALSE(image->renderBitmap(4096, 4096));
            // A page refused at its size says why, to whoever asked for the picture.
            if (std::string(name) == "pdf") {
                EXPECT_EQ(problems.kind(), P::tooDemanding) << problems.text();
            }
        }
        EXPECT_EQ(pg::DrawingBudget::held(), 0u);
    }
}

TEST(DocumentBudgets, DrawingsTogetherNeverHoldMoreThanTheBudget) {
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    std::atomic<uint64_t> holding{0}, most{0};
    std::atomic<int> alone{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                // Sizes from nothing past the whole budget.
                const uint64_t bytes = uint64_t((t * 7 + i * 13) % 9) * 96 * kMiB;
                const auto claim = pg::DrawingBudget::claim(bytes);
                const uint64_t now = holding += std::min(bytes, pg::DrawingBudget::kBytes);
                uint64_t seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                if (bytes >= pg::DrawingBudget::kBytes && now == pg::DrawingBudget::kBytes) ++alone;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                holding -= std::min(bytes, pg::DrawingBudget::kBytes);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(most.load(), pg::DrawingBudget::kBytes);
    EXPECT_GT(alone.load(), 0);
    EXPECT_EQ(pg::DrawingBudget::held(), 0u);
}

}  // namespace
