#include "app/definitions/assets_folder_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"

namespace gw {

namespace pf = platform::foundation;

pf::Dictionary AssetsFolderBuilder::contentsDictionary() const {
    pf::Array entries;
    for (const auto& child : subMetaDataDefinitionPairs) {
        auto metaData = child->metaData();
        auto definition = child->definition();
        if (!definition) {
            entries.emplace_back(std::move(metaData));
            continue;
        }
        pf::Dictionary entry{{"filename", pf::Value(gw::outputDirectory(*definition).lastPathComponent())}};
        deepMerge(entry, metaData);
        entries.emplace_back(std::move(entry));
    }
    pf::Dictionary contents{{"assets", pf::Value(std::move(entries))}};
    deepMerge(contents, contentsInfoBlock());
    return contents;
}

FolderDefinition AssetsFolderBuilder::folderDefinition() const {
    return FolderDefinition{
        outputDirectory, contentsDictionary(), {}, folderChildrenDefinitions(subMetaDataDefinitionPairs)};
}

pf::Dictionary ImageFolderBuilder::contentsDictionary() const {
    pf::Array entries;
    for (const auto& child : subMetaDataAndDefinitionProviders) entries.emplace_back(child->metaData());
    pf::Dictionary contents{{"images", pf::Value(std::move(entries))}};
    deepMerge(contents, contentsInfoBlock());
    return contents;
}

FolderDefinition ImageFolderBuilder::folderDefinition() const {
    return FolderDefinition{
        outputDirectory, contentsDictionary(), imageChildrenDefinitions(subMetaDataAndDefinitionProviders), {}};
}

}  // namespace gw
