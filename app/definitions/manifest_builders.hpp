#pragma once
// The three small builders that carry most of every output type's tree: the catalog
// folder, an image or icon set made from a manifest folder entry, and one picture
// made from a manifest image entry.
#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition.hpp"
#include "app/definitions/image_settings.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "platform/foundation/url.hpp"

#include <optional>
#include <vector>

namespace gw {

// The catalog folder: the info block as its whole Contents.json, and its top folders.
class TopLevelFolderDefinitionBuilder : public MetaDataAndDefinitionProvider {
public:
    TopLevelFolderDefinitionBuilder(platform::foundation::URL outputDirectory,
                                    std::vector<FolderDefinition> subfolderDefinitions = {},
                                    platform::foundation::Dictionary metaData = {})
        : outputDirectory(std::move(outputDirectory)),
          subfolderDefinitions(std::move(subfolderDefinitions)),
          metaData_(std::move(metaData)) {}

    platform::foundation::URL outputDirectory;
    std::vector<FolderDefinition> subfolderDefinitions;

    FolderDefinition folderDefinition() const;
    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::Dictionary metaData_;
};

// A folder builder made from a manifest folder entry.
class FromConfigBuilder {
public:
    virtual ~FromConfigBuilder() = default;

    virtual const ConfigFile::ConfigFolderDefinition& configFolderDefinition() const = 0;
    virtual const platform::foundation::URL& outputDirectory() const = 0;
    virtual void setOutputDirectory(platform::foundation::URL url) = 0;
    virtual const MetaDataAndDefinitionProviders& subMetaDataAndDefinitionProviders() const = 0;
    virtual void setSubMetaDataAndDefinitionProviders(MetaDataAndDefinitionProviders providers) = 0;

    // Moves the folder to `outputDirectory` and replaces all children with one
    // ImageDefinitionBuilder per manifest image, in manifest order, each with the
    // picture the collection gives for that image's size. Throws
    // ImageInputCollectionError (then the children stay as they were).
    void configureImageDefinitionBuilders(const ImageInputCollection& imageInputCollection,
                                          const ImageSettings& imageSettings,
                                          const platform::foundation::URL& outputDirectory);
};

// One picture of a manifest image entry, rendered with the folder's settings.
class ImageDefinitionBuilder : public MetaDataAndDefinitionProvider {
public:
    ImageDefinitionBuilder(ImageInputPtr imageInput, ConfigFile::ConfigImageDefinition configDefinition,
                           platform::foundation::URL parentDirectory, ImageSettings imageSettings)
        : imageInput(std::move(imageInput)),
          configDefinition(std::move(configDefinition)),
          parentDirectory(std::move(parentDirectory)),
          imageSettings(std::move(imageSettings)) {}

    ImageInputPtr imageInput;  // null when the type has no picture for this size
    ConfigFile::ConfigImageDefinition configDefinition;
    platform::foundation::URL parentDirectory;
    ImageSettings imageSettings;

    std::optional<ImageDefinition> imageDefinition() const;
    std::optional<Definition> definition() const override;
    // With a picture: {"filename": file name} with the manifest metadata laid over it;
    // without: the manifest metadata alone.
    platform::foundation::Dictionary metaData() const override;
};

// An image or icon set: its Contents.json lists its children's entries.
class ImageFolderFromConfigBuilder : public MetaDataAndDefinitionProvider, public FromConfigBuilder {
public:
    // Starts with one metadata-only child per manifest image.
    ImageFolderFromConfigBuilder(platform::foundation::URL outputDirectory,
                                 ConfigFile::ConfigFolderDefinition configFolderDefinition);

    const ConfigFile::ConfigFolderDefinition& configFolderDefinition() const override { return config_; }
    const platform::foundation::URL& outputDirectory() const override { return outputDirectory_; }
    void setOutputDirectory(platform::foundation::URL url) override { outputDirectory_ = std::move(url); }
    const MetaDataAndDefinitionProviders& subMetaDataAndDefinitionProviders() const override { return children_; }
    void setSubMetaDataAndDefinitionProviders(MetaDataAndDefinitionProviders providers) override {
        children_ = std::move(providers);
    }

    FolderDefinition folderDefinition() const;
    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::URL outputDirectory_;
    ConfigFile::ConfigFolderDefinition config_;
    MetaDataAndDefinitionProviders children_;
    platform::foundation::Dictionary metaData_;
};

}  // namespace gw
