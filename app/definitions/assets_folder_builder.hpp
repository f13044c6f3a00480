#pragma once
// The two plainest folder builders, for a builder that already holds its children:
// a folder listing its child folders under "assets" (brand assets, complication
// sets), and an image set listing its pictures under "images", made new each time.
#include "app/definitions/folder_definition.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

namespace gw {

// Made with empty fields that its creator then sets.
class AssetsFolderBuilder : public MetaDataAndDefinitionProvider {
public:
    explicit AssetsFolderBuilder(platform::foundation::URL outputDirectory = {})
        : outputDirectory(std::move(outputDirectory)) {}

    platform::foundation::URL outputDirectory;
    MetaDataAndDefinitionProviders subMetaDataDefinitionPairs;
    void setMetaData(platform::foundation::Dictionary metaData) { metaData_ = std::move(metaData); }

    // {"assets": one entry per child} with the info block. A child that gives a
    // definition is listed as {"filename": that definition's last path component}
    // with its own metadata laid over it; one that gives none by its metadata alone.
    platform::foundation::Dictionary contentsDictionary() const;
    // No pictures of its own; the children's folders below it.
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    // What the parent lists for this folder; never part of its own Contents.json.
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::Dictionary metaData_;
};

// Made with empty fields that its creator then sets.
class ImageFolderBuilder : public MetaDataAndDefinitionProvider {
public:
    explicit ImageFolderBuilder(platform::foundation::URL outputDirectory = {})
        : outputDirectory(std::move(outputDirectory)) {}

    platform::foundation::URL outputDirectory;
    MetaDataAndDefinitionProviders subMetaDataAndDefinitionProviders;
    void setMetaData(platform::foundation::Dictionary metaData) { metaData_ = std::move(metaData); }

    // {"images": every child's entry} with the info block; an existing file is not read.
    platform::foundation::Dictionary contentsDictionary() const;
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::Dictionary metaData_;
};

}  // namespace gw
