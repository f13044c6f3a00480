#pragma once
// What the per-output-type builders of the catalog share beyond the iOS icon frame:
// their three fields, the scale-type setting, and the plan of a catalog that holds one
// folder made from one manifest entry.
#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition_builder.hpp"
#include "app/definitions/image_settings.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/scale_type.hpp"
#include "platform/foundation/url.hpp"

#include <functional>

namespace gw {

// The fields every per-type builder is made with, and the frame's validate().
class TypeBuilderBase : public FolderDefinitionBuilder {
public:
    TypeBuilderBase(ImageInputCollection imageInputCollection, platform::foundation::URL outputDirectory,
                    FileWritingIntentFactoryPtr fileWritingIntentFactory)
        : imageInputCollection_(std::move(imageInputCollection)),
          outputDirectory_(std::move(outputDirectory)),
          fileWritingIntentFactory_(std::move(fileWritingIntentFactory)) {}

    const ImageInputCollection& imageInputCollection() const override { return imageInputCollection_; }
    const platform::foundation::URL& outputDirectory() const { return outputDirectory_; }
    const FileWritingIntentFactoryPtr& fileWritingIntentFactory() const { return fileWritingIntentFactory_; }

    ConversionWarnings validate() override { return validateBuild(*this); }

protected:
    // The picture that stands for the collection, then the validated URL of an intent
    // for `url` that carries it. Throws ImageInputCollectionError and what the intent's
    // validator throws.
    platform::foundation::URL validatedURL(const platform::foundation::URL& url, WritingIntentKind kind) const;
    // The validated "Assets.xcassets" folder inside the output folder.
    platform::foundation::URL validatedCatalogURL() const;

    // The catalog with one folder made from a manifest entry: the catalog intent, the
    // folder's intent (kind asset), then `imageSettings` is called (the settings are
    // read at that moment) and every manifest image is given its picture. Nothing is
    // filtered by idiom.
    FolderDefinition planSingleFolderCatalog(ConfigFile::AssetManifestType manifestType,
                                             const std::function<ImageSettings()>& imageSettings) const;

    ImageInputCollection imageInputCollection_;
    platform::foundation::URL outputDirectory_;
    FileWritingIntentFactoryPtr fileWritingIntentFactory_;
};

// The setting "iconScaleType", read now. A stored value that names no scale type
// counts as never written (aspect fill).
ScaleType iconScaleTypeSetting();

}  // namespace gw
