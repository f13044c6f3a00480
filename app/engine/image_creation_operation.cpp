#include "app/engine/image_creation_operation.hpp"

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
    : progressUpdateHandler_(std::move(progressUpdateHandler)), imageDefinition_(std::move(imageDefinition)) {}

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

void ImageCreationOperation::render() {
    const auto& definition = imageDefinition_;
    pg::ImagePtr image;
    if (definition.imageInput) {
        if (auto wrapper = definition.imageInput->imageWrapper()) image = wrapper->image();
    }
    // A definition without a picture has nothing to draw.
    if (!image) throw ImageConversionError(ImageConversionError::Case::failedToResizeImage);
    const auto& bounds = writingBoundary_ ? *writingBoundary_ : *WritingBoundary::everything();
    const auto file = definition.outputDirectory.fsPath();
    // Checked again at the last moment: a folder may have become a link since planning.
    // (Writing goes through the boundary as well, which holds whenever a link appears.)
    bounds.checkFile(file);

    if (isCancelled()) throw ConversionStoppedError();
    if (definition.format == ImageDefinition::Format::pdf) {
        const auto bytes = singlePagePDF(*image, definition.size, definition.zoom,
                                         [&] { return bounds.canCreateFileBeside(file); });
        try {
            bounds.writeFile(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        } catch (const pf::Error&) {
            throw PDFImageSaveError(PDFImageSaveError::Case::failedToCreateOutputPDFContext);
        }
        return;
    }
    bool drawn = false;
    std::optional<std::vector<std::uint8_t>> data;
    // A stopped run gives up the picture it is encoding (the longest step) half way.
    const pg::InterruptionScope interruption([this] { return isCancelled(); });
    if (renderShare_) {
        // Everything the picture's pixels depend on; the source by identity.
        const auto key = fmt::format("{}|{}x{}|{}|{}|{}|{}|{}|{}", static_cast<const void*>(image.get()),
                                     definition.size.width, definition.size.height,
                                     static_cast<int>(definition.scaleType), definition.zoom,
                                     colourKey(definition.backgroundColour), definition.isAlphaChannelRemoved,
                                     definition.roundCorners, definition.addShadow);
        auto entry = renderShare_->entry(key);
        std::lock_guard lock(entry->mutex);
        if (!entry->made) {
            try {
                entry->bytes = pngBytes(*image, entry->drawn);
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
        data = pngBytes(*image, drawn);
    }
    if (isCancelled()) throw ConversionStoppedError();
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
    // or only when its PNG data is asked for: a drawing that fails then says why.
    pg::DrawingProblems problems;
    auto rendered = converted(image, definition.size, static_cast<std::int64_t>(definition.scaleType),
                              definition.zoom, background, definition.isAlphaChannelRemoved,
                              definition.roundCorners, definition.addShadow);
    drawn = rendered != nullptr;
    auto data = rendered ? pngData(*rendered) : std::nullopt;
    if (!data && problems.kind() != pg::PictureProblem::none) {
        Logger::log("The picture could not be drawn: " + problems.text());
        throw ImageConversionError(ImageConversionError::Case::unableToGetPNGRepresentationFromFinalImage,
                                   LocalizedString::text("error.description.png.notDrawnBecause",
                                                         sizeText(definition.size),
                                                         ImageInput::problemDescription(problems.kind())));
    }
    return data;
}

std::shared_ptr<RenderShare::Entry> RenderShare::entry(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto& entry = entries_[key];
    if (!entry) entry = std::make_shared<Entry>();
    return entry;
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
    // The shared pictures go once the last operation of the folder that shares them is done.
    renderShare_.reset();
    progress_.store(1.0f, std::memory_order_release);
    if (progressUpdateHandler_) progressUpdateHandler_(1.0f);
    finish();
}

std::string errorDescription(const std::exception_ptr& error) {
    if (!error) return {};
    // Descriptions from the platform and the libraries quote paths as they are.
    try {
        std::rethrow_exception(error);
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
