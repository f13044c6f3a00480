#include "app/engine/image_creation_operation.hpp"

#include "app/engine/picture_estimates.hpp"
#include "app/foundation/image_input.hpp"
#include "app/foundation/image_operations.hpp"
#include "app/foundation/localized_string.hpp"
#include "app/foundation/logger.hpp"
#include "app/foundation/pdf_output.hpp"
#include "platform/foundation/error.hpp"
#include "platform/foundation/files.hpp"
#include "platform/foundation/utf8.hpp"
#include "platform/graphics/interruption.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <optional>

namespace gw {

namespace pf = platform::foundation;
namespace pg = platform::graphics;

ImageCreationOperation::ImageCreationOperation(ImageDefinition imageDefinition,
                                               ProgressUpdateHandler progressUpdateHandler)
    : progressUpdateHandler_(std::move(progressUpdateHandler)), imageDefinition_(std::move(imageDefinition)) {
    expectation_ = MemoryBudget::shared().expect(sourceImage(imageDefinition_));
}

void ImageCreationOperation::setRenderShare(std::shared_ptr<RenderShare> share) {
    if (renderShare_) renderShare_->release(renderShareKey_);
    renderShare_ = std::move(share);
    const auto image = sourceImage(imageDefinition_);
    if (!renderShare_ || !image) {
        renderShare_.reset();
        return;
    }
    renderShareKey_ = shareKey(*image);
    renderShare_->reserve(renderShareKey_);
}

std::exception_ptr ImageCreationOperation::error() const {
    std::lock_guard lock(errorMutex_);
    return error_;
}

namespace {

std::string colourKey(const pg::Color& colour) {
    return fmt::format("{}:{}:{}", colour.colorSpace().name(), fmt::join(colour.components(), ","), colour.alpha());
}

std::string sizeText(pg::Size size) { return fmt::format("{} × {}", size.width, size.height); }

}  // namespace

std::string ImageCreationOperation::shareKey(const pg::Image& image) const {
    const auto& definition = imageDefinition_;
    return fmt::format("{}|{}x{}|{}|{}|{}|{}|{}|{}", static_cast<const void*>(&image), definition.size.width,
                       definition.size.height, static_cast<int>(definition.scaleType), definition.zoom,
                       colourKey(definition.backgroundColour), definition.isAlphaChannelRemoved,
                       definition.roundCorners, definition.addShadow);
}

MemoryBudget::Admission ImageCreationOperation::admitDrawing(const pg::ImagePtr& image) const {
    const auto& input = imageDefinition_.imageInput;
    // Should its pixels have gone, reading them again takes what reading the file took;
    // a picture not read from a file is read from bytes at most about as large as its
    // pixels (larger ones are kept as PNG), beside a decoder's picture.
    const std::uint64_t pixels = releasablePixelBytes(*image);
    std::uint64_t readingBytes = 3 * pixels;
    if (pixels > 0 && input && input->readingBytes() > 0) readingBytes = input->readingBytes();
    auto admission = MemoryBudget::shared().admit(estimateDrawing(imageDefinition_, *image),
                                                  {{image, readingBytes}}, [this] { return isCancelled(); });
    if (!admission) throw ConversionStoppedError();
    // Stopped just as it was admitted: the picture is not read again (seconds for a large one).
    throwIfStopped();
    // Read now, so that what reading takes is given back before the drawing starts.
    for (const auto& rep : image->representations()) {
        if (rep && rep->kind() == pg::ImageRep::Kind::bitmap) static_cast<const pg::BitmapRep&>(*rep).bitmap();
    }
    admission.picturesRead();
    return admission;
}

std::shared_ptr<const std::vector<std::uint8_t>> ImageCreationOperation::draw(const pg::ImagePtr& image,
                                                                            bool& drawn) const {
    std::optional<std::vector<std::uint8_t>> bytes;
    // A picture that is its source's pixels as they are is encoded from them: drawing
    // it first would only copy them (a whole large picture, in an image set).
    const auto unchanged = unchangedSource(imageDefinition_, *image);
    if (const auto pixels = unchanged ? unchanged->bitmap() : nullptr; pixels && pixels->width() > 0) {
        drawn = true;
        throwIfStopped();
        auto encoded = unchanged->pngData();
        if (!encoded.empty()) bytes = std::move(encoded);
    } else {
        bytes = pngBytes(*image, drawn);
    }
    if (!bytes) return nullptr;
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(*bytes));
}

void ImageCreationOperation::render() {
    const auto& definition = imageDefinition_;
    const pg::ImagePtr image = sourceImage(definition);
    // A definition without a picture has nothing to draw.
    if (!image) throw ImageConversionError(ImageConversionError::Case::failedToResizeImage);
    const auto& bounds = writingBoundary_ ? *writingBoundary_ : *WritingBoundary::everything();
    const auto file = definition.outputDirectory.fsPath();
    // Checked again at the last moment: a folder may have become a link since planning.
    // (Writing goes through the boundary as well, which holds whenever a link appears.)
    bounds.checkFile(file);

    throwIfStopped();
    if (definition.format == ImageDefinition::Format::pdf) {
        const auto admission = MemoryBudget::shared().admit(estimateDrawing(definition, *image), {},
                                                            [this] { return isCancelled(); });
        if (!admission) throw ConversionStoppedError();
        throwIfStopped();
        const auto bytes = singlePagePDF(*image, definition.size, definition.zoom,
                                         [&] { return bounds.canCreateFileBeside(file); });
        try {
            bounds.writeFile(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        } catch (const pf::Error& failure) {
            // Out of descriptors says nothing about the output folder.
            if (pf::isOutOfFileDescriptors(failure)) throw;
            throw PDFImageSaveError(PDFImageSaveError::Case::failedToCreateOutputPDFContext);
        }
        return;
    }
    bool drawn = false;
    std::shared_ptr<const std::vector<std::uint8_t>> data;
    // What drawing the picture holds is held until its file is written: the file's
    // bytes are as large as the picture.
    MemoryBudget::Admission admission;
    // A stopped run gives up the picture it is encoding (the longest step) half way.
    const pg::InterruptionScope interruption([this] { return isCancelled(); });
    if (renderShare_) {
        auto entry = renderShare_->entry(renderShareKey_);
        std::lock_guard lock(entry->mutex);
        if (!entry->made) {
            try {
                admission = admitDrawing(image);
                entry->bytes = draw(image, entry->drawn);
                // Given up half way: those waiting for it are stopped as well.
                if (!entry->bytes && isCancelled()) throw ConversionStoppedError();
            } catch (...) {
                entry->error = std::current_exception();
            }
            entry->made = true;
        }
        if (entry->error) std::rethrow_exception(entry->error);
        data = entry->bytes;
        drawn = entry->drawn;
    } else {
        admission = admitDrawing(image);
        data = draw(image, drawn);
    }
    throwIfStopped();
    if (!data) {
        throw ImageConversionError(ImageConversionError::Case::unableToGetPNGRepresentationFromFinalImage,
                                   LocalizedString::text(drawn ? "error.description.png.notEncoded"
                                                                  : "error.description.png.notDrawn",
                                                         sizeText(definition.size)));
    }
    bounds.writeFile(file, std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

std::optional<std::vector<std::uint8_t>> ImageCreationOperation::pngBytes(const pg::Image& image, bool& drawn) const {
    const auto& definition = imageDefinition_;
    std::optional<pg::Color> background;
    if (definition.backgroundColour.alpha() != 0) background = definition.backgroundColour;
    // The picture is drawn as the final image is made (to take its alpha channel off)
    // or only when its pixels are asked for: a drawing that fails then says why.
    pg::DrawingProblems problems;
    // Each step of a large picture takes seconds: a stopped run starts none of them (those
    // under way end with the step; its encoding stops half way).
    throwIfStopped();
    auto rendered = converted(image, definition.size, static_cast<std::int64_t>(definition.scaleType),
                              definition.zoom, background, definition.isAlphaChannelRemoved,
                              definition.roundCorners, definition.addShadow);
    drawn = rendered != nullptr;
    const auto bitmap = rendered ? rendered->renderedBitmap() : nullptr;
    // A drawing given up as the run stopped is no failure of the picture's.
    throwIfStopped();
    std::optional<std::vector<std::uint8_t>> data;
    if (auto encoded = bitmap ? bitmap->pngData() : std::vector<std::uint8_t>{}; !encoded.empty()) {
        data = std::move(encoded);
    }
    if (!data && problems.kind() != pg::PictureProblem::none) {
        Logger::log("The picture could not be drawn: " + problems.text());
        throw PictureDrawingError(LocalizedString::text("error.description.png.notDrawnBecause",
                                                        sizeText(definition.size),
                                                        ImageInput::problemDescription(problems.kind(), problems.text())),
                                  problems.kind());
    }
    return data;
}

void ImageCreationOperation::throwIfStopped() const {
    if (isCancelled()) throw ConversionStoppedError();
}

void RenderShare::reserve(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto& shared = entries_[key];
    if (!shared.entry) shared.entry = std::make_shared<Entry>();
    ++shared.users;
}

std::shared_ptr<RenderShare::Entry> RenderShare::entry(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto& shared = entries_[key];
    if (!shared.entry) shared.entry = std::make_shared<Entry>();
    return shared.entry;
}

void RenderShare::release(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return;
    // The last one to write them lets the bytes go; a picture as large as its source
    // would otherwise stay in memory until the whole folder is written.
    if (--found->second.users <= 0) entries_.erase(found);
}

void ImageCreationOperation::start() {
    if (executionState() != ExecutionState::initial) return;
    markExecuting();
    try {
        render();
    } catch (...) {
        auto caught = std::current_exception();
        Logger::log("Image creation failed, with error: " + errorDescription(caught));
        std::lock_guard lock(errorMutex_);
        error_ = caught;
    }
    if (renderShare_) renderShare_->release(renderShareKey_);
    renderShare_.reset();
    // The source may make way for other work once nothing of this folder waits for it.
    expectation_.end();
    progress_.store(1.0f, std::memory_order_release);
    if (progressUpdateHandler_) progressUpdateHandler_(1.0f);
    finish();
}

bool PictureDrawingError::stoppedAtALimit(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const PictureDrawingError& drawing) {
        return pg::isRendererLimit(drawing.problem());
    } catch (...) {
        return false;
    }
}

namespace {

// What `error` says, as it says it: escaped only where it is shown.
std::string textOf(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "Unknown error";
}

}  // namespace

// Whoever shows only what() still says why, as the command line does.
PictureFailedError::PictureFailedError(std::string picture, std::exception_ptr cause)
    : std::runtime_error(LocalizedString::text("error.description.picture.failed", picture, textOf(cause))),
      picture_(std::move(picture)),
      cause_(std::move(cause)) {}

std::string errorDescription(const std::exception_ptr& error) {
    if (!error) return {};
    // Descriptions from the platform and the libraries quote paths as they are.
    try {
        std::rethrow_exception(error);
    } catch (const PictureFailedError& failed) {
        return LocalizedString::text("error.description.picture.failed", pf::escapedForDisplay(failed.picture()),
                                     errorDescription(failed.cause()));
    } catch (const ImageConversionError& conversionError) {
        return pf::escapedForDisplay(conversionError.errorDescription());
    } catch (const pf::Error& platformError) {
        return pf::escapedForDisplay(platformError.localizedDescription());
    } catch (const std::exception& other) {
        return pf::escapedForDisplay(other.what());
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace gw
