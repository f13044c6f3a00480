#include "app/foundation/image_definition.hpp"

#include "app/foundation/localized_string.hpp"

namespace gw {

platform::graphics::ImagePtr sourceImage(const ImageDefinition& definition) {
    if (!definition.imageInput) return nullptr;
    const auto wrapper = definition.imageInput->imageWrapper();
    return wrapper ? wrapper->image() : nullptr;
}

namespace {

const std::string& descriptionOf(ImageConversionError::Case errorCase) {
    using C = ImageConversionError::Case;
    namespace L = LocalizedString;
    switch (errorCase) {
    case C::unableToGetPNGRepresentationFromFinalImage: return L::errorDescriptionUnableToGetPNGRepresentationFromFinalImage();
    case C::foundSizeZero: return L::errorDescriptionFoundSizeZero();
    case C::zoomFactorIsZero: return L::errorDescriptionZoomFactorIsZero();
    case C::failedReplacingTransparentPixels: return L::errorDescriptionFailedReplacingTransparentPixels();
    case C::failedDrawingZoomedImage: return L::errorDescriptionFailedDrawingZoomedImage();
    case C::failedToResizeImage: return L::errorDescriptionFailedToResizeImage();
    case C::failedToRemoveAlphaChannel: return L::errorDescriptionFailedToRemoveAlphaChannel();
    case C::failedToReplaceColorSpace: return L::errorDescriptionFailedToReplaceColorSpace();
    }
    static const std::string unknown = "Unknown image conversion error";
    return unknown;
}

}  // namespace

ImageConversionError::ImageConversionError(Case errorCase)
    : std::runtime_error(descriptionOf(errorCase)), case_(errorCase), description_(descriptionOf(errorCase)) {}

ImageConversionError::ImageConversionError(Case errorCase, std::string description)
    : std::runtime_error(description), case_(errorCase), description_(std::move(description)) {}

const std::string& ImageConversionError::errorDescription() const { return description_; }

std::optional<std::string> ImageConversionError::recoverySuggestion() const {
    if (case_ == Case::failedToRemoveAlphaChannel) return LocalizedString::errorRecoveryFailedToRemoveAlphaChannel();
    return std::nullopt;
}

}  // namespace gw
