#include "app/definitions/tvos_icon_builder.hpp"

#include "app/definitions/folder_definition_builder_factory.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/engine/contracts/folder_definition_validating.hpp"
#include "platform/foundation/error.hpp"

namespace gw {

namespace pf = platform::foundation;

namespace {
constexpr std::string_view kSourceFile = "FolderDefinitionBuildertvOSIcon";
}

FolderDefinitionBuildertvOSIcon::FolderDefinitionBuildertvOSIcon(ImageInputCollection imageInputCollection,
                                                                 pf::URL outputDirectory,
                                                                 FileWritingIntentFactoryPtr fileWritingIntentFactory)
    : TypeBuilderBase(std::move(imageInputCollection), std::move(outputDirectory), std::move(fileWritingIntentFactory)) {
    using FactoryError = FolderDefinitionBuilderFactory::FolderDefinitionBuilderFactoryError;
    if (imageInputCollection_.imageInputs.size() < 2) throw FactoryError(FactoryError::Case::minimumImageCountNotMet);
    ensureLayerFramesFillCanvas(false, imageInputCollection_.imageInputs);
    topLevelBuilder_ = std::make_unique<FolderDefinitionBuilderTVBrandAssets>(
        imageInputCollection_, outputDirectory_, fileWritingIntentFactory_,
        FolderDefinitionBuilderTVBrandAssets::WritingType::appIcon);
}

FolderDefinition FolderDefinitionBuildertvOSIcon::build() {
    auto& large = topLevelBuilder_->appIconLargeBuilder();
    auto& small = topLevelBuilder_->appIconSmallBuilder();
    if (!large.canvasSize || !small.canvasSize) pf::fatalError("Missing components", kSourceFile);
    const double largeScale = large.canvasSize->width / kTvOSAppIconCanvasSize.width;
    const double smallScale = small.canvasSize->width / kTvOSAppIconCanvasSize.width;

    const auto& pictures = imageInputCollection_.imageInputs;
    for (const auto& picture : pictures) {
        const bool isBackLayer = picture == pictures.back();
        addLayer(large, picture,
                 {.canvas = LayerCanvas::appIcon,
                  .scale = largeScale,
                  .isBackLayer = isBackLayer,
                  .hasRetinaPicture = false,
                  .sourceFile = kSourceFile},
                 imageInputCollection_, *fileWritingIntentFactory_);
        addLayer(small, picture,
                 {.canvas = LayerCanvas::appIcon,
                  .scale = smallScale,
                  .isBackLayer = isBackLayer,
                  .hasRetinaPicture = true,
                  .sourceFile = kSourceFile},
                 imageInputCollection_, *fileWritingIntentFactory_);
    }
    return topLevelBuilder_->build();
}

ConversionWarnings FolderDefinitionBuildertvOSIcon::validate() {
    return validateBuild(*this, {ValidatorOption::includeImageName});
}

}  // namespace gw
