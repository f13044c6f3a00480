#include "app/foundation/localized_string.hpp"

#include "platform/foundation/bundle.hpp"
#include "platform/foundation/string_format.hpp"
#include "platform/foundation/utf8.hpp"

#include <memory>
#include <vector>

namespace gw::LocalizedString {

namespace {

namespace pf = platform::foundation;

// The bundle that holds the application's code, found at the first lookup and kept, so
// that every later text comes from the same table.
const pf::Bundle& codeBundle() {
    static const std::unique_ptr<pf::Bundle> bundle = [] {
        const pf::Bundle& main = pf::Bundle::main();
        return std::make_unique<pf::Bundle>(main.resourcesPath(), main.infoDictionary());
    }();
    return *bundle;
}

constexpr std::string_view kTable = "Localizable";

// Every text goes through the formatter, arguments or not, so that "%%" in a table
// entry shows as "%".
std::string lookUp(std::string_view key, const std::vector<pf::FormatArgument>& arguments) {
    const std::string format = codeBundle().localizedString(key, {}, kTable);
    return pf::formatString(format, arguments);
}

}  // namespace

std::string text(std::string_view key) { return lookUp(key, {}); }

void load() { (void)codeBundle().localizedString(kTable, {}, kTable); }

namespace {

// Text arguments are names, paths and reasons from outside: shown, never acted on.
pf::FormatArgument shown(std::string_view argument) { return pf::FormatArgument(pf::escapedForDisplay(argument)); }

}  // namespace

std::string text(std::string_view key, std::string_view argument) { return lookUp(key, {shown(argument)}); }

std::string text(std::string_view key, std::string_view first, std::string_view second) {
    return lookUp(key, {shown(first), shown(second)});
}

std::string text(std::string_view key, std::initializer_list<std::string_view> arguments) {
    std::vector<pf::FormatArgument> formatted;
    formatted.reserve(arguments.size());
    for (const auto argument : arguments) formatted.push_back(shown(argument));
    return lookUp(key, formatted);
}

std::string text(std::string_view key, const std::vector<std::string>& lines) {
    std::string joined;
    for (const auto& line : lines) joined += (joined.empty() ? "" : "\n") + pf::escapedForDisplay(line);
    return lookUp(key, {pf::FormatArgument(std::move(joined))});
}

std::string text(std::string_view key, std::int64_t count) { return lookUp(key, {pf::FormatArgument(count)}); }

std::string text(std::string_view key, float first, float second) {
    return lookUp(key, {pf::FormatArgument(static_cast<double>(first)), pf::FormatArgument(static_cast<double>(second))});
}

// One kept constant per key without arguments; a function-local static is made once,
// safely under concurrent first use.
#define GW_LOCALIZED_CONSTANTS(X) \
    X(resizeTypeDisplayNameAssets, "ResizeType.display-name.assets") \
    X(resizeTypeDisplayNameCatalyst, "ResizeType.display-name.catalyst") \
    X(resizeTypeDisplayNameComplicationIcons, "ResizeType.display-name.complicationIcons") \
    X(resizeTypeDisplayNameIMessageIcons, "ResizeType.display-name.iMessageIcons") \
    X(resizeTypeDisplayNameIOSIcons, "ResizeType.display-name.iOSIcons") \
    X(resizeTypeDisplayNameIOSSplash, "ResizeType.display-name.iOSSplash") \
    X(resizeTypeDisplayNameOsxIcons, "ResizeType.display-name.osxIcons") \
    X(resizeTypeDisplayNameTvOSGameCenterDashboard, "ResizeType.display-name.tvOSGameCenterDashboard") \
    X(resizeTypeDisplayNameTvOSIcon, "ResizeType.display-name.tvOSIcon") \
    X(resizeTypeDisplayNameTvOSLeaderboard, "ResizeType.display-name.tvOSLeaderboard") \
    X(resizeTypeDisplayNameTvOSSplash, "ResizeType.display-name.tvOSSplash") \
    X(resizeTypeDisplayNameTvOSTopShelf, "ResizeType.display-name.tvOSTopShelf") \
    X(resizeTypeDisplayNameTvOSTopShelfWide, "ResizeType.display-name.tvOSTopShelfWide") \
    X(resizeTypeDisplayNameWatchIcons, "ResizeType.display-name.watchIcons") \
    X(platformDisplayNameIOS, "platform.display-name.iOS") \
    X(platformDisplayNameMacOS, "platform.display-name.macOS") \
    X(platformDisplayNameTvOS, "platform.display-name.tvOS") \
    X(platformDisplayNameTvOSGameCenter, "platform.display-name.tvOSGameCenter") \
    X(platformDisplayNameUniversal, "platform.display-name.universal") \
    X(platformDisplayNameWatchOS, "platform.display-name.watchOS") \
    X(errorDescriptionFailedDrawingZoomedImage, "error.description.failedDrawingZoomedImage") \
    X(errorDescriptionFailedReplacingTransparentPixels, "error.description.failedReplacingTransparentPixels") \
    X(errorDescriptionFailedToRemoveAlphaChannel, "error.description.failedToRemoveAlphaChannel") \
    X(errorDescriptionFailedToReplaceColorSpace, "error.description.failedToReplaceColorSpace") \
    X(errorDescriptionFailedToResizeImage, "error.description.failedToResizeImage") \
    X(errorDescriptionFoundSizeZero, "error.description.foundSizeZero") \
    X(errorDescriptionUnableToGetPNGRepresentationFromFinalImage, "error.description.unableToGetPNGRepresentationFromFinalImage") \
    X(errorDescriptionZoomFactorIsZero, "error.description.zoomFactorIsZero") \
    X(errorRecoveryFailedToRemoveAlphaChannel, "error.recovery.failedToRemoveAlphaChannel") \
    X(errorDescriptionBatchModeNotSupported, "error.description.batchModeNotSupported") \
    X(errorDescriptionMinimumImageCountNotMet, "error.description.minimumImageCountNotMet") \
    X(errorDescriptionMissingImageInputs, "error.description.missingImageInputs") \
    X(errorDescriptionMissingOutputDirectory, "error.description.missingOutputDirectory") \
    X(errorDescriptionMissingResizeType, "error.description.missingResizeType") \
    X(errorDescriptionSingleImageModeNotSupported, "error.description.singleImageModeNotSupported") \
    X(errorDescriptionVariantsImageModeNotSupported, "error.description.variantsImageModeNotSupported") \
    X(errorDescriptionInsideAssetCatalogDirectory, "error.description.insideAssetCatalogDirectory") \
    X(errorWarningDescriptionTransparentBackground, "error.warning.description.transparentBackground") \
    X(errorWarningDescriptionVariantsImageModeRecommended, "error.warning.description.variantsImageModeRecommended") \
    X(assetAlreadyExistsAppendOptionHighlight, "asset-already-exists.append-option.highlight") \
    X(assetAlreadyExistsNewOptionHighlight, "asset-already-exists.new-option.highlight") \
    X(assetAlreadyExistsOverwriteOptionHighlight, "asset-already-exists.overwrite-option.highlight") \
    X(assetCatalogAlreadyExistsAppendOptionHighlight, "asset-catalog-already-exists.append-option.highlight") \
    X(assetCatalogAlreadyExistsNewOptionHighlight, "asset-catalog-already-exists.new-option.highlight") \
    X(assetCatalogAlreadyExistsOverwriteOptionHighlight, "asset-catalog-already-exists.overwrite-option.highlight") \
    X(addImageAlertMessageText, "add-image.alert.message-Text") \
    X(mainButtonTitleCreateCatalog, "main.button.title.create-catalog") \
    X(mainButtonTitleOutputDirectory, "main.button.title.output-directory") \
    X(mainButtonTitleUpdateCatalog, "main.button.title.update-catalog") \
    X(iconEffectPadding, "icon-effect.padding") \
    X(iconEffectPaddingTooltip, "icon-effect.padding.tooltip") \
    X(iconEffectRoundCorners, "icon-effect.round-corners") \
    X(iconEffectRoundCornersTooltip, "icon-effect.round-corners.tooltip") \
    X(iconEffectShadow, "icon-effect.shadow") \
    X(iconEffectShadowTooltip, "icon-effect.shadow.tooltip") \
    X(openPanelOpenImagePrompt, "open-panel.open-image.prompt") \
    X(openPanelOpenImageTitle, "open-panel.open-image.title") \
    X(openPanelOpenRootPrompt, "open-panel.open-root.prompt") \
    X(openPanelOpenRootTitle, "open-panel.open-root.title") \
    X(openPanelSelectDestinationPrompt, "open-panel.select-destination.prompt") \
    X(openPanelSelectDestinationTitle, "open-panel.select-destination.title") \
    X(destinationOpenPanelAccessoryViewScanButtonTitle, "destination-open-panel.accessory-view.scanButtonTitle") \
    X(menuPreviousFileLocationsClear, "menu.previous-file-locations.clear") \
    X(notificationCatalogCreatedActionButtonTitle, "notification.catalog-created.action-button-title") \
    X(notificationCatalogCreatedTitleCreated, "notification.catalog-created.title.created") \
    X(notificationCatalogCreatedTitleUpdated, "notification.catalog-created.title.updated") \
    X(touchBarButtonTitleOpenImages, "touch-bar.button-title.open-images") \
    X(touchBarButtonTitleSelectAll, "touch-bar.button-title.select-all") \
    X(touchBarLayerEditingViewButtonTitleHeight, "touch-bar.layer-editing-view.button-title.height") \
    X(touchBarLayerEditingViewButtonTitleWidth, "touch-bar.layer-editing-view.button-title.width") \
    X(touchBarLayerEditingViewButtonTitleX, "touch-bar.layer-editing-view.button-title.x") \
    X(touchBarLayerEditingViewButtonTitleY, "touch-bar.layer-editing-view.button-title.y") \
    X(versionCheckAlertInformativeText, "version-check.alert.informative-text") \
    X(genericOk, "generic.ok") \

#define GW_DEFINE_CONSTANT(name, key)          \
    const std::string& name() {                \
        static const std::string value = text(key); \
        return value;                          \
    }

GW_LOCALIZED_CONSTANTS(GW_DEFINE_CONSTANT)

#undef GW_DEFINE_CONSTANT
#undef GW_LOCALIZED_CONSTANTS

}  // namespace gw::LocalizedString
