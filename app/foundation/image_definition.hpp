#pragma once
// One picture file a conversion will write: the source picture, the file's URL, the
// target size, how the picture is fitted, zoomed, filled, cornered and shadowed,
// whether its alpha channel is removed, and the file format. Builders make them;
// the engine renders them.
#include "app/foundation/image_input.hpp"
#include "app/foundation/scale_type.hpp"
#include "platform/foundation/url.hpp"
#include "platform/graphics/color.hpp"
#include "platform/graphics/geometry.hpp"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace gw {

struct ImageDefinition {
    enum class Format : int { png = 0, pdf = 1 };

    ImageInputPtr imageInput;
    // Despite its name, the URL of the image file itself (folder plus file name).
    platform::foundation::URL outputDirectory;
    // png: pixel size of the file; pdf: page size in points.
    platform::graphics::Size size;
    ScaleType scaleType = ScaleType::stretch;
    float zoom = 1.0f;
    // A colour whose alpha is exactly 0 means no fill.
    platform::graphics::Color backgroundColour = platform::graphics::Color::clear();
    bool isAlphaChannelRemoved = false;
    Format format = Format::png;
    bool roundCorners = false;
    bool addShadow = false;
};

// The picture the definition is drawn from; null without one.
platform::graphics::ImagePtr sourceImage(const ImageDefinition& definition);

// The error of every image operation; its description is a localised text.
class ImageConversionError : public std::runtime_error {
public:
    enum class Case : int {
        unableToGetPNGRepresentationFromFinalImage = 0,
        foundSizeZero = 1,
        zoomFactorIsZero = 2,
        failedReplacingTransparentPixels = 3,
        failedDrawingZoomedImage = 4,
        failedToResizeImage = 5,
        failedToRemoveAlphaChannel = 6,
        failedToReplaceColorSpace = 7,
    };

    explicit ImageConversionError(Case errorCase);
    // The case with a description that also says why (which step failed, at what size).
    ImageConversionError(Case errorCase, std::string description);

    Case errorCase() const noexcept { return case_; }
    const std::string& errorDescription() const;
    // Only failedToRemoveAlphaChannel has one.
    std::optional<std::string> recoverySuggestion() const;

    friend bool operator==(const ImageConversionError& a, const ImageConversionError& b) {
        return a.case_ == b.case_;
    }

private:
    Case case_;
    std::string description_;
};

}  // namespace gw

template <>
struct std::hash<gw::ImageConversionError> {
    std::size_t operator()(const gw::ImageConversionError& error) const noexcept {
        return std::hash<int>()(static_cast<int>(error.errorCase()));
    }
};
