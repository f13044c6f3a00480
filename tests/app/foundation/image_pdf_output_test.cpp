// Re-saving vector pictures as one-page PDFs: the file is parsed back and its page is
// rendered to check where the picture landed.
#include "app/foundation/pdf_output.hpp"

#include "app/foundation/image_definition.hpp"
#include "app/foundation/image_test_pictures.hpp"
#include "app/foundation/vector_pictures.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/pdf_document.hpp"
#include "platform/graphics/render_client.hpp"
#include "support/permission_bound.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include <fmt/format.h>

namespace {

namespace pg = platform::graphics;
using platform::foundation::URL;
using gw::PDFImageSaveError;
using gwtest::kBlue;
using gwtest::kRed;
using gwtest::pixelIs;
using gwtest::Rgba;

// A vector picture of a 50 x 100 page, red on its left half, blue on its right half.
pg::ImagePtr halvesPage() {
    auto context = pg::PdfContext::toMemory(pg::Rect{0, 0, 50, 100});
    context->beginPage();
    auto* page = context->graphicsContext();
    page->setFillColor(pg::Color::rgb(1, 0, 0));
    page->fillRect({0, 0, 25, 100});
    page->setFillColor(pg::Color::rgb(0, 0, 1));
    page->fillRect({25, 0, 25, 100});
    context->close();
    return pg::Image::withRepresentation(pg::PdfRep::fromData(context->data()));
}

// A PDF written by hand: a 200 x 200 media box whose crop box (100, 50, 50, 100) shows
// a red left half and a blue right half; everything outside the crop box is green.
std::vector<uint8_t> offsetCropBoxPdf() {
    const std::string content =
        "0 1 0 rg 0 0 200 200 re f\n"
        "1 0 0 rg 100 50 25 100 re f\n"
        "0 0 1 rg 125 50 25 100 re f\n";
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /CropBox [100 50 150 150] /Contents 4 0 R "
        "/Resources << >> >>",
        fmt::format("<< /Length {} >>\nstream\n{}endstream", content.size(), content),
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += fmt::format("{} 0 obj\n{}\nendobj\n", i + 1, objects[i]);
    }
    const size_t xref = pdf.size();
    pdf += fmt::format("xref\n0 {}\n0000000000 65535 f \n", objects.size() + 1);
    for (size_t offset : offsets) pdf += fmt::format("{:010} 00000 n \n", offset);
    pdf += fmt::format("trailer\n<< /Size {} /Root 1 0 R >>\nstartxref\n{}\n%%EOF\n", objects.size() + 1, xref);
    return std::vector<uint8_t>(pdf.begin(), pdf.end());
}

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The written page, parsed back and rendered at `scale` pixels per point.
struct WrittenPage {
    std::shared_ptr<pg::PdfDocument> document;
    gwtest::RenderedPicture picture;
};

WrittenPage readBack(const std::filesystem::path& path, double scale = 1) {
    WrittenPage page;
    page.document = pg::PdfDocument::fromData(readFile(path));
    if (!page.document) {
        ADD_FAILURE() << "the written file is not a PDF";
        return page;
    }
    const auto image = pg::Image::withRepresentation(std::make_shared<pg::PdfRep>(page.document));
    const pg::Size size = image->size();
    auto bitmap = image->renderBitmap(int(size.width * scale), int(size.height * scale));
    page.picture = gwtest::render(*pg::Image::withBitmap(bitmap));
    return page;
}

template <typename F>
void expectSaveError(PDFImageSaveError::Case expected, F&& save) {
    try {
        save();
        ADD_FAILURE() << "no error, expected case " << static_cast<int>(expected);
    } catch (const PDFImageSaveError& error) {
        EXPECT_EQ(error.errorCase(), expected) << error.what();
    }
}

TEST(SinglePagePdf, StretchesTheCropBoxOntoTheRequestedPageAsVectors) {
    gwtest::TempDir dir;
    const auto path = dir / "page.pdf";
    gw::writeSinglePagePDF(*halvesPage(), URL::fileURL(path), {100, 100}, 1.0);

    const auto page = readBack(path, 4);
    ASSERT_TRUE(page.document);
    EXPECT_EQ(page.document->pageCount(), 1);
    EXPECT_EQ(page.document->cropBox(0), (pg::Rect{0, 0, 100, 100}));
    // Scale (2, 1): the red half now spans 0...50 points, the blue half 50...100.
    const auto& p = page.picture;
    EXPECT_TRUE(pixelIs(p, 4, 200, kRed));
    EXPECT_TRUE(pixelIs(p, 198, 4, kRed));
    EXPECT_TRUE(pixelIs(p, 202, 396, kBlue));
    EXPECT_TRUE(pixelIs(p, 396, 200, kBlue));
    // Vector: no embedded pictures, and the edge stays sharp at four times the size.
    const auto bytes = readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("/Image"), std::string::npos);
    EXPECT_TRUE(pixelIs(p, 199, 200, kRed, 40));
    EXPECT_TRUE(pixelIs(p, 200, 200, kBlue, 40));
}

TEST(SinglePagePdf, ZoomShrinksAboutThePageCentre) {
    gwtest::TempDir dir;
    const auto path = dir / "zoomed.pdf";
    // Zoom 0.5: scale (1, 0.5) after a translation of (25, 25).
    gw::writeSinglePagePDF(*halvesPage(), URL::fileURL(path), {100, 100}, 0.5);
    const auto page = readBack(path);
    const auto& p = page.picture;
    EXPECT_TRUE(pixelIs(p, 27, 50, kRed));
    EXPECT_TRUE(pixelIs(p, 48, 27, kRed));
    EXPECT_TRUE(pixelIs(p, 52, 72, kBlue));
    EXPECT_TRUE(pixelIs(p, 72, 50, kBlue));
    for (auto [x, y] : {std::pair{10, 50}, {90, 50}, {50, 10}, {50, 90}}) {
        EXPECT_EQ(p.at(x, y).a, 0) << x << ", " << y;
    }
}

TEST(SinglePagePdf, CropBoxAwayFromTheOriginIsNotShifted) {
    gwtest::TempDir dir;
    const auto source = pg::Image::withRepresentation(pg::PdfRep::fromData(offsetCropBoxPdf()));
    ASSERT_TRUE(source->pdfRepresentation());
    ASSERT_EQ(source->pdfRepresentation()->cropBox(), (pg::Rect{100, 50, 50, 100}));
    const auto path = dir / "cropped.pdf";
    gw::writeSinglePagePDF(*source, URL::fileURL(path), {100, 100}, 1.0);
    const auto page = readBack(path);
    const auto& p = page.picture;
    EXPECT_TRUE(pixelIs(p, 3, 3, kRed));
    EXPECT_TRUE(pixelIs(p, 47, 96, kRed));
    EXPECT_TRUE(pixelIs(p, 53, 3, kBlue));
    EXPECT_TRUE(pixelIs(p, 96, 96, kBlue));

    // Zoomed out, what lies outside the crop box stays hidden.
    const auto smaller = dir / "smaller.pdf";
    gw::writeSinglePagePDF(*source, URL::fileURL(smaller), {100, 100}, 0.5);
    const auto border = readBack(smaller);
    EXPECT_EQ(border.picture.at(10, 10).a, 0);
    EXPECT_TRUE(pixelIs(border.picture, 30, 50, kRed));
}

TEST(SinglePagePdf, ChecksFailInTheirOrderAndLeaveTheFileAlone) {
    gwtest::TempDir dir;
    const auto path = dir / "existing.pdf";
    { std::ofstream(path) << "keep me"; }
    const URL url = URL::fileURL(path);

    const auto bitmap = gwtest::paintedPicture(10, 10, [](int, int) { return kRed; });
    expectSaveError(PDFImageSaveError::Case::noPdfImageRep,
                    [&] { gw::writeSinglePagePDF(*bitmap, url, {100, 100}, 1.0); });
    // A PDF representation without a document has no bytes to read.
    const auto hollow = pg::Image::withRepresentation(std::make_shared<pg::PdfRep>(nullptr));
    expectSaveError(PDFImageSaveError::Case::noPdfImageRep,
                    [&] { gw::writeSinglePagePDF(*hollow, url, {100, 100}, 1.0); });

    for (double zoom : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        try {
            gw::writeSinglePagePDF(*halvesPage(), url, {100, 100}, zoom);
            ADD_FAILURE() << "zoom " << zoom << " was accepted";
        } catch (const gw::ImageConversionError& error) {
            EXPECT_EQ(error.errorCase(), gw::ImageConversionError::Case::zoomFactorIsZero);
        }
    }
    const auto kept = readFile(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep me");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    expectSaveError(PDFImageSaveError::Case::failedToCreateOutputPDFContext, [&] {
        gw::writeSinglePagePDF(*halvesPage(), URL::fileURL(dir / "missing" / "a.pdf"), {10, 10}, 0);
    });
}

// A folder that takes no files: the context fails before the zoom is looked at.
TEST(SinglePagePdf, AFolderThatTakesNoFilesFailsBeforeTheZoomIsLookedAt) {
    if (!gwtest::runWherePermissionsBind()) return;
    gwtest::TempDir dir;
    const auto locked = dir / "locked";
    std::filesystem::create_directory(locked);
    ::chmod(locked.c_str(), 0500);
    expectSaveError(PDFImageSaveError::Case::failedToCreateOutputPDFContext,
                    [&] { gw::writeSinglePagePDF(*halvesPage(), URL::fileURL(locked / "a.pdf"), {10, 10}, 0); });
    ::chmod(locked.c_str(), 0700);
    EXPECT_TRUE(std::filesystem::is_empty(locked));
}

TEST(SinglePagePdf, AnSvgPictureIsWrittenFromItsDrawingNotDrawnAgainByTheRenderer) {
    // Red and blue halves under a hundred translucent gradient shapes: each shape is a
    // soft-masked group in the picture's PDF page, which poppler drew slowly enough to
    // pass its time limit when the page was large. The document's own helpers write it.
    std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="50" height="100"><defs>)"
                      R"(<radialGradient id="g"><stop offset="0" stop-color="#fff"/>)"
                      R"(<stop offset="1" stop-color="#0f0" stop-opacity="0.5"/></radialGradient></defs>)"
                      R"(<rect width="25" height="100" fill="#f00"/><rect x="25" width="25" height="100" fill="#00f"/>)";
    for (int i = 0; i < 100; ++i) {
        svg += fmt::format(R"x(<circle cx="{}" cy="{}" r="3" fill="url(#g)" opacity="0.5"/>)x", 5 + i % 5 * 10,
                           5 + i / 5 * 5);
    }
    svg += "</svg>";
    const auto document = pg::SvgDocument::fromData(std::span(reinterpret_cast<const uint8_t*>(svg.data()), svg.size()));
    ASSERT_TRUE(document);
    const auto picture = gw::svgPicture(document);
    ASSERT_TRUE(picture);
    gwtest::TempDir dir;
    const auto path = dir / "drawing.pdf";
    gw::writeSinglePagePDF(*picture, URL::fileURL(path), {100, 100}, 1.0);

    // Stretched as any page is, upright, and its shapes still vectors.
    const auto page = readBack(path, 4);
    ASSERT_TRUE(page.document);
    EXPECT_EQ(page.document->cropBox(0), (pg::Rect{0, 0, 100, 100}));
    EXPECT_TRUE(pixelIs(page.picture, 4, 396, kRed));
    EXPECT_TRUE(pixelIs(page.picture, 396, 396, kBlue));
    const auto bytes = readFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("/Image"), std::string::npos);
}

TEST(SinglePagePdf, ZeroSizedPageIsWrittenWithoutDrawing) {
    gwtest::TempDir dir;
    const auto path = dir / "flat.pdf";
    gw::writeSinglePagePDF(*halvesPage(), URL::fileURL(path), {0, 100}, 1.0);
    EXPECT_TRUE(std::filesystem::exists(path));
    const auto bytes = readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find("nan"), std::string::npos);
}

}  // namespace
