#pragma once
// Plans the macOS app icon: "Assets.xcassets" holding the icon set of the manifest
// entry "osxIcon", shaped by the padding, corner and shadow settings of macOS icons.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

// The share of the canvas a padded macOS icon fills, about its centre.
inline constexpr float kMacIconPaddedZoom = 0.808f;

class FolderDefinitionBuilderOSXIcons : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every picture of the folder is rendered with, read now.
    ImageSettings imageSettings() const;
};

}  // namespace gw
