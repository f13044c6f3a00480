#pragma once
// Plans the icon of a Mac Catalyst app: "Assets.xcassets" holding one icon set with
// the iOS icons of the manifest entry "iosIcon" followed by the macOS icons of
// "osxIcon", each half rendered with its own settings.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuilderCatalystIcon : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings of the iOS half, read now: full size, with the shadow step.
    static ImageSettings iOSImageSettings();
    // The settings of the macOS half, read now from the Catalyst keys.
    static ImageSettings macOSImageSettings();
};

}  // namespace gw
