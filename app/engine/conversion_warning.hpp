#pragma once
// The texts of conversion warnings and the rule by which one warning makes another
// redundant. The warning values themselves are shared with the builders.
#include "app/engine/contracts/conversion_warning.hpp"
#include "app/foundation/image_input.hpp"
#include "platform/graphics/geometry.hpp"

#include <string>

namespace gw {

ConversionWarning makeSizeWarning(ImageInputPtr imageInput, bool prefixWithImageName,
                                  platform::graphics::Size requiredSize);
ConversionWarning makeAspectRatioWarning(ImageInputPtr imageInput, bool prefixWithImageName,
                                         platform::graphics::Size requiredSize);
ConversionWarning makeTransparentBackgroundWarning(ImageInputPtr imageInput, bool prefixWithImageName);
ConversionWarning makeSizeVariationsModeWarning(ImageInputPtr imageInput, bool prefixWithImageName);

// The warning's user-visible text: the localised text of its kind, after the picture's
// name shortened to 15 characters and ": " when the warning asks for the prefix.
std::string errorDescription(const ConversionWarning& warning);

// True when `warning` makes `other` redundant. Warnings about different pictures
// (different objects) never do, unless the options contain ignoreImageInput.
bool matches(const ConversionWarning& warning, const ConversionWarning& other, const ValidatorOptions& options);

// Whether both warnings are about the very same picture object.
bool isAboutSamePicture(const ConversionWarning& a, const ConversionWarning& b);

// Width divided by height of a size or aspect-ratio warning's required size; none for
// the other kinds or a height of 0.
std::optional<double> requiredRatio(const ConversionWarning& warning);

}  // namespace gw
