#pragma once
// Plans the Game Center dashboard image of a tvOS app: "Assets.xcassets" holding three
// nested folders named by the manifest entry "tvOSDashboard" (its root R, R's first
// subfolder A, A's first subfolder B). R and A list nothing; B is the image set.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuildertvOSDashboard : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError. A manifest entry
    // without the two nested subfolders stops the process ("Incomplete config").
    FolderDefinition build() override;

    // The settings of the dashboard images (those of the iOS icon), read now.
    static ImageSettings imageSettings();
};

}  // namespace gw
