#pragma once
// Two small folder builders. ContentsPreservingBuilder makes an image set from a
// manifest folder entry and, when this conversion puts no picture into it, carries
// the content of its existing Contents.json over unchanged, so converting one part of
// a folder group does not empty the lists of the other parts. EmptyFolderBuilder makes
// a folder whose Contents.json holds only "properties", with folders below it.
#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

namespace gw {

class ContentsPreservingBuilder : public MetaDataAndDefinitionProvider, public FromConfigBuilder {
public:
    // Starts with one metadata-only child per manifest image; the entry's "properties"
    // and subfolders are not used.
    ContentsPreservingBuilder(platform::foundation::URL outputDirectory,
                              ConfigFile::ConfigFolderDefinition configFolderDefinition);

    const ConfigFile::ConfigFolderDefinition& configFolderDefinition() const override { return config_; }
    const platform::foundation::URL& outputDirectory() const override { return outputDirectory_; }
    void setOutputDirectory(platform::foundation::URL url) override { outputDirectory_ = std::move(url); }
    const MetaDataAndDefinitionProviders& subMetaDataAndDefinitionProviders() const override { return children_; }
    void setSubMetaDataAndDefinitionProviders(MetaDataAndDefinitionProviders providers) override {
        children_ = std::move(providers);
    }

    // Without any picture to write, the existing file's dictionary as it is (read
    // again at every call); else, or when there is no usable file, the children's
    // entries under "images" with the info block.
    platform::foundation::Dictionary contentsDictionary() const;
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::URL outputDirectory_;
    ConfigFile::ConfigFolderDefinition config_;
    MetaDataAndDefinitionProviders children_;
    platform::foundation::Dictionary metaData_;
};

// Made with empty fields that its creator then sets.
class EmptyFolderBuilder : public MetaDataAndDefinitionProvider {
public:
    explicit EmptyFolderBuilder(platform::foundation::URL outputDirectory = {})
        : outputDirectory(std::move(outputDirectory)) {}

    platform::foundation::URL outputDirectory;
    // Only the folders they give are used; their entries are listed nowhere.
    MetaDataAndDefinitionProviders subMetaDataDefinitionPairs;
    platform::foundation::Dictionary properties;
    void setMetaData(platform::foundation::Dictionary metaData) { metaData_ = std::move(metaData); }

    // {"properties": properties} with the info block; "properties" even when empty.
    platform::foundation::Dictionary contentsDictionary() const;
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::Dictionary metaData_;
};

}  // namespace gw
