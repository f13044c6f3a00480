#include "platform/graphics/pdf_context.hpp"

#include <cairo-pdf.h>
#include <cairo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include <fmt/format.h>

#include "platform/graphics/pdf_document.hpp"
#include "platform/graphics/picture_problem.hpp"

namespace platform::graphics {

unsigned int PdfContext::writeChunk(void* closure, const unsigned char* data, unsigned int length) {
    auto* self = static_cast<PdfContext*>(closure);
    if (self->file_ != nullptr) {
        if (std::fwrite(data, 1, length, self->file_) != length) {
            self->writeFailed_ = true;
            return CAIRO_STATUS_WRITE_ERROR;
        }
    } else {
        self->bytes_.insert(self->bytes_.end(), data, data + length);
    }
    return CAIRO_STATUS_SUCCESS;
}

bool PdfContext::start(Rect mediaBox) {
    defaultBox_ = mediaBox;
    surface_ = cairo_pdf_surface_create_for_stream(reinterpret_cast<cairo_write_func_t>(&PdfContext::writeChunk),
                                                   this, mediaBox.width(), mediaBox.height());
    // Without the time it was written, the same drawing gives the same bytes on every run.
    cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATE_DATE, "");
    return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS;
}

std::unique_ptr<PdfContext> PdfContext::toFile(const std::filesystem::path& path, std::optional<Rect> mediaBox,
                                               std::string* error) {
    std::unique_ptr<PdfContext> context(new PdfContext());
    context->path_ = path;
    std::random_device random;
    context->tempPath_ = path;
    context->tempPath_ += fmt::format(".tmp-{:08x}", random());
    context->file_ = std::fopen(context->tempPath_.c_str(), "wb");
    if (context->file_ == nullptr) {
        if (error != nullptr) *error = fmt::format("cannot create {}: {}", path.string(), std::strerror(errno));
        return nullptr;
    }
    if (!context->start(mediaBox.value_or(kDefaultMediaBox))) {
        if (error != nullptr) *error = "cannot create a PDF surface";
        return nullptr;  // the destructor removes the temporary file
    }
    return context;
}

std::unique_ptr<PdfContext> PdfContext::toMemory(std::optional<Rect> mediaBox) {
    std::unique_ptr<PdfContext> context(new PdfContext());
    if (!context->start(mediaBox.value_or(kDefaultMediaBox))) return nullptr;
    return context;
}

PdfContext::~PdfContext() {
    if (!closed_) close();
    if (file_ != nullptr) {
        std::fclose(file_);
        std::error_code ignored;
        std::filesystem::remove(tempPath_, ignored);
    }
}

void PdfContext::beginPage(std::optional<Rect> mediaBox) {
    if (closed_ || surface_ == nullptr) return;
    if (page_) endPage();
    const Rect box = mediaBox.value_or(defaultBox_);
    cairo_pdf_surface_set_size(surface_, box.width(), box.height());
    ++pages_;
    pageBox_ = box;
    page_ = std::make_unique<GraphicsContext>(surface_, Size{box.width(), box.height()});
    page_->translate(-box.minX(), -box.minY());
}

void PdfContext::endPage() {
    if (!page_) return;
    cairo_show_page(page_->cairo());
    page_.reset();
}

bool PdfContext::drawPdfPage(const PdfDocument& document, int index) {
    if (!page_) return false;
    auto fail = [&](PictureProblem kind, std::string why) {
        page_->markIncomplete();
        DrawingProblems::report(kind, std::move(why));
        return false;
    };
    if (pages_ != 1) return fail(PictureProblem::incompleteRender, "a PDF page is drawn only into a one-page PDF");
    cairo_t* cr = page_->cairo();
    cairo_matrix_t m;
    cairo_get_matrix(cr, &m);
    const double matrix[6] = {m.xx, m.yx, m.xy, m.yy, m.x0, m.y0};
    std::vector<Rect> clip;
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_rectangle_list_t* list = cairo_copy_clip_rectangle_list(cr);
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
    cairo_restore(cr);
    if (list->status == CAIRO_STATUS_SUCCESS) {
        for (int i = 0; i < list->num_rectangles; ++i) {
            const auto& r = list->rectangles[i];
            clip.push_back(Rect{r.x, r.y, r.width, r.height});
        }
        if (clip.empty()) clip.push_back(Rect{0, 0, 0, 0});
    } else {
        // A clip of another shape is kept to its extent.
        clip.push_back(Rect{x1, y1, x2 - x1, y2 - y1});
    }
    cairo_rectangle_list_destroy(list);
    std::string why;
    PictureProblem problem = PictureProblem::none;
    auto bytes = document.pageAsPdf(index, pageBox_.size, matrix, clip, &why, &problem);
    if (!bytes) return fail(problem, why);
    adopted_ = std::move(bytes);
    return true;
}

void PdfContext::discard() {
    writeFailed_ = true;
    close();
}

bool PdfContext::close() {
    if (closed_) return !writeFailed_;
    closed_ = true;
    endPage();
    bool ok = surface_ != nullptr;
    if (surface_ != nullptr) {
        cairo_surface_finish(surface_);
        ok = cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
    }
    // A page the helper wrote is the whole document.
    if (adopted_ && ok && !writeFailed_) {
        if (file_ != nullptr) {
            ok = std::fflush(file_) == 0 && ::ftruncate(fileno(file_), 0) == 0 && std::fseek(file_, 0, SEEK_SET) == 0 &&
                 std::fwrite(adopted_->data(), 1, adopted_->size(), file_) == adopted_->size();
        } else {
            bytes_ = std::move(*adopted_);
        }
        adopted_.reset();
    }
    if (file_ != nullptr) {
        ok = ok && !writeFailed_ && std::fflush(file_) == 0 && ::fsync(fileno(file_)) == 0;
        ok = (std::fclose(file_) == 0) && ok;
        file_ = nullptr;
        std::error_code ec;
        if (ok) std::filesystem::rename(tempPath_, path_, ec);
        if (!ok || ec) {
            std::filesystem::remove(tempPath_, ec);
            ok = false;
        }
    }
    writeFailed_ = writeFailed_ || !ok;
    return ok;
}

}  // namespace platform::graphics
