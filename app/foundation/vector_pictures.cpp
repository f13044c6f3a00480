#include "app/foundation/vector_pictures.hpp"

#include "platform/foundation/files.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/image_rep.hpp"
#include "platform/graphics/pdf_document.hpp"

#include <cmath>

namespace gw {

using platform::graphics::GraphicsContext;
using platform::graphics::Rect;
using platform::graphics::Size;

namespace {

bool usablePageSize(Size size) {
    return std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0 && size.height > 0;
}

}  // namespace

platform::graphics::ImagePtr convertToPDFImage(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                               std::string* error, platform::graphics::PictureProblem* problem) {
    if (!document) return nullptr;
    const Size size = document->drawingSize();
    if (!usablePageSize(size)) return nullptr;
    // Written by the document's helper, as it is drawn: a drawing the renderer could
    // not finish (a mask or filter it could not make, a limit it met) is not the picture.
    const double identity[6] = {1, 0, 0, 1, 0, 0};
    auto bytes = document->pageAsPdf(size, identity, {}, error, problem);
    if (!bytes) return nullptr;
    // The page is drawn from the document wherever it is drawn, a PDF output too: the
    // document passed its own scan, and poppler would only draw again what librsvg drew,
    // slower and under limits made for documents we did not make.
    auto page = platform::graphics::PdfDocument::ofDrawing(
        std::move(*bytes), size,
        [document, size](GraphicsContext& context, std::string* why) {
            GraphicsContext::CurrentScope scope(&context);
            context.saveState();
            context.translate(0, size.height);
            context.scale(1, -1);
            const bool drawn = document->render(context, why);
            context.restoreState();
            return drawn;
        },
        [document, size](Size pageSize, const double matrix[6], const std::vector<Rect>& clip, std::string* error,
                         platform::graphics::PictureProblem* problem) {
            // From the page's own coordinates (y up) to the document's (y down).
            const double flipped[6] = {matrix[0], matrix[1], -matrix[2], -matrix[3],
                                       matrix[2] * size.height + matrix[4], matrix[3] * size.height + matrix[5]};
            return document->pageAsPdf(pageSize, flipped, clip, error, problem);
        });
    return platform::graphics::Image::withRepresentation(std::make_shared<platform::graphics::PdfRep>(page));
}

platform::graphics::ImagePtr svgPicture(std::shared_ptr<const platform::graphics::SvgDocument> document,
                                        std::string* error, platform::graphics::PictureProblem* problem) {
    if (!document) return nullptr;
    // Drawn at its own size meanwhile: the largest icon is usually that drawing, and
    // the longest single piece of a conversion's work.
    document->prerender();
    auto page = convertToPDFImage(document, error, problem);
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
    const double identity[6] = {1, 0, 0, 1, 0, 0};
    const auto bytes = document.pageAsPdf(size, identity, {});
    if (!bytes) return false;
    try {
        platform::foundation::files::writeAtomically(
            file.fsPath(), std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace gw
