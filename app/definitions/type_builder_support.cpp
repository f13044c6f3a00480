#include "app/definitions/type_builder_support.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/foundation/user_defaults_key.hpp"
#include "platform/foundation/user_defaults.hpp"

namespace gw {

namespace pf = platform::foundation;

pf::URL TypeBuilderBase::validatedURL(const pf::URL& url, WritingIntentKind kind) const {
    auto picture = imageInputCollection_.imageInput();
    return fileWritingIntentFactory_->validatedURL(url, kind, {FileWritingIntent::Options::imageInput(picture)});
}

pf::URL TypeBuilderBase::validatedCatalogURL() const {
    return validatedURL(outputDirectory_.appendingPathComponent(kAssetCatalogFolderName, true),
                        WritingIntentKind::catalog);
}

ScaleType iconScaleTypeSetting() {
    const auto key = UserDefaultsKey::iconScaleType;
    auto value = pf::UserDefaults::standard().objectForKey(rawValue(key));
    if (value.isNull()) value = registeredDefault(key);
    if (auto scaleType = scaleTypeFromRawValue(value.integerValue())) return *scaleType;
    return *scaleTypeFromRawValue(registeredDefault(key).integerValue());
}

FolderDefinition TypeBuilderBase::planSingleFolderCatalog(ConfigFile::AssetManifestType manifestType,
                                                          const std::function<ImageSettings()>& imageSettings) const {
    const auto manifestFolder = ConfigFile().assetManifest(manifestType);
    const auto catalogURL = validatedCatalogURL();
    TopLevelFolderDefinitionBuilder topLevel(catalogURL);

    const auto folderURL =
        validatedURL(catalogURL.appendingPathComponent(manifestFolder.fileName, true), WritingIntentKind::asset);
    ImageFolderFromConfigBuilder folder(folderURL, manifestFolder);
    folder.configureImageDefinitionBuilders(imageInputCollection_, imageSettings(), folderURL);

    topLevel.subfolderDefinitions = {folder.folderDefinition()};
    return withUniqueImageFiles(topLevel.folderDefinition());
}

}  // namespace gw
