#pragma once
// Warnings that a conversion can run but one picture will give a poor result. The
// engine owns their texts and how they are merged; here is what they carry.
#include "app/foundation/image_input.hpp"
#include "platform/graphics/geometry.hpp"

#include <optional>
#include <set>
#include <vector>

namespace gw {

enum class ValidatorOption : int {
    includeImageName = 0,
    ignoreImageInput = 1,
    warnIfMultipleAspectRatiosExist = 2,
};

using ValidatorOptions = std::set<ValidatorOption>;

struct ConversionWarning {
    enum class Kind : int {
        size,                 // the picture has fewer pixels than a required size
        aspectRatio,          // its aspect ratio differs from a required size's
        transparentBackground,  // it has a transparent corner and the output drops alpha
        sizeVariationsMode,   // the required sizes have several aspect ratios
    };

    ImageInputPtr imageInput;
    Kind kind = Kind::size;
    bool prefixErrorDescriptionWithImageName = false;
    // The size of the image definition that raised a size or aspect-ratio warning.
    std::optional<platform::graphics::Size> requiredSize;
};

using ConversionWarnings = std::vector<ConversionWarning>;

}  // namespace gw
