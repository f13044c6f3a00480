#pragma once
// Plans plain image assets: one picture becomes one image set inside
// "Assets.xcassets", with one file per idiom and scale, or one PDF per idiom for a
// vector picture. The only type whose idioms, scales and file names are fixed here
// rather than read from the manifest, and the only one that takes batch mode (one
// builder per picture, all into the same catalog).
#include "app/definitions/folder_definition.hpp"
#include "app/definitions/type_builder_support.hpp"
#include "app/foundation/device_type.hpp"

#include <functional>
#include <optional>
#include <string>

namespace gw {

class FolderDefinitionBuilderAsset : public TypeBuilderBase {
public:
    // Finds an existing folder of a given name at any depth below a folder.
    using SubfolderLookup = std::function<std::optional<platform::foundation::URL>(
        const std::string& name, const platform::foundation::URL& directory)>;

    // The lookup defaults to the file system's (subfolderWithName).
    FolderDefinitionBuilderAsset(ImageInputCollection imageInputCollection, platform::foundation::URL outputDirectory,
                                 FileWritingIntentFactoryPtr fileWritingIntentFactory,
                                 SubfolderLookup subfolderLookup = {});

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;
    // Batch collections warn with the picture's name; the others without options.
    ConversionWarnings validate() override;

private:
    // The image set's entries for one picture in the folder `imageSetURL`, in the
    // order they are listed: one PDF per idiom when `pdf`, else one PNG per idiom and
    // scale. Each pairs the Contents.json entry with its image definition.
    static MetaDataAndDefinitionProviders entries(const ImageInputPtr& picture,
                                                  const platform::foundation::URL& imageSetURL, bool pdf);

    SubfolderLookup subfolderLookup_;
};

}  // namespace gw
