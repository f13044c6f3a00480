#pragma once
// Plans the macOS app icon: "Assets.xcassets" holding the icon set of the manifest
// entry "osxIcon", shaped by the padding, corner and shadow settings of macOS icons.
#include "app/definitions/type_builder_support.hpp"
#include "app/foundation/user_defaults_key.hpp"

namespace gw {

// The share of the canvas a padded macOS icon fills, about its centre.
inline constexpr float kMacIconPaddedZoom = 0.808f;

// The rendering of a macOS-style icon, from the three settings that switch its padding,
// rounded corners and drop shadow (the macOS icon and the Mac half of a Catalyst icon
// each have their own three). macOS icons keep their transparency.
ImageSettings macIconImageSettings(UserDefaultsKey padding, UserDefaultsKey roundCorners, UserDefaultsKey dropShadow);

class FolderDefinitionBuilderOSXIcons : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every picture of the folder is rendered with, read now.
    ImageSettings imageSettings() const;
};

}  // namespace gw
