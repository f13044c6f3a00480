#include "app/definitions/brand_assets.hpp"

#include "app/definitions/config_file.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/engine/contracts/folder_definition_validating.hpp"
#include "platform/foundation/error.hpp"

#include <algorithm>

namespace gw {

namespace pf = platform::foundation;
using Builder = FolderDefinitionBuilderTVBrandAssets;

namespace {

const ConfigFile::ConfigFolderDefinition& partEntry(const ConfigFile::ConfigFolderDefinition& brandAssets,
                                                    std::string_view fileName) {
    const auto& parts = brandAssets.folderDefinitions;
    const auto found =
        std::find_if(parts.begin(), parts.end(), [&](const auto& part) { return part.fileName == fileName; });
    if (found == parts.end()) pf::fatalError("Incomplete config", "FolderDefinitionBuilderTVBrandAssets");
    return *found;
}

}  // namespace

Builder::FolderDefinitionBuilderTVBrandAssets(ImageInputCollection imageInputCollection, pf::URL outputDirectory,
                                              FileWritingIntentFactoryPtr fileWritingIntentFactory,
                                              WritingType writingType)
    : imageInputCollection_(std::move(imageInputCollection)),
      outputDirectory_(std::move(outputDirectory)),
      fileWritingIntentFactory_(std::move(fileWritingIntentFactory)),
      writingType_(writingType) {
    const auto brandAssets = ConfigFile().assetManifest(ConfigFile::AssetManifestType::tvOSBrandAssets);

    auto validated = [&](const pf::URL& url, WritingIntentKind kind) {
        return fileWritingIntentFactory_->validatedURL(
            url, kind, {FileWritingIntent::Options::imageInput(imageInputCollection_.imageInput())});
    };

    const auto catalogURL =
        validated(outputDirectory_.appendingPathComponent(kAssetCatalogFolderName, true), WritingIntentKind::catalog);
    topLevelFolderBuilder_ = std::make_shared<TopLevelFolderDefinitionBuilder>(catalogURL);

    const auto brandAssetsURL =
        validated(catalogURL.appendingPathComponent(brandAssets.fileName, true), WritingIntentKind::append);
    tvBrandAssetsBuilder_ = std::make_shared<AssetsFolderBuilder>(brandAssetsURL);
    tvBrandAssetsBuilder_->setMetaData(brandAssets.metaData.value_or(pf::Dictionary{}));

    auto partURL = [&](const ConfigFile::ConfigFolderDefinition& entry, bool isTarget) {
        return validated(brandAssetsURL.appendingPathComponent(entry.fileName, true),
                         isTarget ? WritingIntentKind::asset : WritingIntentKind::append);
    };
    auto makeStack = [&](std::string_view fileName) {
        const auto& entry = partEntry(brandAssets, fileName);
        const bool isTarget = writingType_ == WritingType::appIcon;
        auto stack = std::make_shared<LayersFolderBuilder>(partURL(entry, isTarget));
        // A canvas that reads as zero counts as none: layers scaled by zero would be
        // planned as empty pictures instead of stopping on the broken manifest.
        const auto canvasSize = ConfigFile::canvasSize(entry.properties);
        if (canvasSize.width > 0 && canvasSize.height > 0) stack->canvasSize = canvasSize;
        stack->properties = entry.properties.value_or(pf::Dictionary{});
        stack->setMetaData(entry.metaData.value_or(pf::Dictionary{}));
        // A top-shelf conversion must leave the app icon's layer lists as they are.
        stack->preservesExistingContents = !isTarget;
        return stack;
    };
    auto makeTopShelf = [&](std::string_view fileName, WritingType target) {
        const auto& entry = partEntry(brandAssets, fileName);
        return std::make_shared<ContentsPreservingBuilder>(partURL(entry, writingType_ == target), entry);
    };

    appIconLargeBuilder_ = makeStack(appIconLargeFileName);
    appIconSmallBuilder_ = makeStack(appIconSmallFileName);
    topShelfBuilder_ = makeTopShelf(topShelfFileName, WritingType::topShelf);
    topShelfWideBuilder_ = makeTopShelf(topShelfWideFileName, WritingType::topShelfWide);
}

FolderDefinition Builder::build() {
    tvBrandAssetsBuilder_->subMetaDataDefinitionPairs = {appIconLargeBuilder_, appIconSmallBuilder_, topShelfBuilder_,
                                                         topShelfWideBuilder_};
    topLevelFolderBuilder_->subfolderDefinitions = {tvBrandAssetsBuilder_->folderDefinition()};
    return topLevelFolderBuilder_->folderDefinition();
}

ConversionWarnings Builder::validate() { return validateBuild(*this, {}); }

}  // namespace gw
