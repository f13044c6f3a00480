#pragma once
// The top-shelf and wide top-shelf images of the tvOS brand assets: flat pictures in
// one image set each, whose slots come from the manifest; the rest of the brand
// assets keeps what it holds.
#include "app/definitions/brand_assets.hpp"
#include "app/definitions/type_builder_support.hpp"

#include <memory>

namespace gw {

// Both builders; they differ only in the part they fill.
class TopShelfBuilderBase : public TypeBuilderBase {
public:
    // Resolves the brand-assets intents, which may prompt; throws what they throw.
    TopShelfBuilderBase(ImageInputCollection imageInputCollection, platform::foundation::URL outputDirectory,
                        FileWritingIntentFactoryPtr fileWritingIntentFactory,
                        FolderDefinitionBuilderTVBrandAssets::WritingType writingType);

    // Reads "iconScaleType" and "removeiOSIconTransparency" now and gives every slot
    // of the set its picture. Repeated builds give the same tree.
    FolderDefinition build() override;

    FolderDefinitionBuilderTVBrandAssets& topLevelBuilder() { return *topLevelBuilder_; }

private:
    std::unique_ptr<FolderDefinitionBuilderTVBrandAssets> topLevelBuilder_;
};

// "Top Shelf Image.imageset".
class FolderDefinitionBuildertvOSTopShelf : public TopShelfBuilderBase {
public:
    FolderDefinitionBuildertvOSTopShelf(ImageInputCollection imageInputCollection,
                                        platform::foundation::URL outputDirectory,
                                        FileWritingIntentFactoryPtr fileWritingIntentFactory)
        : TopShelfBuilderBase(std::move(imageInputCollection), std::move(outputDirectory),
                              std::move(fileWritingIntentFactory),
                              FolderDefinitionBuilderTVBrandAssets::WritingType::topShelf) {}
};

// "Top Shelf Image Wide.imageset".
class FolderDefinitionBuildertvOSTopShelfWide : public TopShelfBuilderBase {
public:
    FolderDefinitionBuildertvOSTopShelfWide(ImageInputCollection imageInputCollection,
                                            platform::foundation::URL outputDirectory,
                                            FileWritingIntentFactoryPtr fileWritingIntentFactory)
        : TopShelfBuilderBase(std::move(imageInputCollection), std::move(outputDirectory),
                              std::move(fileWritingIntentFactory),
                              FolderDefinitionBuilderTVBrandAssets::WritingType::topShelfWide) {}
};

}  // namespace gw
