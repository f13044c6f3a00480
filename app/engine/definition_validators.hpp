#pragma once
// Warnings about a planned output tree: which source pictures will give a poor result
// (too small, wrong aspect ratio, transparency that will be lost, or sizes of several
// aspect ratios). Validation never fails and never blocks a conversion.
#include "app/definitions/folder_definition.hpp"
#include "app/definitions/folder_definition_builder.hpp"
#include "app/engine/contracts/conversion_warning.hpp"
#include "app/engine/contracts/folder_definition_validating.hpp"
#include "app/foundation/image_definition.hpp"
#include "app/foundation/image_wrapper.hpp"
#include "platform/graphics/color.hpp"

#include <map>
#include <optional>
#include <vector>

namespace gw {

// Every image definition of the tree in pre-order: the folder's own, then each
// subfolder's, in order.
std::vector<ImageDefinition> allImageDefinitions(const FolderDefinition& folderDefinition);
// The size of each of those, repetitions kept.
std::vector<platform::graphics::Size> requiredSizes(const FolderDefinition& folderDefinition);
// False exactly when there are sizes and every ratio lies within 0.01 of the first
// size's; true for no sizes and when a height of 0 makes a ratio incomparable.
bool hasMultipleAspectRatios(const FolderDefinition& folderDefinition);

class AspectRatioValidator : public ConversionValidator {
public:
    AspectRatioValidator(ImageDefinition imageDefinition, ValidatorOptions options, double tolerance)
        : imageDefinition_(std::move(imageDefinition)), options_(std::move(options)), tolerance_(tolerance) {}
    // One aspect-ratio warning when the picture's pixel ratio is off by more than the
    // tolerance.
    ConversionWarnings validate() override;

private:
    ImageDefinition imageDefinition_;
    ValidatorOptions options_;
    double tolerance_;
};

class SizeValidator : public ConversionValidator {
public:
    SizeValidator(ImageDefinition imageDefinition, ValidatorOptions options)
        : imageDefinition_(std::move(imageDefinition)), options_(std::move(options)) {}
    // One size warning when imageIsTooSmall().
    ConversionWarnings validate() override;
    // Fewer pixels in all than the required size, and not a vector picture. The sides
    // are not compared one by one.
    bool imageIsTooSmall() const;

private:
    ImageDefinition imageDefinition_;
    ValidatorOptions options_;
};

// While one lives, the transparency checks on its thread leave vector pictures out: their
// corner is drawn to be judged, and drawing it can wait for a drawing of the whole picture.
class VectorCornersLeftOut {
public:
    VectorCornersLeftOut();
    ~VectorCornersLeftOut();
    VectorCornersLeftOut(const VectorCornersLeftOut&) = delete;
    VectorCornersLeftOut& operator=(const VectorCornersLeftOut&) = delete;
    static bool active();

private:
    bool outer_;
};

// While one lives, the transparency checks on its thread read each picture's corner once:
// a corner that cannot be drawn (a page the renderer reports errors on) is not drawn again
// for each size the picture is checked for.
class CornersReadOnce {
public:
    CornersReadOnce();
    ~CornersReadOnce();
    CornersReadOnce(const CornersReadOnce&) = delete;
    CornersReadOnce& operator=(const CornersReadOnce&) = delete;
    // The wrapper's corner colour, read once while one lives.
    static std::optional<platform::graphics::Color> cornerOf(const ImageWrapper& wrapper);

private:
    CornersReadOnce* outer_;
    std::map<const ImageWrapper*, std::optional<platform::graphics::Color>> read_;
};

class TransparencyValidator : public ConversionValidator {
public:
    TransparencyValidator(ImageDefinition imageDefinition, ValidatorOptions options)
        : imageDefinition_(std::move(imageDefinition)), options_(std::move(options)) {}
    // One transparency warning when the corner pixel is not opaque and the output
    // removes the alpha channel.
    ConversionWarnings validate() override;

private:
    ImageDefinition imageDefinition_;
    ValidatorOptions options_;
};

class FolderDefinitionValidator : public ConversionValidator {
public:
    static constexpr double kAspectRatioTolerance = 0.01;

    FolderDefinitionValidator(FolderDefinition folderDefinition, ValidatorOptions options)
        : folderDefinition_(std::move(folderDefinition)), options_(std::move(options)) {}

    // One variants-mode warning for the whole tree when asked for and the sizes have
    // several ratios; otherwise the three picture checks per image definition, merged.
    ConversionWarnings validate() override;

    // Adds `warning` to `result` unless it repeats or is outranked by a warning there;
    // removes what it outranks.
    void merge(const ConversionWarning& warning, ConversionWarnings& result) const;
    // Whether `a` and `b` say the same thing.
    static bool isDuplicate(const ConversionWarning& a, const ConversionWarning& b, const ValidatorOptions& options);

private:
    FolderDefinition folderDefinition_;
    ValidatorOptions options_;
};

// What the builders reach through the contracts' hook.
class EngineFolderDefinitionValidating : public FolderDefinitionValidating {
public:
    ConversionWarnings validate(const FolderDefinition& folderDefinition,
                                const ValidatorOptions& options) const override;
};

// Registers the engine's validator with the hook the builders use.
void registerFolderDefinitionValidator();

}  // namespace gw
