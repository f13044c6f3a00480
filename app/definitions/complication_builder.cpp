#include "app/definitions/complication_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/assets_folder_builder.hpp"
#include "app/definitions/manifest_builders.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderComplication::imageSettings() {
    ImageSettings settings;
    settings.scaleType = iconScaleTypeSetting();
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    settings.isAlphaChannelRemoved = false;
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

FolderDefinition FolderDefinitionBuilderComplication::build() {
    // Only the root's name and its subfolders (the families) are used.
    const auto root = ConfigFile().assetManifest(ConfigFile::AssetManifestType::complicationIcons);

    const auto catalogURL = validatedCatalogURL();
    TopLevelFolderDefinitionBuilder topLevel(catalogURL);

    const auto setURL = validatedURL(catalogURL.appendingPathComponent(root.fileName, true), WritingIntentKind::asset);
    AssetsFolderBuilder complicationSet(setURL);

    const auto settings = imageSettings();
    for (const auto& family : root.folderDefinitions) {
        // A family belongs wholly to this conversion: what stands there is replaced.
        const auto familyURL =
            validatedURL(setURL.appendingPathComponent(family.fileName, true), WritingIntentKind::overwrite);
        ImageFolderFromConfigBuilder familyBuilder(familyURL, family);
        familyBuilder.configureImageDefinitionBuilders(imageInputCollection_, settings, familyURL);
        complicationSet.subMetaDataDefinitionPairs.push_back(
            std::make_shared<MetaDataDefinitionPair>(familyBuilder.metaData(), familyBuilder.definition()));
    }

    topLevel.subfolderDefinitions = {complicationSet.folderDefinition()};
    return withUniqueImageFiles(topLevel.folderDefinition());
}

}  // namespace gw
