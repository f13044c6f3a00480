#pragma once
// Plans watchOS app icons: "Assets.xcassets" holding the icon set of the manifest
// entry "watchIcon"; watch icons are always opaque.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuilderWatchIcon : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every picture of the folder is rendered with, read now.
    ImageSettings imageSettings() const;
};

}  // namespace gw
