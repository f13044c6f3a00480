#include "platform/graphics/pdf_document.hpp"

#include <cairo.h>
#include <poppler.h>

#include <fmt/format.h>

#include "platform/graphics/graphics_context.hpp"

namespace platform::graphics {

std::shared_ptr<PdfDocument> PdfDocument::fromData(std::vector<uint8_t> bytes, std::string* error) {
    std::shared_ptr<PdfDocument> document(new PdfDocument());
    document->bytes_ = std::move(bytes);
    // Poppler reads straight from our buffer, which lives as long as the document.
    GBytes* gbytes = g_bytes_new_static(document->bytes_.data(), document->bytes_.size());
    GError* gerror = nullptr;
    document->document_ = poppler_document_new_from_bytes(gbytes, nullptr, &gerror);
    g_bytes_unref(gbytes);
    if (document->document_ == nullptr || poppler_document_get_n_pages(document->document_) < 1) {
        if (error != nullptr) {
            *error = fmt::format("cannot open PDF document: {}",
                                 gerror != nullptr ? gerror->message : "the document has no pages");
        }
        if (gerror != nullptr) g_error_free(gerror);
        return nullptr;
    }
    return document;
}

PdfDocument::~PdfDocument() {
    if (document_ != nullptr) g_object_unref(document_);
}

int PdfDocument::pageCount() const {
    std::lock_guard lock(mutex_);
    return poppler_document_get_n_pages(document_);
}

std::optional<Rect> PdfDocument::cropBox(int index) const {
    std::lock_guard lock(mutex_);
    PopplerPage* page = poppler_document_get_page(document_, index);
    if (page == nullptr) return std::nullopt;
    PopplerRectangle box;
    poppler_page_get_crop_box(page, &box);
    g_object_unref(page);
    return Rect{std::min(box.x1, box.x2), std::min(box.y1, box.y2), std::fabs(box.x2 - box.x1),
                std::fabs(box.y2 - box.y1)};
}

std::optional<Rect> PdfDocument::mediaBox(int index) const { return cropBox(index); }

bool PdfDocument::drawPage(int index, GraphicsContext& context) const {
    const auto crop = cropBox(index);
    if (!crop || crop->isEmpty()) return false;
    context.drawWithEffects(
        [&](cairo_t* cr) {
            std::lock_guard lock(mutex_);
            PopplerPage* page = poppler_document_get_page(document_, index);
            if (page == nullptr) return;
            cairo_save(cr);
            // Poppler draws y down from the crop box's top-left corner.
            cairo_translate(cr, crop->origin.x, crop->origin.y + crop->size.height);
            cairo_scale(cr, 1, -1);
            poppler_page_render(page, cr);
            cairo_restore(cr);
            g_object_unref(page);
        },
        context.compositingOperation());
    return true;
}

}  // namespace platform::graphics
