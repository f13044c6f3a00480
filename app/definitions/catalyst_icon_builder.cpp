#include "app/definitions/catalyst_icon_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/macos_icon_builder.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/definitions/user_setting.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderCatalystIcon::iOSImageSettings() {
    // The iOS icon's rendering, with the shadow the Mac shows under a Catalyst app's icon.
    ImageSettings settings = FolderDefinitionBuilderiOSIcon::imageSettings();
    settings.addShadow = true;
    return settings;
}

ImageSettings FolderDefinitionBuilderCatalystIcon::macOSImageSettings() {
    return macIconImageSettings(UserDefaultsKey::catalinaMacIconPadding, UserDefaultsKey::catalinaMacIconRoundCorners,
                                UserDefaultsKey::catalinaMacIconDropShadow);
}

FolderDefinition FolderDefinitionBuilderCatalystIcon::build() {
    const auto iOSFolder = ConfigFile().assetManifest(ConfigFile::AssetManifestType::iosIcon);
    const auto macOSFolder = ConfigFile().assetManifest(ConfigFile::AssetManifestType::osxIcon);

    const auto catalogURL = validatedCatalogURL();
    TopLevelFolderDefinitionBuilder topLevel(catalogURL);

    // Both halves go into the folder the iOS entry names.
    const auto iconSetURL =
        validatedURL(catalogURL.appendingPathComponent(iOSFolder.fileName, true), WritingIntentKind::asset);

    ImageFolderFromConfigBuilder iOSHalf(iconSetURL, iOSFolder);
    iOSHalf.configureImageDefinitionBuilders(imageInputCollection_, iOSImageSettings(), iconSetURL);
    if (!boolSetting(UserDefaultsKey::carKitOn)) removeCarIdiomChildren(iOSHalf);

    ImageFolderFromConfigBuilder macOSHalf(iconSetURL, macOSFolder);
    macOSHalf.configureImageDefinitionBuilders(imageInputCollection_, macOSImageSettings(), iconSetURL);

    auto iconSet = iOSHalf.folderDefinition().merging(macOSHalf.folderDefinition());
    topLevel.subfolderDefinitions = {std::move(iconSet)};
    // A file name in both entries is listed twice but rendered once (the iOS picture).
    return withUniqueImageFiles(topLevel.folderDefinition());
}

}  // namespace gw
