#include "app/definitions/imessage_icon_builder.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderiMessageIcon::imageSettings() const {
    ImageSettings settings;
    settings.scaleType = iconScaleTypeSetting();
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::useCornerPixelColor();
    settings.isAlphaChannelRemoved = false;
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

FolderDefinition FolderDefinitionBuilderiMessageIcon::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::messageIcon, [this] { return imageSettings(); });
}

}  // namespace gw
