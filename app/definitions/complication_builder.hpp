#pragma once
// Plans watch complications: "Assets.xcassets" holding the complication set of the
// manifest entry "complicationIcons", which lists one image set per complication
// family under "assets". The family image sets are always written new.
#include "app/definitions/type_builder_support.hpp"

namespace gw {

class FolderDefinitionBuilderComplication : public TypeBuilderBase {
public:
    using TypeBuilderBase::TypeBuilderBase;

    // Throws ImageInputCollectionError and FileWritingIntentError.
    FolderDefinition build() override;

    // The settings every family image is rendered with, read now.
    static ImageSettings imageSettings();
};

}  // namespace gw
