#include "app/engine/definition_validators.hpp"

#include "app/engine/conversion_warning.hpp"
#include "app/foundation/image_categories.hpp"

#include <algorithm>
#include <cmath>

namespace gw {

namespace pg = platform::graphics;

namespace {

constexpr double kDuplicateAspectRatioTolerance = 0.1;
constexpr double kMultipleAspectRatioTolerance = 0.01;

void collectImageDefinitions(const FolderDefinition& folder, std::vector<ImageDefinition>& result) {
    result.insert(result.end(), folder.imageDefinitions.begin(), folder.imageDefinitions.end());
    for (const auto& subfolder : folder.subfolderDefinitions) collectImageDefinitions(subfolder, result);
}

bool prefix(const ValidatorOptions& options) { return options.contains(ValidatorOption::includeImageName); }

}  // namespace

std::vector<ImageDefinition> allImageDefinitions(const FolderDefinition& folderDefinition) {
    std::vector<ImageDefinition> result;
    collectImageDefinitions(folderDefinition, result);
    return result;
}

std::vector<pg::Size> requiredSizes(const FolderDefinition& folderDefinition) {
    std::vector<pg::Size> sizes;
    for (const auto& definition : allImageDefinitions(folderDefinition)) sizes.push_back(definition.size);
    return sizes;
}

bool hasMultipleAspectRatios(const FolderDefinition& folderDefinition) {
    const auto sizes = requiredSizes(folderDefinition);
    if (sizes.empty()) return true;
    const double first = sizes.front().width / sizes.front().height;
    return !std::all_of(sizes.begin(), sizes.end(), [first](const pg::Size& size) {
        // A comparison with a ratio that is no number (0 / 0) is false, as it should be.
        return std::fabs(size.width / size.height - first) <= kMultipleAspectRatioTolerance;
    });
}

ConversionWarnings AspectRatioValidator::validate() {
    auto image = sourceImage(imageDefinition_);
    if (!image) return {};
    const auto pixels = pixelSize(*image);
    const auto& required = imageDefinition_.size;
    const double difference = std::fabs(pixels.width / pixels.height - required.width / required.height);
    if (difference <= tolerance_) return {};
    return {makeAspectRatioWarning(imageDefinition_.imageInput, prefix(options_), required)};
}

bool SizeValidator::imageIsTooSmall() const {
    auto image = sourceImage(imageDefinition_);
    if (!image) return false;
    const auto pixels = pixelSize(*image);
    const auto& required = imageDefinition_.size;
    return pixels.width * pixels.height < required.width * required.height && !pdfImageRep(*image);
}

ConversionWarnings SizeValidator::validate() {
    if (!imageIsTooSmall()) return {};
    return {makeSizeWarning(imageDefinition_.imageInput, prefix(options_), imageDefinition_.size)};
}

namespace {
thread_local bool tVectorCornersLeftOut = false;
}  // namespace

VectorCornersLeftOut::VectorCornersLeftOut() : outer_(tVectorCornersLeftOut) { tVectorCornersLeftOut = true; }
VectorCornersLeftOut::~VectorCornersLeftOut() { tVectorCornersLeftOut = outer_; }
bool VectorCornersLeftOut::active() { return tVectorCornersLeftOut; }

namespace {
thread_local CornersReadOnce* tCornersReadOnce = nullptr;
}  // namespace

CornersReadOnce::CornersReadOnce() : outer_(tCornersReadOnce) { tCornersReadOnce = this; }
CornersReadOnce::~CornersReadOnce() { tCornersReadOnce = outer_; }

std::optional<pg::Color> CornersReadOnce::cornerOf(const ImageWrapper& wrapper) {
    if (tCornersReadOnce == nullptr) return wrapper.cornerPixelColor();
    auto& read = tCornersReadOnce->read_;
    if (const auto known = read.find(&wrapper); known != read.end()) return known->second;
    return read.emplace(&wrapper, wrapper.cornerPixelColor()).first->second;
}

ConversionWarnings TransparencyValidator::validate() {
    if (!imageDefinition_.isAlphaChannelRemoved || !imageDefinition_.imageInput) return {};
    auto wrapper = imageDefinition_.imageInput->imageWrapper();
    if (!wrapper) return {};
    if (VectorCornersLeftOut::active() && wrapper->isVector()) return {};
    const auto corner = CornersReadOnce::cornerOf(*wrapper);
    if (!corner || corner->alpha() >= 1.0) return {};
    return {makeTransparentBackgroundWarning(imageDefinition_.imageInput, prefix(options_))};
}

ConversionWarnings FolderDefinitionValidator::validate() {
    const auto definitions = allImageDefinitions(folderDefinition_);
    if (options_.contains(ValidatorOption::warnIfMultipleAspectRatiosExist) &&
        hasMultipleAspectRatios(folderDefinition_)) {
        // A tree without pictures has no picture to name: nothing to warn about.
        if (definitions.empty()) return {};
        return {makeSizeVariationsModeWarning(definitions.front().imageInput, prefix(options_))};
    }
    ConversionWarnings collected;
    for (const auto& definition : definitions) {
        for (auto& warning : AspectRatioValidator(definition, options_, kAspectRatioTolerance).validate())
            collected.push_back(std::move(warning));
        for (auto& warning : SizeValidator(definition, options_).validate()) collected.push_back(std::move(warning));
        for (auto& warning : TransparencyValidator(definition, options_).validate())
            collected.push_back(std::move(warning));
    }
    ConversionWarnings result;
    for (const auto& warning : collected) merge(warning, result);
    return result;
}

bool FolderDefinitionValidator::isDuplicate(const ConversionWarning& a, const ConversionWarning& b,
                                            const ValidatorOptions& options) {
    using Kind = ConversionWarning::Kind;
    if (!options.contains(ValidatorOption::ignoreImageInput) && !isAboutSamePicture(a, b)) return false;
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case Kind::aspectRatio: {
        const auto first = requiredRatio(a);
        const auto second = requiredRatio(b);
        if (!first || !second) return false;
        return std::fabs(*first - *second) <= kDuplicateAspectRatioTolerance;
    }
    case Kind::size:
        return a.requiredSize == b.requiredSize;
    case Kind::transparentBackground:
        return true;
    case Kind::sizeVariationsMode:
        return false;
    }
    return false;
}

void FolderDefinitionValidator::merge(const ConversionWarning& warning, ConversionWarnings& result) const {
    if (result.empty()) {
        result.push_back(warning);
        return;
    }
    for (const auto& existing : result) {
        if (isDuplicate(existing, warning, options_)) return;
    }
    std::erase_if(result, [&](const ConversionWarning& existing) { return matches(warning, existing, options_); });
    for (const auto& existing : result) {
        if (matches(existing, warning, options_)) return;
    }
    result.push_back(warning);
}

ConversionWarnings EngineFolderDefinitionValidating::validate(const FolderDefinition& folderDefinition,
                                                             const ValidatorOptions& options) const {
    return FolderDefinitionValidator(folderDefinition, options).validate();
}

void registerFolderDefinitionValidator() {
    setFolderDefinitionValidator(std::make_shared<EngineFolderDefinitionValidating>());
}

}  // namespace gw
