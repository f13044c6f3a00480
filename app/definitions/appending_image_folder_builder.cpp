#include "app/definitions/appending_image_folder_builder.hpp"

#include "platform/foundation/files.hpp"
#include "platform/foundation/json.hpp"

#include <exception>
#include <set>
#include <string>

namespace gw {

namespace pf = platform::foundation;

std::vector<ImageDefinition> uniqueImageDefinitions(std::vector<ImageDefinition> images) {
    std::set<std::string> planned;
    std::vector<ImageDefinition> unique;
    unique.reserve(images.size());
    for (auto& image : images) {
        if (planned.insert(image.outputDirectory.path()).second) unique.push_back(std::move(image));
    }
    return unique;
}

FolderDefinition withUniqueImageFiles(FolderDefinition folder) {
    folder.imageDefinitions = uniqueImageDefinitions(std::move(folder.imageDefinitions));
    for (auto& subfolder : folder.subfolderDefinitions) subfolder = withUniqueImageFiles(std::move(subfolder));
    return folder;
}

std::vector<ImageDefinition> imageChildrenDefinitions(const MetaDataAndDefinitionProviders& children) {
    std::vector<ImageDefinition> images;
    for (const auto& child : children) {
        auto definition = child->definition();
        if (!definition) continue;
        if (auto* image = std::get_if<ImageDefinition>(&*definition)) images.push_back(std::move(*image));
    }
    return uniqueImageDefinitions(std::move(images));
}

std::vector<FolderDefinition> folderChildrenDefinitions(const MetaDataAndDefinitionProviders& children) {
    std::vector<FolderDefinition> folders;
    for (const auto& child : children) {
        auto definition = child->definition();
        if (!definition) continue;
        if (auto* folder = std::get_if<FolderDefinition>(&*definition)) folders.push_back(std::move(*folder));
    }
    return folders;
}

std::optional<pf::Value> existingContents(const pf::URL& folder) {
    try {
        return pf::json::parse(pf::files::readString(folder.fsPath() / "Contents.json"));
    } catch (const std::exception&) {
        // Missing, unreadable or not JSON: the folder counts as having no list.
        return std::nullopt;
    }
}

pf::Dictionary AppendingImageFolderBuilder::contentsDictionary() const {
    pf::Array newEntries;
    std::set<std::string> newIdioms;
    for (const auto& child : children_) {
        auto entry = child->metaData();
        auto idiom = entry.find("idiom");
        if (idiom != entry.end()) {
            if (const auto* text = idiom->second.asString()) newIdioms.insert(*text);
        }
        newEntries.emplace_back(std::move(entry));
    }

    // What the existing file holds besides its list (for example the "properties" the
    // user set) was not asked to change, so it stays; only "info" is written anew.
    pf::Dictionary contents;
    pf::Array list = std::move(newEntries);
    if (auto existing = existingContents(outputDirectory_); existing && existing->isDictionary()) {
        contents = *existing->asDictionary();
        if (const auto* images = (*existing)["images"].asArray()) {
            for (const auto& entry : *images) {
                // Something that is not an entry at all is not kept, but it does not
                // cost the other entries their place.
                if (!entry.isDictionary()) continue;
                const auto* idiom = entry["idiom"].asString();
                if (idiom && newIdioms.contains(*idiom)) continue;
                list.push_back(entry);
            }
        }
        contents.erase("images");
        contents.erase("info");
    }
    contents.insert_or_assign("images", pf::Value(std::move(list)));
    deepMerge(contents, contentsInfoBlock());
    return contents;
}

FolderDefinition AppendingImageFolderBuilder::folderDefinition() const {
    return FolderDefinition{outputDirectory_, contentsDictionary(), imageChildrenDefinitions(children_), {}};
}

void keepExistingGroupContents(FolderDefinition& group) {
    auto existing = existingContents(group.outputDirectory);
    if (!existing || !existing->isDictionary()) return;
    platform::foundation::Dictionary contents = *existing->asDictionary();
    contents.erase("info");
    // One level down the receiver's values win, so existing properties stay.
    deepMerge(contents, group.contentsDictionary);
    group.contentsDictionary = std::move(contents);
}

}  // namespace gw
