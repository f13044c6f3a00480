#include "app/foundation/pdf_output.hpp"

#include "app/foundation/image_categories.hpp"
#include "app/foundation/image_definition.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/graphics/graphics_context.hpp"
#include "platform/graphics/pdf_context.hpp"
#include "platform/graphics/pdf_document.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <random>

#include <fmt/format.h>

namespace gw {

namespace pg = platform::graphics;

namespace {

std::string description(PDFImageSaveError::Case errorCase) {
    switch (errorCase) {
        case PDFImageSaveError::Case::noPdfImageRep: return LocalizedString::text("error.description.pdf.noPdfImageRep");
        case PDFImageSaveError::Case::failedToOpenDocument:
            return LocalizedString::text("error.description.pdf.failedToOpenDocument");
        case PDFImageSaveError::Case::failedToCreateOutputPDFContext:
            return LocalizedString::text("error.description.pdf.failedToCreateOutputPDFContext");
        case PDFImageSaveError::Case::failedToOpenFirstPage:
            return LocalizedString::text("error.description.pdf.failedToOpenFirstPage");
    }
    return LocalizedString::text("error.description.pdf.failedToOpenDocument");
}

// Whether an output context could be opened at `path`: the context writes a sibling
// file first, so that is what is tried. Used when the save is refused later anyway, so
// the refusal reports the same failure as opening the context would, without leaving
// an empty document in place of whatever the file held.
bool outputContextCouldOpen(const std::filesystem::path& path) {
    std::random_device random;
    std::filesystem::path probe = path;
    probe += fmt::format(".probe-{:08x}", random());
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool usable(pg::Size size) {
    return size.width > 0 && size.height > 0 && std::isfinite(size.width) && std::isfinite(size.height);
}

}  // namespace

PDFImageSaveError::PDFImageSaveError(Case errorCase)
    : std::runtime_error(description(errorCase)), case_(errorCase) {}

PDFImageSaveError::PDFImageSaveError(Case errorCase, const std::string& description)
    : std::runtime_error(description), case_(errorCase) {}

std::vector<std::uint8_t> singlePagePDF(const pg::Image& image, pg::Size size, double zoom,
                                        const std::function<bool()>& canWrite) {
    using Case = PDFImageSaveError::Case;
    const auto rep = pdfImageRep(image);
    if (!rep) throw PDFImageSaveError(Case::noPdfImageRep);
    if (rep->pdfData().empty()) throw PDFImageSaveError(Case::noPdfImageRep);
    // Drawn by renderer helpers of its own, as many at once as there are drawings.
    const auto& document = rep->document();
    if (!document) throw PDFImageSaveError(Case::failedToOpenDocument);

    // A crop box without area cannot be stretched onto a page; it counts as no page.
    const auto crop = document->pageCount() >= 1 ? document->cropBox(0) : std::nullopt;
    const bool pageUsable = crop && usable(crop->size);
    const bool zoomUsable = zoom > 0;
    if (!pageUsable || !zoomUsable) {
        if (canWrite && !canWrite()) throw PDFImageSaveError(Case::failedToCreateOutputPDFContext);
        if (!pageUsable) throw PDFImageSaveError(Case::failedToOpenFirstPage);
        throw ImageConversionError(ImageConversionError::Case::zoomFactorIsZero);
    }

    auto context = pg::PdfContext::toMemory();
    if (!context) throw PDFImageSaveError(Case::failedToCreateOutputPDFContext);

    const pg::Rect media = document->mediaBox(0).value_or(*crop);
    const double W = size.width, H = size.height;
    context->beginPage(pg::Rect{media.origin, size});
    pg::GraphicsContext* page = context->graphicsContext();
    // Stretching onto a page without area has nothing to show (and no valid matrix).
    if (page != nullptr && usable(size)) {
        page->saveState();
        // User space starts at the page's bottom-left corner, wherever the source's
        // boxes sit; the crop box's own origin is taken off below, so a crop box that
        // does not start at (0, 0) lands on the page and not beside it.
        page->translate(media.origin.x, media.origin.y);
        if (zoom != 1.0) page->translate((1 - zoom) * W * 0.5, (1 - zoom) * H * 0.5);
        page->scale(W / crop->size.width * zoom, H / crop->size.height * zoom);
        page->translate(-crop->origin.x, -crop->origin.y);
        page->clipToRect(*crop);
        pg::DrawingProblems problems;
        const bool drawn = context->drawPdfPage(*document, 0);
        page->restoreState();
        if (!drawn) {
            // A page left empty or drawn in part is not the picture.
            context->discard();
            const auto kind = problems.kind() == pg::PictureProblem::none ? pg::PictureProblem::incompleteRender
                                                                           : problems.kind();
            Logger::log("The PDF page could not be drawn: " + problems.text());
            throw PDFImageSaveError(Case::failedToOpenFirstPage,
                                    LocalizedString::text("error.description.pdf.pageNotDrawn",
                                                          ImageInput::problemDescription(kind, problems.text())));
        }
    }
    context->endPage();
    // A document that could not be completed is not there; say so rather than succeed.
    if (!context->close()) throw PDFImageSaveError(Case::failedToCreateOutputPDFContext);
    return context->data();
}

void writeSinglePagePDF(const pg::Image& image, const platform::foundation::URL& file, pg::Size size, double zoom) {
    const std::filesystem::path path = file.fsPath();
    const auto bytes = singlePagePDF(image, size, zoom, [&] { return outputContextCouldOpen(path); });
    try {
        platform::foundation::files::writeAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const platform::foundation::Error&) {
        throw PDFImageSaveError(PDFImageSaveError::Case::failedToCreateOutputPDFContext);
    }
}

}  // namespace gw
