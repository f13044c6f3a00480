#include "app/definitions/folder_definition.hpp"

#include "platform/foundation/error.hpp"

namespace gw {

namespace pf = platform::foundation;

namespace {

// Receiver's scalars win, nested dictionaries merge by the same rule, lists concatenate.
void mergeContents(pf::Dictionary& receiver, const pf::Dictionary& other) {
    for (const auto& [key, value] : other) {
        auto found = receiver.find(key);
        if (found == receiver.end()) {
            receiver.emplace(key, value);
            continue;
        }
        auto& mine = found->second;
        if (auto* mineDictionary = mine.asDictionary(); mineDictionary && value.isDictionary()) {
            mergeContents(*mineDictionary, *value.asDictionary());
        } else if (auto* mineArray = mine.asArray(); mineArray && value.isArray()) {
            const auto& theirs = *value.asArray();
            mineArray->insert(mineArray->end(), theirs.begin(), theirs.end());
        }
    }
}

}  // namespace

FolderDefinition FolderDefinition::merging(const FolderDefinition& other) const {
    if (!(outputDirectory == other.outputDirectory)) {
        pf::fatalError("Incompatible merge. The definitions want to be in different output directories",
                       "FolderDefinition");
    }
    FolderDefinition result = *this;
    mergeContents(result.contentsDictionary, other.contentsDictionary);
    result.imageDefinitions.insert(result.imageDefinitions.end(), other.imageDefinitions.begin(),
                                   other.imageDefinitions.end());
    result.subfolderDefinitions.insert(result.subfolderDefinitions.end(), other.subfolderDefinitions.begin(),
                                       other.subfolderDefinitions.end());
    return result;
}

const pf::URL& outputDirectory(const Definition& definition) {
    return std::visit([](const auto& d) -> const pf::URL& { return d.outputDirectory; }, definition);
}

MetaDataDefinitionPair::MetaDataDefinitionPair(pf::Dictionary metaData, std::optional<Definition> definition)
    : metaData_(std::move(metaData)), definition_(std::move(definition)) {}

std::optional<Definition> MetaDataDefinitionPair::definition() const { return definition_; }

pf::Dictionary MetaDataDefinitionPair::metaData() const { return metaData_; }

const pf::Dictionary& contentsInfoBlock() {
    static const pf::Dictionary block{
        {"info", pf::Value::dict({{"version", 1}, {"author", "xcode"}})},
    };
    return block;
}

void deepMerge(pf::Dictionary& receiver, const pf::Dictionary& other) {
    for (const auto& [key, value] : other) deepMergeValue(receiver, value, key);
}

void deepMergeValue(pf::Dictionary& receiver, const pf::Value& value, const std::string& key) {
    auto found = receiver.find(key);
    if (found == receiver.end() || !found->second.isDictionary() || !value.isDictionary()) {
        receiver.insert_or_assign(key, value);
        return;
    }
    pf::Dictionary merged = *value.asDictionary();
    deepMerge(merged, *found->second.asDictionary());
    found->second = pf::Value(std::move(merged));
}

}  // namespace gw
