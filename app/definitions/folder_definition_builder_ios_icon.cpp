#include "app/definitions/folder_definition_builder_ios_icon.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/config_file.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/definitions/user_setting.hpp"

#include <algorithm>

namespace gw {

namespace pf = platform::foundation;

ImageSettings FolderDefinitionBuilderiOSIcon::imageSettings() {
    ImageSettings settings;
    settings.scaleType = ScaleType::stretch;
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    settings.isAlphaChannelRemoved = boolSetting(UserDefaultsKey::removeiOSIconTransparency);
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

void removeCarIdiomChildren(FromConfigBuilder& builder) {
    auto children = builder.subMetaDataAndDefinitionProviders();
    std::erase_if(children, [](const MetaDataAndDefinitionProviderPtr& child) {
        const auto metaData = child->metaData();
        auto idiom = metaData.find("idiom");
        if (idiom == metaData.end()) return false;
        const auto* text = idiom->second.asString();
        return text && *text == "car";
    });
    builder.setSubMetaDataAndDefinitionProviders(std::move(children));
}

FolderDefinition FolderDefinitionBuilderiOSIcon::build() {
    const auto manifestFolder = ConfigFile().assetManifest(ConfigFile::AssetManifestType::iosIcon);

    auto catalogURL = outputDirectory_.appendingPathComponent(kAssetCatalogFolderName, true);
    auto picture = imageInputCollection_.imageInput();
    catalogURL = fileWritingIntentFactory_->validatedURL(catalogURL, WritingIntentKind::catalog,
                                                         {FileWritingIntent::Options::imageInput(picture)});

    TopLevelFolderDefinitionBuilder topLevel(catalogURL);

    auto iconSetURL = catalogURL.appendingPathComponent(manifestFolder.fileName, true);
    picture = imageInputCollection_.imageInput();
    iconSetURL = fileWritingIntentFactory_->validatedURL(iconSetURL, WritingIntentKind::asset,
                                                         {FileWritingIntent::Options::imageInput(picture)});

    ImageFolderFromConfigBuilder iconSet(iconSetURL, manifestFolder);
    iconSet.configureImageDefinitionBuilders(imageInputCollection_, imageSettings(), iconSetURL);

    if (!boolSetting(UserDefaultsKey::carKitOn)) removeCarIdiomChildren(iconSet);

    topLevel.subfolderDefinitions = {iconSet.folderDefinition()};
    return withUniqueImageFiles(topLevel.folderDefinition());
}

}  // namespace gw
