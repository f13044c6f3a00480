#include "app/definitions/watch_icon_builder.hpp"

namespace gw {

ImageSettings FolderDefinitionBuilderWatchIcon::imageSettings() const {
    ImageSettings settings;
    settings.scaleType = ScaleType::stretch;
    settings.zoom = 1.0f;
    settings.backgroundColorSetting = ImageSettings::BackgoundColorSetting::transparent();
    // Whatever "removeiOSIconTransparency" says: watch icons must be opaque.
    settings.isAlphaChannelRemoved = true;
    settings.format = ImageDefinition::Format::png;
    settings.roundCorners = false;
    settings.addShadow = false;
    return settings;
}

FolderDefinition FolderDefinitionBuilderWatchIcon::build() {
    return planSingleFolderCatalog(ConfigFile::AssetManifestType::watchIcon, [this] { return imageSettings(); });
}

}  // namespace gw
