#pragma once
// The pictures of one conversion together with the way they are used: one picture for
// every size (single), the best suited picture per size (variants), or one catalog per
// picture (batch).
#include "app/foundation/image_input.hpp"
#include "platform/graphics/geometry.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace gw {

// The picture that best serves a target size in pixels: an exact match of the pixel
// size, else among those whose aspect ratio is closest, the one closest in area;
// ties go to the earlier picture. None only for an empty list. Pictures with a side
// of zero have no ratio and rank after every picture that has one.
ImageInputPtr bestImageInput(const std::vector<ImageInputPtr>& imageInputs, platform::graphics::Size size);

struct ImageInputCollection {
    enum class CollectionType : std::int64_t { single = 0, variants = 1, batch = 2 };

    class ImageInputCollectionError : public std::runtime_error {
    public:
        enum class Case : int { empty = 0, tooMany = 1 };
        explicit ImageInputCollectionError(Case errorCase);
        Case errorCase() const { return case_; }

    private:
        Case case_;
    };

    std::vector<ImageInputPtr> imageInputs;
    CollectionType collectionType;

    // The picture for a target size (pixels), or the one that stands for the whole
    // collection when no size is given. Throws ImageInputCollectionError: empty for no
    // pictures, tooMany for a batch of more than one.
    ImageInputPtr imageInput(std::optional<platform::graphics::Size> size = std::nullopt) const;
};

using CollectionType = ImageInputCollection::CollectionType;

inline constexpr std::array<CollectionType, 3> allCollectionTypes = {
    CollectionType::single, CollectionType::variants, CollectionType::batch};

// 0, 1 and 2 only.
std::optional<CollectionType> collectionTypeFromRawValue(std::int64_t raw);
// "single", "variants" or "batch", exactly (case-sensitive, no trimming).
std::optional<CollectionType> collectionTypeFromString(std::string_view text);
inline std::int64_t rawValue(CollectionType type) { return static_cast<std::int64_t>(type); }
std::string_view collectionTypeText(CollectionType type);

}  // namespace gw
