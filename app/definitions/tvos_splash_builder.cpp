#include "app/definitions/tvos_splash_builder.hpp"

#include "app/definitions/user_setting.hpp"

namespace gw {

ImageSettings FolderDefinitionBuildertvOSSplash::imageSettings() const {
    ImageSettings settings;
    settings.isAlphaChannelRemoved = boolSetting(UserDefaultsKey::removeiOSIconTransparency);
    settings.scaleType = iconScaleTypeSetting();
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::useCornerPixelColor();
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

FolderDefinition FolderDefinitionBuildertvOSSplash::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::tvOSSplash, [this] { return imageSettings(); });
}

}  // namespace gw
