#pragma once
// The layered tvOS app icon: every picture becomes one layer of both app-icon stacks
// of the brand assets, the first picture in front, the last at the back.
#include "app/definitions/brand_assets.hpp"
#include "app/definitions/type_builder_support.hpp"

#include <memory>

namespace gw {

class FolderDefinitionBuildertvOSIcon : public TypeBuilderBase {
public:
    // Needs at least two pictures (FolderDefinitionBuilderFactoryError
    // minimumImageCountNotMet otherwise); gives the pictures default app-icon frames
    // when theirs don't fill the canvas; then resolves the brand-assets intents, which
    // may prompt. Throws what those throw.
    FolderDefinitionBuildertvOSIcon(ImageInputCollection imageInputCollection, platform::foundation::URL outputDirectory,
                                    FileWritingIntentFactoryPtr fileWritingIntentFactory);

    // Adds the layers to the stacks, so one builder serves one build.
    FolderDefinition build() override;
    // Warnings always name their picture.
    ConversionWarnings validate() override;

    FolderDefinitionBuilderTVBrandAssets& topLevelBuilder() { return *topLevelBuilder_; }

private:
    std::unique_ptr<FolderDefinitionBuilderTVBrandAssets> topLevelBuilder_;
};

}  // namespace gw
