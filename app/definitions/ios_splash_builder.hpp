#pragma once
// Plans iOS launch images: "Assets.xcassets" holding the launch-image folder of the
// manifest entry "iosSplash", fitted with the first picture's scale type and zoom.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuilderiOSSplash : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every launch image is rendered with, read now; the first picture
    // gives the scale type and zoom (ImageInputCollectionError without one).
    ImageSettings imageSettings() const;
};

}  // namespace gw
