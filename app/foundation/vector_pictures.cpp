#include "app/foundation/vector_pictures.hpp"

#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/pdf_document.hpp"

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

platform::graphics::ImagePtr convertToPDFImage(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                               std::string* error) {
    if (!document) return nullptr;
    const Size size = document->drawingSize();
    if (!usablePageSize(size)) return nullptr;
    auto pdf = PdfContext::toMemory(Rect(0, 0, size.width, size.height));
    if (!pdf) return nullptr;
    // A drawing the renderer could not finish (a mask or filter it could not make) is
    // not the picture, whatever it left on the page.
    if (!renderUpright(*document, *pdf, size, error)) {
        pdf->discard();
        return nullptr;
    }
    if (!pdf->close()) {
        if (error != nullptr) *error = "the SVG document could not be drawn completely";
        return nullptr;
    }
    // The page is drawn from the document wherever it is drawn, a PDF output too: the
    // document passed its own scan, and poppler would only draw again what librsvg drew,
    // slower and under limits made for documents we did not make.
    auto page = platform::graphics::PdfDocument::ofDrawing(
        pdf->data(), size, [document, size](GraphicsContext& context, std::string* why) {
            GraphicsContext::CurrentScope scope(&context);
            context.saveState();
            context.translate(0, size.height);
            context.scale(1, -1);
            const bool drawn = document->render(context, why);
            context.restoreState();
            return drawn;
        });
    return platform::graphics::Image::withRepresentation(std::make_shared<platform::graphics::PdfRep>(page));
}

platform::graphics::ImagePtr svgPicture(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                        std::string* error) {
    if (!document) return nullptr;
    // Drawn at its own size meanwhile: the largest icon is usually that drawing, and
    // the longest single piece of a conversion's work.
    document->prerender();
    auto page = convertToPDFImage(document, error);
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
