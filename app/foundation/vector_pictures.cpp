#include "app/foundation/vector_pictures.hpp"

#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/pdf_context.hpp"

#include <cmath>

namespace gw {

using platform::graphics::GraphicsContext;
using platform::graphics::PdfContext;
using platform::graphics::Rect;
using platform::graphics::Size;

namespace {

bool usablePageSize(Size size) {
    return std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 && size.height > 0;
}

// The document is y-down; the page is y-up: flip so it lands upright.
bool renderUpright(const platform::graphics::SvgDocument& document, PdfContext& pdf, Size size,
                   std::string* error) {
    pdf.beginPage(Rect(0, 0, size.width, size.height));
    GraphicsContext* page = pdf.graphicsContext();
    if (!page) return false;
    bool drawn = false;
    {
        GraphicsContext::CurrentScope scope(page);
        page->saveState();
        page->translate(0, size.height);
        page->scale(1, -1);
        drawn = document.render(*page, error);
        page->restoreState();
    }
    pdf.endPage();
    return drawn;
}

}  // namespace

platform::graphics::ImagePtr convertToPDFImage(const platform::graphics::SvgDocument& document, std::string* error) {
    const Size size = document.drawingSize();
    if (!usablePageSize(size)) return nullptr;
    auto pdf = PdfContext::toMemory(Rect(0, 0, size.width, size.height));
    if (!pdf) return nullptr;
    // A drawing the renderer could not finish (a mask or filter it could not make) is
    // not the picture, whatever it left on the page.
    if (!renderUpright(document, *pdf, size, error)) {
        pdf->discard();
        return nullptr;
    }
    if (!pdf->close()) {
        if (error != nullptr) *error = "the SVG document could not be drawn completely";
        return nullptr;
    }
    // Its bitmaps are drawn from the document itself: the page is measured at the size
    // each drawing of it has (a corner's few pixels, a PDF output), not as an icon's.
    auto rep = platform::graphics::PdfRep::fromData(pdf->data(), error, nullptr, false);
    if (!rep) return nullptr;
    return platform::graphics::Image::withRepresentation(std::move(rep));
}

platform::graphics::ImagePtr svgPicture(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                        std::string* error) {
    if (!document) return nullptr;
    // Drawn at its own size meanwhile: the largest icon is usually that drawing, and
    // the longest single piece of a conversion's work.
    document->prerender();
    auto page = convertToPDFImage(*document, error);
    if (!page) return nullptr;
    const Size size = page->size();
    auto picture = platform::graphics::Image::make(size);
    // First, so drawing picks it; the page after it keeps the picture vector.
    picture->addRepresentation(std::make_shared<platform::graphics::DrawingHandlerRep>(
        size, true, [document](Rect) {
            auto* context = GraphicsContext::current();
            return context != nullptr && document->render(*context);
        }));
    for (const auto& rep : page->representations()) picture->addRepresentation(rep);
    return picture;
}

bool saveAsPDFInOutputDirectory(const platform::graphics::SvgDocument& document,
                                const platform::foundation::URL& file) {
    // The page is the document's stated size; a document without one has no page to
    // write.
    const Size size = document.size();
    if (!usablePageSize(size)) return false;
    auto pdf = PdfContext::toFile(file.fsPath(), Rect(0, 0, size.width, size.height));
    if (!pdf) return false;
    if (!renderUpright(document, *pdf, size, nullptr)) {
        pdf->discard();
        return false;
    }
    return pdf->close();
}

}  // namespace gw
