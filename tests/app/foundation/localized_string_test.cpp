#include "app/foundation/localized_string.hpp"

#include "platform/foundation/bundle.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

namespace {

namespace ls = gw::LocalizedString;
namespace pf = platform::foundation;

std::map<std::string, std::string> shippedTable() {
    return pf::parseStringsFile(gwtest::readFile(std::filesystem::path(GW_SOURCE_DIR) / "resources/Localizable.strings"));
}

TEST(LocalizedString, EveryConstantHasATextInTheShippedTable) {
    const std::vector<std::pair<std::string, std::function<const std::string&()>>> constants = {
        {"ResizeType.display-name.assets", ls::resizeTypeDisplayNameAssets},
        {"ResizeType.display-name.catalyst", ls::resizeTypeDisplayNameCatalyst},
        {"ResizeType.display-name.complicationIcons", ls::resizeTypeDisplayNameComplicationIcons},
        {"ResizeType.display-name.iMessageIcons", ls::resizeTypeDisplayNameIMessageIcons},
        {"ResizeType.display-name.iOSIcons", ls::resizeTypeDisplayNameIOSIcons},
        {"ResizeType.display-name.iOSSplash", ls::resizeTypeDisplayNameIOSSplash},
        {"ResizeType.display-name.osxIcons", ls::resizeTypeDisplayNameOsxIcons},
        {"ResizeType.display-name.tvOSGameCenterDashboard", ls::resizeTypeDisplayNameTvOSGameCenterDashboard},
        {"ResizeType.display-name.tvOSIcon", ls::resizeTypeDisplayNameTvOSIcon},
        {"ResizeType.display-name.tvOSLeaderboard", ls::resizeTypeDisplayNameTvOSLeaderboard},
        {"ResizeType.display-name.tvOSSplash", ls::resizeTypeDisplayNameTvOSSplash},
        {"ResizeType.display-name.tvOSTopShelf", ls::resizeTypeDisplayNameTvOSTopShelf},
        {"ResizeType.display-name.tvOSTopShelfWide", ls::resizeTypeDisplayNameTvOSTopShelfWide},
        {"ResizeType.display-name.watchIcons", ls::resizeTypeDisplayNameWatchIcons},
        {"platform.display-name.iOS", ls::platformDisplayNameIOS},
        {"platform.display-name.macOS", ls::platformDisplayNameMacOS},
        {"platform.display-name.tvOS", ls::platformDisplayNameTvOS},
        {"platform.display-name.tvOSGameCenter", ls::platformDisplayNameTvOSGameCenter},
        {"platform.display-name.universal", ls::platformDisplayNameUniversal},
        {"platform.display-name.watchOS", ls::platformDisplayNameWatchOS},
        {"error.description.failedDrawingZoomedImage", ls::errorDescriptionFailedDrawingZoomedImage},
        {"error.description.failedReplacingTransparentPixels", ls::errorDescriptionFailedReplacingTransparentPixels},
        {"error.description.failedToRemoveAlphaChannel", ls::errorDescriptionFailedToRemoveAlphaChannel},
        {"error.description.failedToReplaceColorSpace", ls::errorDescriptionFailedToReplaceColorSpace},
        {"error.description.failedToResizeImage", ls::errorDescriptionFailedToResizeImage},
        {"error.description.foundSizeZero", ls::errorDescriptionFoundSizeZero},
        {"error.description.unableToGetPNGRepresentationFromFinalImage",
         ls::errorDescriptionUnableToGetPNGRepresentationFromFinalImage},
        {"error.description.zoomFactorIsZero", ls::errorDescriptionZoomFactorIsZero},
        {"error.recovery.failedToRemoveAlphaChannel", ls::errorRecoveryFailedToRemoveAlphaChannel},
        {"error.description.batchModeNotSupported", ls::errorDescriptionBatchModeNotSupported},
        {"error.description.minimumImageCountNotMet", ls::errorDescriptionMinimumImageCountNotMet},
        {"error.description.missingImageInputs", ls::errorDescriptionMissingImageInputs},
        {"error.description.missingOutputDirectory", ls::errorDescriptionMissingOutputDirectory},
        {"error.description.missingResizeType", ls::errorDescriptionMissingResizeType},
        {"error.description.singleImageModeNotSupported", ls::errorDescriptionSingleImageModeNotSupported},
        {"error.description.variantsImageModeNotSupported", ls::errorDescriptionVariantsImageModeNotSupported},
        {"error.description.insideAssetCatalogDirectory", ls::errorDescriptionInsideAssetCatalogDirectory},
        {"error.warning.description.transparentBackground", ls::errorWarningDescriptionTransparentBackground},
        {"error.warning.description.variantsImageModeRecommended",
         ls::errorWarningDescriptionVariantsImageModeRecommended},
        {"asset-already-exists.append-option.highlight", ls::assetAlreadyExistsAppendOptionHighlight},
        {"asset-already-exists.new-option.highlight", ls::assetAlreadyExistsNewOptionHighlight},
        {"asset-already-exists.overwrite-option.highlight", ls::assetAlreadyExistsOverwriteOptionHighlight},
        {"asset-catalog-already-exists.append-option.highlight", ls::assetCatalogAlreadyExistsAppendOptionHighlight},
        {"asset-catalog-already-exists.new-option.highlight", ls::assetCatalogAlreadyExistsNewOptionHighlight},
        {"asset-catalog-already-exists.overwrite-option.highlight",
         ls::assetCatalogAlreadyExistsOverwriteOptionHighlight},
        {"add-image.alert.message-Text", ls::addImageAlertMessageText},
        {"main.button.title.create-catalog", ls::mainButtonTitleCreateCatalog},
        {"main.button.title.output-directory", ls::mainButtonTitleOutputDirectory},
        {"main.button.title.update-catalog", ls::mainButtonTitleUpdateCatalog},
        {"icon-effect.padding", ls::iconEffectPadding},
        {"icon-effect.padding.tooltip", ls::iconEffectPaddingTooltip},
        {"icon-effect.round-corners", ls::iconEffectRoundCorners},
        {"icon-effect.round-corners.tooltip", ls::iconEffectRoundCornersTooltip},
        {"icon-effect.shadow", ls::iconEffectShadow},
        {"icon-effect.shadow.tooltip", ls::iconEffectShadowTooltip},
        {"open-panel.open-image.prompt", ls::openPanelOpenImagePrompt},
        {"open-panel.open-image.title", ls::openPanelOpenImageTitle},
        {"open-panel.open-root.prompt", ls::openPanelOpenRootPrompt},
        {"open-panel.open-root.title", ls::openPanelOpenRootTitle},
        {"open-panel.select-destination.prompt", ls::openPanelSelectDestinationPrompt},
        {"open-panel.select-destination.title", ls::openPanelSelectDestinationTitle},
        {"destination-open-panel.accessory-view.scanButtonTitle", ls::destinationOpenPanelAccessoryViewScanButtonTitle},
        {"menu.previous-file-locations.clear", ls::menuPreviousFileLocationsClear},
        {"notification.catalog-created.action-button-title", ls::notificationCatalogCreatedActionButtonTitle},
        {"notification.catalog-created.title.created", ls::notificationCatalogCreatedTitleCreated},
        {"notification.catalog-created.title.updated", ls::notificationCatalogCreatedTitleUpdated},
        {"touch-bar.button-title.open-images", ls::touchBarButtonTitleOpenImages},
        {"touch-bar.button-title.select-all", ls::touchBarButtonTitleSelectAll},
        {"touch-bar.layer-editing-view.button-title.height", ls::touchBarLayerEditingViewButtonTitleHeight},
        {"touch-bar.layer-editing-view.button-title.width", ls::touchBarLayerEditingViewButtonTitleWidth},
        {"touch-bar.layer-editing-view.button-title.x", ls::touchBarLayerEditingViewButtonTitleX},
        {"touch-bar.layer-editing-view.button-title.y", ls::touchBarLayerEditingViewButtonTitleY},
        {"version-check.alert.informative-text", ls::versionCheckAlertInformativeText},
        {"generic.ok", ls::genericOk},
    };
    ASSERT_EQ(constants.size(), 74u);
    const auto table = shippedTable();
    for (const auto& [key, constant] : constants) {
        ASSERT_TRUE(table.contains(key)) << key;
        EXPECT_EQ(constant(), table.at(key)) << key;
        EXPECT_NE(constant(), key) << key;
    }
}

TEST(LocalizedString, TextsWithArgumentsInsertEveryArgument) {
    const auto detail = ls::assetAlreadyExistsDetailText("/Users/me/Assets.xcassets", "AppIcon.appiconset");
    EXPECT_NE(detail.find("/Users/me/Assets.xcassets"), std::string::npos) << detail;
    EXPECT_NE(detail.find("AppIcon.appiconset"), std::string::npos) << detail;
    EXPECT_LT(detail.find("/Users/me/Assets.xcassets"), detail.find("AppIcon.appiconset"));

    // Every option title contains its bold part, which the dialogs look for.
    EXPECT_NE(ls::assetAlreadyExistsNewOption("Icon1").find(ls::assetAlreadyExistsNewOptionHighlight()), std::string::npos);
    EXPECT_NE(ls::assetAlreadyExistsOverwriteOption("Icon").find(ls::assetAlreadyExistsOverwriteOptionHighlight()),
              std::string::npos);
    EXPECT_NE(ls::assetAlreadyExistsAppendOption("Icon").find(ls::assetAlreadyExistsAppendOptionHighlight()),
              std::string::npos);
    EXPECT_NE(ls::assetCatalogAlreadyExistsNewOption("Assets1.xcassets")
                  .find(ls::assetCatalogAlreadyExistsNewOptionHighlight()),
              std::string::npos);
    EXPECT_NE(ls::assetCatalogAlreadyExistsOverwriteOption("Assets.xcassets")
                  .find(ls::assetCatalogAlreadyExistsOverwriteOptionHighlight()),
              std::string::npos);
    EXPECT_NE(ls::assetCatalogAlreadyExistsAppendOption("Assets.xcassets")
                  .find(ls::assetCatalogAlreadyExistsAppendOptionHighlight()),
              std::string::npos);
    EXPECT_NE(ls::assetCatalogAlreadyExistsDetailText("/tmp/Assets.xcassets").find("/tmp/Assets.xcassets"),
              std::string::npos);

    EXPECT_NE(ls::errorWarningConcatenationFormat(3).find('3'), std::string::npos);
    const auto tooSmall = ls::errorWarningDescriptionImageTooSmall(1024.0f, 768.0f);
    EXPECT_NE(tooSmall.find("1024"), std::string::npos) << tooSmall;
    EXPECT_NE(tooSmall.find("768"), std::string::npos) << tooSmall;
    EXPECT_NE(ls::errorWarningDescriptionAspectRatioMismatched("16:9").find("16:9"), std::string::npos);
    EXPECT_NE(ls::addImageAlertInformativeText("/tmp/a b.png").find("/tmp/a b.png"), std::string::npos);
    EXPECT_NE(ls::versionCheckAlertMessageText("2.1").find("2.1"), std::string::npos);
    EXPECT_EQ(ls::mainPopupbuttonOutputtypeTitle(ls::platformDisplayNameIOS(), ls::resizeTypeDisplayNameIOSIcons()),
              ls::platformDisplayNameIOS() + " " + ls::resizeTypeDisplayNameIOSIcons());
}

TEST(LocalizedString, ArgumentsOfAnyKindAreShownByTheirDescription) {
    EXPECT_NE(ls::assetAlreadyExistsNewOption(42).find("42"), std::string::npos);
    EXPECT_NE(ls::versionCheckAlertMessageText(pf::Value("3.0")).find("3.0"), std::string::npos);
    // An argument is inserted, never read as a format.
    EXPECT_NE(ls::assetAlreadyExistsNewOption("100% %@ %d").find("100% %@ %d"), std::string::npos);
    // Control characters of an argument are escaped; lines given as lines stay lines.
    EXPECT_NE(ls::text("saved-state.unsaved.at-end", "a\nb").find("a\\x0ab"), std::string::npos);
    const auto lines = ls::text("saved-state.unsaved.informative", std::vector<std::string>{"one\tA", "two"});
    EXPECT_EQ(lines.rfind("one\\x09A\ntwo\n", 0), 0u) << lines;
}

TEST(LocalizedString, MissingKeyShowsTheKeyFormatted) {
    EXPECT_EQ(ls::text("no.such.key"), "no.such.key");
    EXPECT_EQ(ls::text("no.such %@ key", "value"), "no.such value key");
    EXPECT_EQ(ls::text("100%% sure"), "100% sure");
    EXPECT_EQ(ls::text("count %ld", std::int64_t{-7}), "count -7");
}

TEST(LocalizedString, ConstantsAreKeptAfterTheFirstLookup) {
    const std::string first = ls::genericOk();
    const std::string* address = &ls::genericOk();

    // A different main bundle after the first lookup changes nothing.
    gwtest::TempDir dir;
    gwtest::writeFile(dir / "Localizable.strings", "\"generic.ok\" = \"Changed\";\n");
    pf::Bundle::setMain(std::make_unique<pf::Bundle>(dir.path()));
    EXPECT_EQ(ls::genericOk(), first);
    EXPECT_EQ(&ls::genericOk(), address);
    EXPECT_NE(ls::text("generic.ok"), "Changed");
    pf::Bundle::setMain(nullptr);
}

}  // namespace
