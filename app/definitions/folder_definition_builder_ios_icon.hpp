#pragma once
// Plans the iOS app icon: "Assets.xcassets" holding one icon set, all of whose files,
// sizes and entries come from the manifest entry "iosIcon". The frame the other
// manifest-driven type builders follow.
#include "app/definitions/folder_definition_builder.hpp"
#include "app/definitions/image_settings.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "platform/foundation/url.hpp"

namespace gw {

class FolderDefinitionBuilderiOSIcon : public FolderDefinitionBuilder {
public:
    FolderDefinitionBuilderiOSIcon(ImageInputCollection imageInputCollection,
                                   platform::foundation::URL outputDirectory,
                                   FileWritingIntentFactoryPtr fileWritingIntentFactory)
        : imageInputCollection_(std::move(imageInputCollection)),
          outputDirectory_(std::move(outputDirectory)),
          fileWritingIntentFactory_(std::move(fileWritingIntentFactory)) {}

    const ImageInputCollection& imageInputCollection() const override { return imageInputCollection_; }
    const platform::foundation::URL& outputDirectory() const { return outputDirectory_; }
    const FileWritingIntentFactoryPtr& fileWritingIntentFactory() const { return fileWritingIntentFactory_; }

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;
    ConversionWarnings validate() override { return validateBuild(*this); }

    // The settings every icon of the set is rendered with; reads
    // "removeiOSIconTransparency" now.
    static ImageSettings imageSettings();

private:
    ImageInputCollection imageInputCollection_;
    platform::foundation::URL outputDirectory_;
    FileWritingIntentFactoryPtr fileWritingIntentFactory_;
};

// Drops the children whose metadata has the idiom "car" (exact text).
void removeCarIdiomChildren(FromConfigBuilder& builder);

inline constexpr std::string_view kAssetCatalogFolderName = "Assets.xcassets";

}  // namespace gw
