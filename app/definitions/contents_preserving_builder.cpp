#include "app/definitions/contents_preserving_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"

namespace gw {

namespace pf = platform::foundation;

ContentsPreservingBuilder::ContentsPreservingBuilder(pf::URL outputDirectory,
                                                     ConfigFile::ConfigFolderDefinition configFolderDefinition)
    : outputDirectory_(std::move(outputDirectory)),
      config_(std::move(configFolderDefinition)),
      metaData_(config_.metaData.value_or(pf::Dictionary{})) {
    for (const auto& image : config_.imageDefinitions) {
        children_.push_back(std::make_shared<MetaDataDefinitionPair>(image.metaData));
    }
}

pf::Dictionary ContentsPreservingBuilder::contentsDictionary() const {
    pf::Array entries;
    bool anyDefinition = false;
    for (const auto& child : children_) {
        entries.emplace_back(child->metaData());
        if (child->definition()) anyDefinition = true;
    }
    if (!anyDefinition) {
        if (auto existing = existingContents(outputDirectory_)) {
            if (const auto* dictionary = existing->asDictionary()) return *dictionary;
        }
    }
    pf::Dictionary contents{{"images", pf::Value(std::move(entries))}};
    deepMerge(contents, contentsInfoBlock());
    return contents;
}

FolderDefinition ContentsPreservingBuilder::folderDefinition() const {
    return FolderDefinition{outputDirectory_, contentsDictionary(), imageChildrenDefinitions(children_), {}};
}

pf::Dictionary EmptyFolderBuilder::contentsDictionary() const {
    pf::Dictionary contents{{"properties", pf::Value(properties)}};
    deepMerge(contents, contentsInfoBlock());
    return contents;
}

FolderDefinition EmptyFolderBuilder::folderDefinition() const {
    return FolderDefinition{
        outputDirectory, contentsDictionary(), {}, folderChildrenDefinitions(subMetaDataDefinitionPairs)};
}

}  // namespace gw
