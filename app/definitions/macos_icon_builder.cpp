#include "app/definitions/macos_icon_builder.hpp"

#include "app/definitions/user_setting.hpp"

namespace gw {

ImageSettings macIconImageSettings(UserDefaultsKey padding, UserDefaultsKey roundCorners, UserDefaultsKey dropShadow) {
    ImageSettings settings;
    settings.scaleType = ScaleType::stretch;
    settings.zoom = boolSetting(padding) ? kMacIconPaddedZoom : 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    settings.isAlphaChannelRemoved = false;
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = boolSetting(roundCorners);
    settings.addShadow = boolSetting(dropShadow);
    return settings;
}

ImageSettings FolderDefinitionBuilderOSXIcons::imageSettings() const {
    return macIconImageSettings(UserDefaultsKey::macIconPadding, UserDefaultsKey::macIconRoundCorners,
                                UserDefaultsKey::macIconDropShadow);
}

FolderDefinition FolderDefinitionBuilderOSXIcons::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::osxIcon, [this] { return imageSettings(); });
}

}  // namespace gw
