#include "app/definitions/macos_icon_builder.hpp"

#include "app/definitions/user_setting.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderOSXIcons::imageSettings() const {
    const bool padding = boolSetting(UserDefaultsKey::macIconPadding);
    const bool roundCorners = boolSetting(UserDefaultsKey::macIconRoundCorners);
    const bool dropShadow = boolSetting(UserDefaultsKey::macIconDropShadow);
    ImageSettings settings;
    settings.scaleType = ScaleType::stretch;
    settings.zoom = padding ? kMacIconPaddedZoom : 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    // macOS icons keep their transparency.
    settings.isAlphaChannelRemoved = false;
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = roundCorners;
    settings.addShadow = dropShadow;
    return settings;
}

FolderDefinition FolderDefinitionBuilderOSXIcons::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::osxIcon, [this] { return imageSettings(); });
}

}  // namespace gw
