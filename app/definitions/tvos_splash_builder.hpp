#pragma once
// Plans tvOS launch images: "Assets.xcassets" holding the launch-image folder of the
// manifest entry "tvOSSplash", each on the corner colour of its own picture.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuildertvOSSplash : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every picture of the folder is rendered with, read now.
    ImageSettings imageSettings() const;
};

}  // namespace gw
