#pragma once
// An image set that already exists and is filled idiom by idiom over several
// conversions: the new entries replace the existing entries of their idioms, and the
// entries of every other idiom stay listed. Also the two rules by which folder
// builders gather what their children built.
#include "app/definitions/folder_definition.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <optional>
#include <vector>

namespace gw {

// The image definitions the children give, in child order; children that give none,
// or give a folder, are skipped. A file named by several children is planned once,
// with the first child's picture, so that two renderings never write one file.
std::vector<ImageDefinition> imageChildrenDefinitions(const MetaDataAndDefinitionProviders& children);

// The folder definitions the children give, in child order.
std::vector<FolderDefinition> folderChildrenDefinitions(const MetaDataAndDefinitionProviders& children);

// The list without a second definition of a file already planned (the first stays).
std::vector<ImageDefinition> uniqueImageDefinitions(std::vector<ImageDefinition> images);

// The same rule applied to every folder of a tree.
FolderDefinition withUniqueImageFiles(FolderDefinition folder);

// The value of the folder's "Contents.json", read whole and fresh from disk; none when
// the file is missing, unreadable or not JSON.
std::optional<platform::foundation::Value> existingContents(const platform::foundation::URL& folder);

// For a group that several kinds of asset share and that is written into without asking
// (the "Game Center" folder): what the user keeps in its existing Contents.json (its
// "properties" among them) stays; only the info block is written anew.
void keepExistingGroupContents(FolderDefinition& group);

class AppendingImageFolderBuilder : public MetaDataAndDefinitionProvider {
public:
    AppendingImageFolderBuilder(platform::foundation::URL outputDirectory,
                                MetaDataAndDefinitionProviders subMetaDataAndDefinitionProviders,
                                platform::foundation::Dictionary metaData = {})
        : outputDirectory_(std::move(outputDirectory)),
          children_(std::move(subMetaDataAndDefinitionProviders)),
          metaData_(std::move(metaData)) {}

    const platform::foundation::URL& outputDirectory() const { return outputDirectory_; }
    const MetaDataAndDefinitionProviders& subMetaDataAndDefinitionProviders() const { return children_; }

    // Reads the existing Contents.json again at every call.
    platform::foundation::Dictionary contentsDictionary() const;
    FolderDefinition folderDefinition() const;

    std::optional<Definition> definition() const override { return folderDefinition(); }
    platform::foundation::Dictionary metaData() const override { return metaData_; }

private:
    platform::foundation::URL outputDirectory_;
    MetaDataAndDefinitionProviders children_;
    platform::foundation::Dictionary metaData_;
};

}  // namespace gw
