#include "app/definitions/game_center_dashboard_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/contents_preserving_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "platform/foundation/error.hpp"

namespace gw {

namespace pf = platform::foundation;

ImageSettings FolderDefinitionBuildertvOSDashboard::imageSettings() {
    return FolderDefinitionBuilderiOSIcon::imageSettings();
}

FolderDefinition FolderDefinitionBuildertvOSDashboard::build() {
    const auto root = ConfigFile().assetManifest(ConfigFile::AssetManifestType::tvOSDashboard);
    if (root.folderDefinitions.empty() || root.folderDefinitions.front().folderDefinitions.empty()) {
        pf::fatalError("Incomplete config", "FolderDefinitionBuildertvOSDashboard");
    }
    const auto& dashboard = root.folderDefinitions.front();
    const auto& imageSet = dashboard.folderDefinitions.front();

    const auto catalogURL = validatedCatalogURL();
    const auto rootURL =
        validatedURL(catalogURL.appendingPathComponent(root.fileName, true), WritingIntentKind::append);
    const auto dashboardURL =
        validatedURL(rootURL.appendingPathComponent(dashboard.fileName, true), WritingIntentKind::asset);
    const auto imageSetURL =
        validatedURL(dashboardURL.appendingPathComponent(imageSet.fileName, true), WritingIntentKind::asset);

    TopLevelFolderDefinitionBuilder topLevel(catalogURL);
    EmptyFolderBuilder rootBuilder(rootURL);
    EmptyFolderBuilder dashboardBuilder(dashboardURL);

    ImageFolderFromConfigBuilder imageSetBuilder(imageSetURL, imageSet);
    imageSetBuilder.configureImageDefinitionBuilders(imageInputCollection_, imageSettings(), imageSetURL);

    dashboardBuilder.subMetaDataDefinitionPairs = {
        std::make_shared<MetaDataDefinitionPair>(pf::Dictionary{}, imageSetBuilder.definition())};
    rootBuilder.subMetaDataDefinitionPairs = {
        std::make_shared<MetaDataDefinitionPair>(pf::Dictionary{}, dashboardBuilder.definition())};

    auto rootDefinition = rootBuilder.folderDefinition();
    keepExistingGroupContents(rootDefinition);
    topLevel.subfolderDefinitions = {std::move(rootDefinition)};
    return withUniqueImageFiles(topLevel.folderDefinition());
}

}  // namespace gw
