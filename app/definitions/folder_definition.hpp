#pragma once
// The planned catalog: a tree of folders, each with its Contents.json dictionary, the
// pictures to render into it and its subfolders. Builders compose it; the engine
// writes it.
#include "app/foundation/image_definition.hpp"
#include "platform/foundation/url.hpp"
#include "platform/foundation/value.hpp"

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace gw {

struct FolderDefinition {
    // The folder to create, its own name included.
    platform::foundation::URL outputDirectory;
    platform::foundation::Dictionary contentsDictionary;
    std::vector<ImageDefinition> imageDefinitions;
    std::vector<FolderDefinition> subfolderDefinitions;

    // This definition and another of the same folder combined: dictionaries merged
    // with this one's scalars winning and lists concatenated (this one's entries
    // first), then both image and subfolder lists, this one's first. Definitions of
    // different folders are a broken invariant and stop the process.
    FolderDefinition merging(const FolderDefinition& other) const;
};

// What a child of a folder builder contributes once built: a folder or a picture file.
using Definition = std::variant<ImageDefinition, FolderDefinition>;

// Where a definition is written: the folder, or the picture file.
const platform::foundation::URL& outputDirectory(const Definition& definition);

class DefinitionProvider {
public:
    virtual ~DefinitionProvider() = default;
    // None when the child contributes only a Contents.json entry.
    virtual std::optional<Definition> definition() const = 0;
};

class MetaDataProvider {
public:
    virtual ~MetaDataProvider() = default;
    // The entry the parent folder's Contents.json lists for this child.
    virtual platform::foundation::Dictionary metaData() const = 0;
};

// A child of a folder builder: both of the above.
class MetaDataAndDefinitionProvider : public DefinitionProvider, public MetaDataProvider {};

using MetaDataAndDefinitionProviderPtr = std::shared_ptr<MetaDataAndDefinitionProvider>;
using MetaDataAndDefinitionProviders = std::vector<MetaDataAndDefinitionProviderPtr>;

// A child already decided: a manifest entry without a picture (metadata only), or a
// finished definition with its entry.
class MetaDataDefinitionPair : public MetaDataAndDefinitionProvider {
public:
    explicit MetaDataDefinitionPair(platform::foundation::Dictionary metaData,
                                    std::optional<Definition> definition = std::nullopt);

    std::optional<Definition> definition() const override;
    platform::foundation::Dictionary metaData() const override;

private:
    platform::foundation::Dictionary metaData_;
    std::optional<Definition> definition_;
};

// {"info": {"version": 1, "author": "xcode"}}, shared by every Contents.json.
const platform::foundation::Dictionary& contentsInfoBlock();

// Merges `other` into `receiver` key by key (deepMergeValue). At the top level the
// argument's values win; one level down the receiver's old values win; precedence
// alternates with each further level. Lists are replaced, never concatenated.
void deepMerge(platform::foundation::Dictionary& receiver, const platform::foundation::Dictionary& other);
void deepMergeValue(platform::foundation::Dictionary& receiver, const platform::foundation::Value& value,
                    const std::string& key);

}  // namespace gw
