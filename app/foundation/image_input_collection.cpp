#include "app/foundation/image_input_collection.hpp"

#include "app/foundation/image_categories.hpp"
#include "app/foundation/localized_string.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>
#include <limits>

namespace gw {

using platform::graphics::Size;

namespace {

struct Candidate {
    ImageInputPtr input;
    Size pixels;
    double ratio;  // NaN for a picture without a ratio
    double area;
};

// |a - b|, where a value that is not a number is as far as it gets.
double distance(double a, double b) {
    double d = std::fabs(a - b);
    return std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
}

bool sameValue(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

std::string errorText(ImageInputCollection::ImageInputCollectionError::Case c) {
    return LocalizedString::text(c == ImageInputCollection::ImageInputCollectionError::Case::empty
                                     ? "error.description.imageCollection.empty"
                                     : "error.description.imageCollection.tooMany");
}

}  // namespace

ImageInputPtr bestImageInput(const std::vector<ImageInputPtr>& imageInputs, Size size) {
    if (imageInputs.empty()) return nullptr;
    if (imageInputs.size() == 1) return imageInputs.front();

    std::vector<Candidate> candidates;
    candidates.reserve(imageInputs.size());
    for (const auto& input : imageInputs) {
        const Size pixels = pixelSize(*input->imageWrapper()->image());
        const double ratio = pixels.height != 0 ? pixels.width / pixels.height : std::nan("");
        candidates.push_back({input, pixels, std::isfinite(ratio) ? ratio : std::nan(""), pixels.width * pixels.height});
    }

    for (const auto& c : candidates) {
        if (c.pixels.width == size.width && c.pixels.height == size.height) return c.input;
    }

    const double targetRatio = size.height != 0 ? size.width / size.height : std::nan("");
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        return distance(targetRatio, a.ratio) < distance(targetRatio, b.ratio);
    });
    const double bestRatio = candidates.front().ratio;
    std::erase_if(candidates, [&](const Candidate& c) { return !sameValue(c.ratio, bestRatio); });

    const double targetArea = size.width * size.height;
    std::stable_sort(candidates.begin(), candidates.end(), [&](const Candidate& a, const Candidate& b) {
        return distance(targetArea, a.area) < distance(targetArea, b.area);
    });
    return candidates.front().input;
}

ImageInputCollection::ImageInputCollectionError::ImageInputCollectionError(Case errorCase)
    : std::runtime_error(errorText(errorCase)), case_(errorCase) {}

ImageInputPtr ImageInputCollection::imageInput(std::optional<Size> size) const {
    if (imageInputs.empty()) throw ImageInputCollectionError(ImageInputCollectionError::Case::empty);
    switch (collectionType) {
        case CollectionType::single: return imageInputs.front();
        case CollectionType::batch:
            if (imageInputs.size() > 1) throw ImageInputCollectionError(ImageInputCollectionError::Case::tooMany);
            return imageInputs.front();
        case CollectionType::variants:
            if (!size) return imageInputs.front();
            return bestImageInput(imageInputs, *size);
    }
    return imageInputs.front();
}

std::optional<CollectionType> collectionTypeFromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<CollectionType>(raw);
}

std::optional<CollectionType> collectionTypeFromString(std::string_view text) {
    for (auto type : allCollectionTypes) {
        if (collectionTypeText(type) == text) return type;
    }
    return std::nullopt;
}

std::string_view collectionTypeText(CollectionType type) {
    switch (type) {
        case CollectionType::single: return "single";
        case CollectionType::variants: return "variants";
        case CollectionType::batch: return "batch";
    }
    return "single";
}

}  // namespace gw
