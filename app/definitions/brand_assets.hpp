#pragma once
// The tvOS brand-assets folder, planned whole for the three output types that write
// into it (app icon, top shelf, wide top shelf): two app-icon image stacks and two
// top-shelf image sets. One conversion fills one part; the others keep what they hold.
#include "app/definitions/assets_folder_builder.hpp"
#include "app/definitions/contents_preserving_builder.hpp"
#include "app/definitions/folder_definition_builder.hpp"
#include "app/definitions/image_stack_folders.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "platform/foundation/url.hpp"

#include <memory>
#include <string>

namespace gw {

class FolderDefinitionBuilderTVBrandAssets : public FolderDefinitionBuilder {
public:
    // The part that receives new pictures.
    enum class WritingType { appIcon, topShelf, topShelfWide };

    // Reads the "tvOSBrandAssets" manifest entry and resolves every writing intent:
    // catalog, brand-assets folder, large stack, small stack, top shelf, wide top
    // shelf. Only the target part is an asset intent (for appIcon, both stacks).
    // Throws what the picture lookup and the intents throw.
    FolderDefinitionBuilderTVBrandAssets(ImageInputCollection imageInputCollection,
                                         platform::foundation::URL outputDirectory,
                                         FileWritingIntentFactoryPtr fileWritingIntentFactory, WritingType writingType);

    const ImageInputCollection& imageInputCollection() const override { return imageInputCollection_; }
    const platform::foundation::URL& outputDirectory() const { return outputDirectory_; }
    const FileWritingIntentFactoryPtr& fileWritingIntentFactory() const { return fileWritingIntentFactory_; }
    WritingType writingType() const { return writingType_; }

    // The catalog with the brand-assets folder as its only subfolder; the parts are
    // listed under "assets" as large stack, small stack, top shelf, wide top shelf.
    FolderDefinition build() override;
    ConversionWarnings validate() override;

    // The type builders fill these before build().
    TopLevelFolderDefinitionBuilder& topLevelFolderBuilder() { return *topLevelFolderBuilder_; }
    AssetsFolderBuilder& tvBrandAssetsBuilder() { return *tvBrandAssetsBuilder_; }
    LayersFolderBuilder& appIconLargeBuilder() { return *appIconLargeBuilder_; }
    LayersFolderBuilder& appIconSmallBuilder() { return *appIconSmallBuilder_; }
    ContentsPreservingBuilder& topShelfWideBuilder() { return *topShelfWideBuilder_; }
    ContentsPreservingBuilder& topShelfBuilder() { return *topShelfBuilder_; }

    static constexpr std::string_view appIconLargeFileName = "App Icon - App Store.imagestack";
    static constexpr std::string_view appIconSmallFileName = "App Icon.imagestack";
    static constexpr std::string_view topShelfWideFileName = "Top Shelf Image Wide.imageset";
    static constexpr std::string_view topShelfFileName = "Top Shelf Image.imageset";

private:
    ImageInputCollection imageInputCollection_;
    platform::foundation::URL outputDirectory_;
    FileWritingIntentFactoryPtr fileWritingIntentFactory_;
    std::shared_ptr<TopLevelFolderDefinitionBuilder> topLevelFolderBuilder_;
    std::shared_ptr<AssetsFolderBuilder> tvBrandAssetsBuilder_;
    std::shared_ptr<LayersFolderBuilder> appIconLargeBuilder_;
    std::shared_ptr<LayersFolderBuilder> appIconSmallBuilder_;
    std::shared_ptr<ContentsPreservingBuilder> topShelfWideBuilder_;
    std::shared_ptr<ContentsPreservingBuilder> topShelfBuilder_;
    WritingType writingType_;
};

}  // namespace gw
