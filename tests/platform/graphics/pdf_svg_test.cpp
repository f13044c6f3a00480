#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>
#include <cairo.h>
#include <poppler.h>

#include <atomic>
#include <optional>
#include <tuple>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "graphics_test_support.hpp"
#include "platform/graphics/bezier_path.hpp"
#include "platform/graphics/bitmap_context.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/pdf_document.hpp"
#include "platform/graphics/render_client.hpp"
#include "platform/graphics/svg_document.hpp"
#include "support/picture_samples.hpp"
#include "support/temp_dir.hpp"

namespace pg = platform::graphics;
using gwtest::graphics::argbAt;

namespace {

// What a reader of the written file sees, independent of our own layer.
struct ParsedPdf {
    int pages = 0;
    double width = 0, height = 0;
    int images = 0;
    cairo_surface_t* rendering = nullptr;  // page 1 at 1 pixel per point, top-left origin
    ~ParsedPdf() {
        if (rendering) cairo_surface_destroy(rendering);
    }
    gwtest::graphics::Argb at(int x, int y) const {
        const uint8_t* data = cairo_image_surface_get_data(rendering);
        uint32_t p;
        std::memcpy(&p, data + y * cairo_image_surface_get_stride(rendering) + x * 4, 4);
        return {int(p >> 24), int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)};
    }
};

std::unique_ptr<ParsedPdf> parsePdf(const std::vector<uint8_t>& bytes) {
    GBytes* gbytes = g_bytes_new(bytes.data(), bytes.size());
    PopplerDocument* doc = poppler_document_new_from_bytes(gbytes, nullptr, nullptr);
    g_bytes_unref(gbytes);
    if (!doc) return nullptr;
    auto parsed = std::make_unique<ParsedPdf>();
    parsed->pages = poppler_document_get_n_pages(doc);
    PopplerPage* page = poppler_document_get_page(doc, 0);
    poppler_page_get_size(page, &parsed->width, &parsed->height);
    GList* images = poppler_page_get_image_mapping(page);
    parsed->images = int(g_list_length(images));
    poppler_page_free_image_mapping(images);
    parsed->rendering = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(parsed->width), int(parsed->height));
    cairo_t* cr = cairo_create(parsed->rendering);
    poppler_page_render(page, cr);
    cairo_destroy(cr);
    cairo_surface_flush(parsed->rendering);
    g_object_unref(page);
    g_object_unref(doc);
    return parsed;
}

// A vector page: green left half, a black line of text, on a 200 x 100 page.
std::vector<uint8_t> vectorPdf() {
    auto pdf = pg::PdfContext::toMemory(pg::Rect{0, 0, 200, 100});
    pdf->beginPage();
    auto* g = pdf->graphicsContext();
    g->setFillColor(pg::Color::rgb(0, 1, 0));
    g->fillRect({0, 0, 100, 100});
    cairo_t* cr = g->cairo();
    cairo_save(cr);
    cairo_scale(cr, 1, -1);  // text reads upright in y-up space
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_font_size(cr, 14);
    cairo_move_to(cr, 110, -50);
    cairo_show_text(cr, "Glyph");
    cairo_restore(cr);
    pdf->endPage();
    EXPECT_TRUE(pdf->close());
    return pdf->data();
}

// The one-page re-save the catalog writer does: crop box stretched to the
// target, zoomed about the centre.
void resave(const pg::Image& image, const std::filesystem::path& out, pg::Size target, double zoom) {
    auto rep = image.pdfRepresentation();
    ASSERT_TRUE(rep);
    std::string error;
    auto pdf = pg::PdfContext::toFile(out, std::nullopt, &error);
    ASSERT_TRUE(pdf) << error;
    const pg::Rect media = *rep->document()->mediaBox(0);
    const pg::Rect crop = *rep->document()->cropBox(0);
    pdf->beginPage(pg::Rect{media.origin, target});
    auto* g = pdf->graphicsContext();
    if (zoom != 1) g->translate((1 - zoom) * target.width * 0.5, (1 - zoom) * target.height * 0.5);
    g->scale(target.width / crop.size.width * zoom, target.height / crop.size.height * zoom);
    ASSERT_TRUE(pdf->drawPdfPage(*rep->document(), 0));
    pdf->endPage();
    ASSERT_TRUE(pdf->close());
}

std::string base64(const std::vector<uint8_t>& bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = uint32_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= bytes[i + 2];
        out += table[(n >> 18) & 63];
        out += table[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[n & 63] : '=';
    }
    return out;
}

const char* kSvg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100">
  <rect x="0" y="0" width="200" height="50" fill="#ff0000"/>
  <circle cx="100" cy="75" r="20" fill="#0000ff"/>
</svg>)";

// SVG to a one-page PDF image, as the picture loader does it (its helper writes the page).
pg::ImagePtr svgToPdfImage(const pg::SvgDocument& svg) {
    const double identity[6] = {1, 0, 0, 1, 0, 0};
    std::string why;
    auto bytes = svg.pageAsPdf(svg.drawingSize(), identity, {}, &why);
    EXPECT_TRUE(bytes) << why;
    return bytes ? pg::Image::fromData(*bytes) : nullptr;
}

}  // namespace

TEST(PdfTest, ResavedPdfStaysVectorAtTheTargetSize) {
    gwtest::TempDir dir;
    auto image = pg::Image::fromData(vectorPdf());
    ASSERT_TRUE(image);
    const auto out = dir / "Icon.pdf";
    resave(*image, out, {100, 100}, 1.0);
    const std::string written = gwtest::readFile(out);
    auto parsed = parsePdf(std::vector<uint8_t>(written.begin(), written.end()));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->pages, 1);
    EXPECT_EQ(parsed->width, 100);
    EXPECT_EQ(parsed->height, 100);
    EXPECT_EQ(parsed->images, 0);                  // no raster was embedded
    EXPECT_EQ(written.find("/Subtype /Image"), std::string::npos);
    EXPECT_EQ(parsed->at(25, 50).g, 255);          // green half squeezed into the left half
    EXPECT_EQ(parsed->at(25, 50).r, 0);
    int dark = 0;  // the text survives as glyphs in the right half
    for (int y = 0; y < 100; ++y)
        for (int x = 50; x < 100; ++x) dark += parsed->at(x, y).a > 128;
    EXPECT_GT(dark, 20);
    // No temporary file is left beside the result.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(PdfTest, ZoomShrinksAboutThePageCentre) {
    gwtest::TempDir dir;
    auto image = pg::Image::fromData(vectorPdf());
    resave(*image, dir / "z.pdf", {100, 100}, 0.5);
    const std::string written = gwtest::readFile(dir / "z.pdf");
    auto parsed = parsePdf(std::vector<uint8_t>(written.begin(), written.end()));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->at(5, 50).a, 0);     // transparent border
    EXPECT_EQ(parsed->at(35, 50).g, 255);  // green now spans x 25...50
    EXPECT_EQ(parsed->at(35, 20).a, 0);
}

TEST(PdfTest, PagesDrawUprightInFlippedAndUnflippedHandlers) {
    auto pdf = pg::PdfContext::toMemory(pg::Rect{0, 0, 100, 100});
    pdf->beginPage();
    pdf->graphicsContext()->setFillColor(pg::Color::rgb(0, 1, 0));
    pdf->graphicsContext()->fillRect({0, 0, 100, 50});  // bottom half
    pdf->endPage();
    ASSERT_TRUE(pdf->close());
    auto page = pg::Image::fromData(pdf->data());
    ASSERT_TRUE(page);
    for (bool flipped : {false, true}) {
        auto step = pg::Image::withSize({20, 20}, flipped, [&](pg::Rect r) { return page->drawInRect(r); });
        auto bitmap = step->renderedBitmap()->bitmap();
        EXPECT_EQ(argbAt(*bitmap, 10, 17).g, 255) << flipped;
        EXPECT_EQ(argbAt(*bitmap, 10, 2).a, 0) << flipped;
    }
}

TEST(PdfTest, ContextToAFolderThatCannotTakeTheFileIsRefused) {
    std::string error;
    EXPECT_FALSE(pg::PdfContext::toFile("/nonexistent-folder/out.pdf", std::nullopt, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(pg::PdfDocument::fromData(gwtest::graphics::bytesOf("%PDF-1.7 nothing else"), &error));
}

TEST(PdfTest, ConcurrentRenderingOfOneDocumentMatchesTheSerialResult) {
    auto image = pg::Image::fromData(vectorPdf());
    ASSERT_TRUE(image);
    const auto reference = image->renderBitmap(200, 100);
    ASSERT_TRUE(reference);
    const size_t size = size_t(reference->stride()) * reference->height();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                // Through a drawing handler, as the catalog's pipeline renders.
                auto step = pg::Image::withSize({200, 100}, false, [&](pg::Rect r) { return image->drawInRect(r); });
                auto bitmap = step->renderedBitmap()->bitmap();
                if (bitmap->stride() != reference->stride() || std::memcmp(bitmap->data(), reference->data(), size) != 0)
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(SvgTest, LoadsFromAFileUrlWithItsSize) {
    gwtest::TempDir dir;
    const auto path = dir / "my glyph.svg";
    gwtest::writeFile(path, kSvg);
    std::string url = "file://" + (dir.path() / "my%20glyph.svg").string();
    auto svg = pg::SvgDocument::fromFileUrl(url);
    ASSERT_TRUE(svg);
    EXPECT_TRUE(svg->hasSize());
    EXPECT_EQ(svg->size(), (pg::Size{200, 100}));

    // Only a viewBox: its size is the document's. Width and height win over it.
    // Neither: the fallback page.
    const std::vector<std::pair<std::string, std::optional<pg::Size>>> sizes = {
        {R"(viewBox="0 0 200 100")", pg::Size{200, 100}},
        {R"(viewBox="-5 -5 10 30")", pg::Size{10, 30}},
        {R"(width="40" height="20" viewBox="0 0 200 100")", pg::Size{40, 20}},
        {"", std::nullopt},
    };
    for (const auto& [attributes, expected] : sizes) {
        gwtest::writeFile(dir / "sized.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" )" + attributes +
                                                 R"(><rect width="10" height="10"/></svg>)");
        auto document = pg::SvgDocument::fromFile(dir / "sized.svg");
        ASSERT_TRUE(document) << attributes;
        EXPECT_EQ(document->hasSize(), expected.has_value()) << attributes;
        EXPECT_EQ(document->drawingSize(), expected.value_or(pg::Size{100, 100})) << attributes;
    }

    gwtest::writeFile(dir / "broken.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect");
    EXPECT_FALSE(pg::SvgDocument::fromFile(dir / "broken.svg"));
    EXPECT_FALSE(pg::SvgDocument::fromFileUrl("file://" + (dir / "missing.svg").string()));
    EXPECT_FALSE(pg::SvgDocument::fromFileUrl("https://example.invalid/a.svg"));
}

// A size the root element states plainly is read without the renderer, and is the size
// the renderer gives; any other is asked of it.
TEST(SvgTest, APlainlyStatedSizeIsTheOneTheRendererGives) {
    const std::pair<std::string, bool> roots[] = {
        {R"(width="64" height="48")", true},
        {R"(width="64px" height="48.5px" viewBox="0 0 24 18")", true},
        {R"(width=" 10 " height='20' viewBox="1,2,3,4")", true},
        {"width=\"\r64\r\"\r\nheight=\"48\"", true},
        {R"(viewBox="0 0 30 40")", false},
        {R"(width="2cm" height="1in")", false},
        {R"(width="50%" height="40" viewBox="0 0 5 4")", false},
        {R"(width="1e2" height="40")", false},
    };
    for (const auto& [root, plain] : roots) {
        SCOPED_TRACE(root);
        const auto bytes = gwtest::samples::bytesOf(gwtest::samples::svgText(root, R"(<rect width="1" height="1"/>)"));
        const int started = pg::RenderClient::helpersStarted();
        const auto document = pg::SvgDocument::fromData(bytes);
        ASSERT_TRUE(document);
        EXPECT_EQ(pg::RenderClient::helpersStarted() == started, plain);
        pg::RenderClient client(bytes, pg::render::Kind::svg);
        double crop[4] = {}, viewBox[4] = {};
        pg::RenderFailure failure;
        ASSERT_TRUE(client.open(0, nullptr, crop, &failure, viewBox)) << failure.why;
        const pg::Size said = crop[2] > 0 ? pg::Size{crop[2], crop[3]} : pg::Size{viewBox[2], viewBox[3]};
        EXPECT_EQ(document->size(), said);
    }
}

// Drawn by its helper into a layer and painted back, a drawing comes out as drawn in place
// through a clip of any shape: the clip goes along to the helper (painted through the
// program's own clip, the layer's edges were smoothed twice where they met the clip's:
// a rounded icon's rim came out lighter).
TEST(SvgTest, DrawnByItsHelperThroughAnyClipItComesOutAsDrawnInPlace) {
    gwtest::TempDir dir;
    gwtest::writeFile(dir / "bands.svg", kSvg);
    const auto helped = pg::SvgDocument::fromFile(dir / "bands.svg");
    const auto inPlace = pg::SvgDocument::ofResource(dir / "bands.svg");
    ASSERT_TRUE(helped);
    ASSERT_TRUE(inPlace);
    const pg::Rect rect{10.3, 7.6, 90.2, 40.9}, oval{3.4, 2.8, 121.9, 58.3};
    using Clip = std::optional<pg::Rect>;
    const std::tuple<const char*, Clip, Clip> clips[] = {
        {"none", {}, {}}, {"rectangle", rect, {}}, {"oval", {}, oval}, {"oval within a rectangle", pg::Rect{0, 0, 70.5, 64}, oval}};
    for (const auto& [name, clipRect, clipOval] : clips) {
        SCOPED_TRACE(name);
        std::vector<pg::BitmapPtr> drawn;
        for (const auto& document : {helped, inPlace}) {
            auto canvas = pg::BitmapContext::create(
                128, 64, 8, 0, pg::ColorSpace::deviceRGB(),
                pg::BitmapInfo(pg::AlphaInfo::premultipliedFirst, pg::ByteOrder::order32Little));
            auto& g = canvas->graphicsContext();
            pg::GraphicsContext::CurrentScope scope(&g);
            if (clipRect) g.clipToRect(*clipRect);
            if (clipOval) g.clipToPath(pg::BezierPath::oval(*clipOval));
            // Upright, at fractional offsets: edges of the drawing meet the clip's.
            g.translate(3.4, 61.1);
            g.scale(0.61, -0.585);
            ASSERT_TRUE(document->render(g));
            drawn.push_back(canvas->makeImage());
        }
        ASSERT_EQ(drawn[0]->stride(), drawn[1]->stride());
        EXPECT_EQ(std::memcmp(drawn[0]->data(), drawn[1]->data(), drawn[0]->stride() * 64), 0);
    }
}

TEST(SvgTest, RenderedIntoAPdfContextBecomesAnUprightVectorPdf) {
    auto svg = pg::SvgDocument::fromData(gwtest::graphics::bytesOf(kSvg));
    ASSERT_TRUE(svg);
    auto image = svgToPdfImage(*svg);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size(), (pg::Size{200, 100}));
    auto rep = image->pdfRepresentation();
    ASSERT_TRUE(rep);
    auto parsed = parsePdf(rep->pdfData());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->images, 0);
    EXPECT_EQ(parsed->at(100, 10).r, 255);  // the red band stays at the top
    EXPECT_EQ(parsed->at(100, 75).b, 255);  // the blue circle below it
    EXPECT_EQ(parsed->at(10, 90).a, 0);

    // And through a second re-save it stays vector.
    gwtest::TempDir dir;
    resave(*image, dir / "again.pdf", {50, 50}, 1.0);
    const std::string again = gwtest::readFile(dir / "again.pdf");
    auto reparsed = parsePdf(std::vector<uint8_t>(again.begin(), again.end()));
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->images, 0);
    EXPECT_EQ(reparsed->width, 50);
    EXPECT_EQ(reparsed->at(25, 5).r, 255);

    // A page whose PDF runs to some two hundred kilobytes (thousands of shapes at places no
    // compression folds together) comes out whole: every shape, and the last one on top.
    std::string many = R"(<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100">)";
    uint32_t seed = 12345;
    const auto next = [&seed](int below) {
        seed = seed * 1664525u + 1013904223u;
        return int((seed >> 8) % uint32_t(below));
    };
    for (int i = 0; i < 12000; ++i) {
        many += fmt::format(R"(<rect x="{}.{}" y="{}.{}" width="1.{}" height="1.{}" fill="#{:06x}"/>)", next(190),
                            next(1000), next(90), next(1000), next(1000), next(1000), next(0xffffff));
    }
    many += R"(<rect x="150" y="60" width="40" height="30" fill="#00ff00"/></svg>)";
    auto big = pg::SvgDocument::fromData(gwtest::graphics::bytesOf(many.c_str()));
    ASSERT_TRUE(big);
    auto bigImage = svgToPdfImage(*big);
    ASSERT_TRUE(bigImage);
    auto bigRep = bigImage->pdfRepresentation();
    ASSERT_TRUE(bigRep);
    EXPECT_GT(bigRep->pdfData().size(), std::size_t{128} << 10);
    auto bigParsed = parsePdf(bigRep->pdfData());
    ASSERT_TRUE(bigParsed);
    EXPECT_EQ(bigParsed->at(170, 75).g, 255);
    EXPECT_EQ(bigParsed->at(170, 75).r, 0);
    int painted = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 150; ++x) painted += bigParsed->at(x, y).a > 0;
    EXPECT_GT(painted, 150 * 60 / 2);
}

TEST(SvgTest, ExternalReferencesAreNeverFetchedAndRefuseTheDrawing) {
    gwtest::TempDir dir;
    // A real picture the document points at, by absolute and by relative reference.
    auto red = pg::Image::withBitmap(gwtest::graphics::solidBitmap(10, 10, 0xFFFF0000u, false));
    const auto png = *red->pngData();
    gwtest::writeFile(dir / "red.png", std::string(png.begin(), png.end()));
    const std::string head =
        R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="30" height="10">)";
    const std::string embedded =
        fmt::format(R"(<image x="20" y="0" width="10" height="10" xlink:href="data:image/png;base64,{}"/>)", base64(png));
    // The file is never read, so the drawing would lack it: refused, with the reference named.
    for (const std::string& reference : {"file://" + (dir / "red.png").string(), std::string("red.png")}) {
        SCOPED_TRACE(reference);
        gwtest::writeFile(dir / "refs.svg",
                          head + R"(<image x="0" y="0" width="10" height="10" xlink:href=")" + reference + "\"/>" +
                              embedded + "</svg>");
        std::string why;
        pg::PictureProblem problem = pg::PictureProblem::none;
        EXPECT_FALSE(pg::SvgDocument::fromFile(dir / "refs.svg", &why, &problem));
        EXPECT_EQ(problem, pg::PictureProblem::incompleteRender);
        EXPECT_NE(why.find(reference), std::string::npos) << why;
    }
    // Embedded data is not a reference: it shows.
    gwtest::writeFile(dir / "embedded.svg", head + embedded + "</svg>");
    auto svg = pg::SvgDocument::fromFile(dir / "embedded.svg");
    ASSERT_TRUE(svg);
    auto image = svgToPdfImage(*svg);
    ASSERT_TRUE(image);
    auto rendered = image->renderBitmap(30, 10);
    EXPECT_EQ(argbAt(*rendered, 5, 5).a, 0);
    EXPECT_EQ(argbAt(*rendered, 25, 5).r, 255);
}

TEST(SvgTest, FontSizesTheTextRendererCannotHoldAreRefusedAndOrdinaryOnesLoad) {
    const std::string head = R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64">)";
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"(<text font-size="12">Aa</text>)", true},
        {R"(<style>.a{font-size:12px} .b{width:99999px}</style><text class="a">font 99999</text>)", true},
        {R"(<text style="font: bold 14px/99999px serif">Aa</text>)", true},
        {R"(<text font-size="99999999">Aa</text>)", false},
        {R"(<text style="fill:red;font-size:1e30px">Aa</text>)", false},
        {R"(<text style="font: italic 20000px serif">Aa</text>)", false},
        {R"(<g font-size="150em"><text>Aa</text></g>)", true},
        {R"(<g font-size="2000em"><text>Aa</text></g>)", false},
        // Relative sizes compound down nested elements.
        {R"(<g font-size="90em"><g font-size="90em"><g font-size="90em"><text>Aa</text></g></g></g>)", false},
        {R"(<g font-size="2em"><g font-size="150%"><text font-size="24">Aa</text></g></g>)", true},
        {R"(<text font-size="300in">Aa</text>)", false},
    };
    for (const auto& [body, loads] : cases) {
        std::string why;
        pg::PictureProblem problem = pg::PictureProblem::none;
        const auto document = pg::SvgDocument::fromData(gwtest::graphics::bytesOf(head + body + "</svg>"), &why, &problem);
        EXPECT_EQ(bool(document), loads) << body << ": " << why;
        if (!loads) {
            EXPECT_EQ(problem, pg::PictureProblem::tooDemanding) << body;
        }
    }
}

namespace {

// Antialiased edges, a translucent gradient and a blur: whatever a drawing ahead got
// wrong would show in some pixel.
const char* kEffectsSvg = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="384" height="256" viewBox="0 0 96 64">
  <defs><radialGradient id="g"><stop offset="0" stop-color="#e0f" stop-opacity="0.7"/>
    <stop offset="1" stop-color="#0a3"/></radialGradient>
    <filter id="b"><feGaussianBlur stdDeviation="2.5"/></filter></defs>
  <rect x="3.3" y="2.7" width="60" height="40" fill="url(#g)"/>
  <circle cx="60" cy="36" r="21.4" fill="#fa0" fill-opacity="0.6" filter="url(#b)"/>
  <path d="M5 60 L90 4" stroke="#fff" stroke-width="0.4"/></svg>)svg";

std::vector<uint8_t> drawnPixels(const pg::SvgDocument& document, int width, int height, double dx, double dy,
                                 double scale) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    {
        pg::GraphicsContext context(surface, pg::Size{double(width), double(height)}, true);
        context.translate(dx, dy);
        context.scale(scale, scale);
        EXPECT_TRUE(document.render(context));
    }
    cairo_surface_flush(surface);
    const uint8_t* data = cairo_image_surface_get_data(surface);
    std::vector<uint8_t> pixels(data, data + size_t(cairo_image_surface_get_stride(surface)) * height);
    cairo_surface_destroy(surface);
    return pixels;
}

}  // namespace

TEST(SvgTest, ADrawingMadeAheadGivesTheSameBytesAsDrawingAgain) {
    struct Case {
        const char* name;
        int width, height;
        double dx, dy, scale;
    };
    // The first two are painted from the drawing ahead; the others cannot be and draw anew.
    const Case cases[] = {
        {"own size", 384, 256, 0, 0, 1},
        {"whole-pixel offset", 420, 300, 7, 11, 1},
        {"half-pixel offset", 420, 300, 7.5, 3, 1},
        {"scaled down", 192, 128, 0, 0, 0.5},
        {"scaled up", 768, 512, 0, 0, 2},
    };
    const auto bytes = gwtest::graphics::bytesOf(kEffectsSvg);
    for (const auto& c : cases) {
        auto fresh = pg::SvgDocument::fromData(bytes);
        auto ahead = pg::SvgDocument::fromData(bytes);
        ASSERT_TRUE(fresh && ahead);
        ahead->prerender();
        const auto expected = drawnPixels(*fresh, c.width, c.height, c.dx, c.dy, c.scale);
        EXPECT_EQ(drawnPixels(*ahead, c.width, c.height, c.dx, c.dy, c.scale), expected) << c.name;
        // Drawn from several threads at once, as a conversion's sizes are.
        std::vector<std::thread> threads;
        std::atomic<int> mismatches{0};
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                if (drawnPixels(*ahead, c.width, c.height, c.dx, c.dy, c.scale) != expected) ++mismatches;
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(mismatches.load(), 0) << c.name;
    }
    // Dropped while still drawing ahead: the document waits for its drawing.
    pg::SvgDocument::fromData(bytes)->prerender();
}

// A batch of many documents: only a few hold a drawing ahead at a time, the others draw as
// usual with the same bytes, and a place frees when its document goes.
TEST(SvgTest, OnlyAFewDocumentsDrawAheadAtOnce) {
    const auto bytes = gwtest::graphics::bytesOf(kEffectsSvg);
    ASSERT_EQ(pg::SvgDocument::drawnAheadCount(), 0);
    std::vector<std::shared_ptr<const pg::SvgDocument>> batch;
    for (int i = 0; i < pg::SvgDocument::kMaxDrawnAhead + 3; ++i) {
        batch.push_back(pg::SvgDocument::fromData(bytes));
        ASSERT_TRUE(batch.back());
        batch.back()->prerender();
        batch.back()->prerender();  // once per document
    }
    EXPECT_EQ(pg::SvgDocument::drawnAheadCount(), pg::SvgDocument::kMaxDrawnAhead);
    const auto expected = drawnPixels(*batch.front(), 384, 256, 0, 0, 1);
    EXPECT_EQ(drawnPixels(*batch.back(), 384, 256, 0, 0, 1), expected);
    batch.erase(batch.begin());
    auto next = pg::SvgDocument::fromData(bytes);
    next->prerender();
    EXPECT_EQ(pg::SvgDocument::drawnAheadCount(), pg::SvgDocument::kMaxDrawnAhead);
    EXPECT_EQ(drawnPixels(*next, 384, 256, 0, 0, 1), expected);
    batch.clear();
    next.reset();
    EXPECT_EQ(pg::SvgDocument::drawnAheadCount(), 0);
    // A small document draws as fast as it would be waited for: it is not drawn ahead.
    const auto small = pg::SvgDocument::fromData(gwtest::samples::svg(96, 64));
    ASSERT_TRUE(small);
    small->prerender();
    EXPECT_EQ(pg::SvgDocument::drawnAheadCount(), 0);
}
