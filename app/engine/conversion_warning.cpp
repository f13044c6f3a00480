#include "app/engine/conversion_warning.hpp"

#include "app/engine/string_truncation.hpp"
#include "app/foundation/image_categories.hpp"
#include "app/foundation/localized_string.hpp"
#include "platform/foundation/utf8.hpp"

#include <cmath>

namespace gw {

namespace pg = platform::graphics;

namespace {

constexpr std::size_t kImageNameLength = 15;
constexpr std::string_view kImageNameLeader = "...";
constexpr double kAspectRatioMatchTolerance = 0.1;

ConversionWarning makeWarning(ConversionWarning::Kind kind, ImageInputPtr imageInput, bool prefix,
                              std::optional<pg::Size> requiredSize) {
    ConversionWarning warning;
    warning.imageInput = std::move(imageInput);
    warning.kind = kind;
    warning.prefixErrorDescriptionWithImageName = prefix;
    warning.requiredSize = requiredSize;
    return warning;
}

std::string baseText(const ConversionWarning& warning) {
    const auto size = warning.requiredSize.value_or(pg::Size{});
    switch (warning.kind) {
    case ConversionWarning::Kind::size:
        return LocalizedString::errorWarningDescriptionImageTooSmall(static_cast<float>(size.width),
                                                                    static_cast<float>(size.height));
    case ConversionWarning::Kind::aspectRatio:
        return LocalizedString::errorWarningDescriptionAspectRatioMismatched(aspectRatioText(size));
    case ConversionWarning::Kind::transparentBackground:
        return LocalizedString::errorWarningDescriptionTransparentBackground();
    case ConversionWarning::Kind::sizeVariationsMode:
        return LocalizedString::errorWarningDescriptionVariantsImageModeRecommended();
    }
    return {};
}

double area(const ConversionWarning& warning) {
    const auto size = warning.requiredSize.value_or(pg::Size{});
    return size.width * size.height;
}

}  // namespace

ConversionWarning makeSizeWarning(ImageInputPtr imageInput, bool prefixWithImageName, pg::Size requiredSize) {
    return makeWarning(ConversionWarning::Kind::size, std::move(imageInput), prefixWithImageName, requiredSize);
}

ConversionWarning makeAspectRatioWarning(ImageInputPtr imageInput, bool prefixWithImageName, pg::Size requiredSize) {
    return makeWarning(ConversionWarning::Kind::aspectRatio, std::move(imageInput), prefixWithImageName,
                       requiredSize);
}

ConversionWarning makeTransparentBackgroundWarning(ImageInputPtr imageInput, bool prefixWithImageName) {
    return makeWarning(ConversionWarning::Kind::transparentBackground, std::move(imageInput), prefixWithImageName,
                       std::nullopt);
}

ConversionWarning makeSizeVariationsModeWarning(ImageInputPtr imageInput, bool prefixWithImageName) {
    return makeWarning(ConversionWarning::Kind::sizeVariationsMode, std::move(imageInput), prefixWithImageName,
                       std::nullopt);
}

std::string errorDescription(const ConversionWarning& warning) {
    auto text = baseText(warning);
    if (!warning.prefixErrorDescriptionWithImageName) return text;
    const std::string name = warning.imageInput ? warning.imageInput->imageName() : std::string();
    return platform::foundation::escapedForDisplay(
               truncated(name, kImageNameLength, TruncationPosition::middle, kImageNameLeader)) +
           ": " + text;
}

bool isAboutSamePicture(const ConversionWarning& a, const ConversionWarning& b) {
    return a.imageInput.get() == b.imageInput.get();
}

std::optional<double> requiredRatio(const ConversionWarning& warning) {
    if (!warning.requiredSize || warning.requiredSize->height == 0) return std::nullopt;
    return warning.requiredSize->width / warning.requiredSize->height;
}

bool matches(const ConversionWarning& warning, const ConversionWarning& other, const ValidatorOptions& options) {
    using Kind = ConversionWarning::Kind;
    if (!options.contains(ValidatorOption::ignoreImageInput) && !isAboutSamePicture(warning, other)) return false;
    switch (warning.kind) {
    case Kind::aspectRatio: {
        if (other.kind != Kind::aspectRatio) return true;
        const auto mine = requiredRatio(warning);
        const auto theirs = requiredRatio(other);
        // A ratio that cannot be computed matches nothing but itself.
        if (!mine || !theirs) return !mine && !theirs;
        return std::fabs(*mine - *theirs) <= kAspectRatioMatchTolerance;
    }
    case Kind::size:
        if (other.kind == Kind::aspectRatio) return false;
        if (other.kind == Kind::size) return area(other) < area(warning);
        return true;
    case Kind::transparentBackground:
        return other.kind == Kind::transparentBackground;
    case Kind::sizeVariationsMode:
        return true;
    }
    return false;
}

}  // namespace gw
