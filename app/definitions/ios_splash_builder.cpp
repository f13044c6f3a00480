#include "app/definitions/ios_splash_builder.hpp"

#include "app/definitions/user_setting.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderiOSSplash::imageSettings() const {
    ImageSettings settings;
    settings.isAlphaChannelRemoved = boolSetting(UserDefaultsKey::removeiOSIconTransparency);
    const auto picture = imageInputCollection_.imageInput();
    settings.scaleType = picture->scaleType();
    settings.zoom = static_cast<float>(picture->zoom());
    // Each launch image takes the background of the picture drawn into it.
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::useBackgroundColor();
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

FolderDefinition FolderDefinitionBuilderiOSSplash::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::iosSplash, [this] { return imageSettings(); });
}

}  // namespace gw
