#pragma once
// Plans the icon set of an iMessage app: "Assets.xcassets" holding the sticker icon
// set of the manifest entry "messageIcon", on each picture's corner colour.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuilderiMessageIcon : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every picture of the folder is rendered with, read now.
    ImageSettings imageSettings() const;
};

}  // namespace gw
