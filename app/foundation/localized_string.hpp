#pragma once
// Every user-visible text of the application, looked up by key in the bundle's
// "Localizable" strings table and formatted for the current locale. Texts without
// arguments are looked up on first use and kept for the life of the process; texts
// with arguments are looked up and formatted on every call.
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

namespace gw::LocalizedString {

// Turns an argument of any kind into its textual description: text as it is, a
// value's description() where it has one, otherwise its {fmt} form.
template <class T>
std::string describe(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (requires { { value.description() } -> std::convertible_to<std::string>; }) {
        return value.description();
    } else {
        return fmt::format("{}", value);
    }
}

// The lookups behind every member. A key missing from the table gives the key. Text
// arguments are shown with their control characters and broken bytes escaped
// (platform::foundation::escapedForDisplay), whatever they hold.
std::string text(std::string_view key);
// Reads the table now, at the start of the process: a first lookup made later could find
// every descriptor taken by a renderer being started beside it. Throws what reading threw.
void load();
std::string text(std::string_view key, std::string_view argument);
std::string text(std::string_view key, std::string_view first, std::string_view second);
std::string text(std::string_view key, std::initializer_list<std::string_view> arguments);
// One argument of several lines: each escaped as above, one under the other.
std::string text(std::string_view key, const std::vector<std::string>& lines);
std::string text(std::string_view key, std::int64_t count);
// Two single-precision numbers, formatted as doubles.
std::string text(std::string_view key, float first, float second);

// Output-type display names.
const std::string& resizeTypeDisplayNameAssets();
const std::string& resizeTypeDisplayNameCatalyst();
const std::string& resizeTypeDisplayNameComplicationIcons();
const std::string& resizeTypeDisplayNameIMessageIcons();
const std::string& resizeTypeDisplayNameIOSIcons();
const std::string& resizeTypeDisplayNameIOSSplash();
const std::string& resizeTypeDisplayNameOsxIcons();
const std::string& resizeTypeDisplayNameTvOSGameCenterDashboard();
const std::string& resizeTypeDisplayNameTvOSIcon();
const std::string& resizeTypeDisplayNameTvOSLeaderboard();
const std::string& resizeTypeDisplayNameTvOSSplash();
const std::string& resizeTypeDisplayNameTvOSTopShelf();
const std::string& resizeTypeDisplayNameTvOSTopShelfWide();
const std::string& resizeTypeDisplayNameWatchIcons();

// Platform display names.
const std::string& platformDisplayNameIOS();
const std::string& platformDisplayNameMacOS();
const std::string& platformDisplayNameTvOS();
const std::string& platformDisplayNameTvOSGameCenter();
const std::string& platformDisplayNameUniversal();
const std::string& platformDisplayNameWatchOS();

// Errors of the image operations.
const std::string& errorDescriptionFailedDrawingZoomedImage();
const std::string& errorDescriptionFailedReplacingTransparentPixels();
const std::string& errorDescriptionFailedToRemoveAlphaChannel();
const std::string& errorDescriptionFailedToReplaceColorSpace();
const std::string& errorDescriptionFailedToResizeImage();
const std::string& errorDescriptionFoundSizeZero();
const std::string& errorDescriptionUnableToGetPNGRepresentationFromFinalImage();
const std::string& errorDescriptionZoomFactorIsZero();
const std::string& errorRecoveryFailedToRemoveAlphaChannel();

// Errors of a conversion request.
const std::string& errorDescriptionBatchModeNotSupported();
const std::string& errorDescriptionMinimumImageCountNotMet();
const std::string& errorDescriptionMissingImageInputs();
const std::string& errorDescriptionMissingOutputDirectory();
const std::string& errorDescriptionMissingResizeType();
const std::string& errorDescriptionSingleImageModeNotSupported();
const std::string& errorDescriptionVariantsImageModeNotSupported();

// Error of the output choice.
const std::string& errorDescriptionInsideAssetCatalogDirectory();

// Conversion warnings.
const std::string& errorWarningDescriptionTransparentBackground();
const std::string& errorWarningDescriptionVariantsImageModeRecommended();

// Asset-exists and catalog-exists dialogs: the bold part of each option title.
const std::string& assetAlreadyExistsAppendOptionHighlight();
const std::string& assetAlreadyExistsNewOptionHighlight();
const std::string& assetAlreadyExistsOverwriteOptionHighlight();
const std::string& assetCatalogAlreadyExistsAppendOptionHighlight();
const std::string& assetCatalogAlreadyExistsNewOptionHighlight();
const std::string& assetCatalogAlreadyExistsOverwriteOptionHighlight();

// Add-image alert.
const std::string& addImageAlertMessageText();

// Main window.
const std::string& mainButtonTitleCreateCatalog();
const std::string& mainButtonTitleOutputDirectory();
const std::string& mainButtonTitleUpdateCatalog();

// Icon effects.
const std::string& iconEffectPadding();
const std::string& iconEffectPaddingTooltip();
const std::string& iconEffectRoundCorners();
const std::string& iconEffectRoundCornersTooltip();
const std::string& iconEffectShadow();
const std::string& iconEffectShadowTooltip();

// Open panels.
const std::string& openPanelOpenImagePrompt();
const std::string& openPanelOpenImageTitle();
const std::string& openPanelOpenRootPrompt();
const std::string& openPanelOpenRootTitle();
const std::string& openPanelSelectDestinationPrompt();
const std::string& openPanelSelectDestinationTitle();
const std::string& destinationOpenPanelAccessoryViewScanButtonTitle();

// Recent output folders.
const std::string& menuPreviousFileLocationsClear();

// Catalog notification.
const std::string& notificationCatalogCreatedActionButtonTitle();
const std::string& notificationCatalogCreatedTitleCreated();
const std::string& notificationCatalogCreatedTitleUpdated();

// Touch Bar.
const std::string& touchBarButtonTitleOpenImages();
const std::string& touchBarButtonTitleSelectAll();
const std::string& touchBarLayerEditingViewButtonTitleHeight();
const std::string& touchBarLayerEditingViewButtonTitleWidth();
const std::string& touchBarLayerEditingViewButtonTitleX();
const std::string& touchBarLayerEditingViewButtonTitleY();

// Version check.
const std::string& versionCheckAlertInformativeText();
const std::string& genericOk();

// Texts with arguments; an argument of any kind is shown by its description.
template <class A, class B>
std::string assetAlreadyExistsDetailText(const A& folderPath, const B& folderName) {
    return text("asset-already-exists.detail-text", describe(folderPath), describe(folderName));
}
template <class A>
std::string assetAlreadyExistsNewOption(const A& name) {
    return text("asset-already-exists.new-option", describe(name));
}
template <class A>
std::string assetAlreadyExistsOverwriteOption(const A& name) {
    return text("asset-already-exists.overwrite-option", describe(name));
}
template <class A>
std::string assetAlreadyExistsAppendOption(const A& name) {
    return text("asset-already-exists.append-option", describe(name));
}
template <class A>
std::string assetCatalogAlreadyExistsDetailText(const A& catalogPath) {
    return text("asset-catalog-already-exists.detail-text", describe(catalogPath));
}
template <class A>
std::string assetCatalogAlreadyExistsAppendOption(const A& name) {
    return text("asset-catalog-already-exists.append-option", describe(name));
}
template <class A>
std::string assetCatalogAlreadyExistsNewOption(const A& name) {
    return text("asset-catalog-already-exists.new-option", describe(name));
}
template <class A>
std::string assetCatalogAlreadyExistsOverwriteOption(const A& name) {
    return text("asset-catalog-already-exists.overwrite-option", describe(name));
}
// The number of further warnings.
inline std::string errorWarningConcatenationFormat(std::int64_t count) {
    return text("error.warning.concatenation.format", count);
}
// The required width and height.
inline std::string errorWarningDescriptionImageTooSmall(float width, float height) {
    return text("error.warning.description.imageTooSmall", width, height);
}
// The required aspect ratio as text.
template <class A>
std::string errorWarningDescriptionAspectRatioMismatched(const A& ratio) {
    return text("error.warning.description.aspectRatioMismatched", describe(ratio));
}
// The path of the file that could not be added.
template <class A>
std::string addImageAlertInformativeText(const A& path) {
    return text("add-image.alert.informative-Text", describe(path));
}
// The newer version's display string.
template <class A>
std::string versionCheckAlertMessageText(const A& version) {
    return text("version-check.alert.message-text", describe(version));
}
// The output-type menu item: the platform's display name and the type's display name.
template <class A, class B>
std::string mainPopupbuttonOutputtypeTitle(const A& platformName, const B& typeName) {
    return text("main.popupbutton.outputtype.title", describe(platformName), describe(typeName));
}

}  // namespace gw::LocalizedString
