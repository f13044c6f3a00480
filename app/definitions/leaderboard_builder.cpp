#include "app/definitions/leaderboard_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"

#include "app/definitions/contents_preserving_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/image_stack_folders.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/engine/contracts/folder_definition_validating.hpp"
#include "app/foundation/image_categories.hpp"
#include "app/foundation/layer_frame.hpp"
#include "platform/dispatch/dispatch_queue.hpp"
#include "platform/foundation/error.hpp"

#include <cmath>

namespace gw {

namespace pf = platform::foundation;
using platform::graphics::Size;

namespace {

constexpr std::string_view kSourceFile = "FolderDefinitionBuildertvOSLeaderboard";

const std::shared_ptr<LayerFrame>& frameOf(const ImageInput& picture, bool isLeaderboard) {
    return isLeaderboard ? picture.tvOSLeaderboardLayerFrame() : picture.tvOSAppIconlayerFrame();
}

void setFrame(ImageInput& picture, bool isLeaderboard, std::shared_ptr<LayerFrame> frame) {
    if (isLeaderboard) {
        picture.setTvOSLeaderboardLayerFrame(std::move(frame));
    } else {
        picture.setTvOSAppIconlayerFrame(std::move(frame));
    }
}

Size canvas(bool isLeaderboard) { return isLeaderboard ? kTvOSLeaderboardCanvasSize : kTvOSAppIconCanvasSize; }

Size pixelSizeOf(const ImageInput& picture) {
    const auto image = picture.image();
    return image ? pixelSize(*image) : Size{};
}

}  // namespace

bool layerFramesFillCanvas(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs) {
    if (imageInputs.empty()) return false;
    const auto size = canvas(isLeaderboard);
    const auto& back = frameOf(*imageInputs.back(), isLeaderboard);
    if (!back || !back->isLocked() || back->width() != size.width || back->height() != size.height) return false;
    for (auto it = imageInputs.rbegin() + 1; it != imageInputs.rend(); ++it) {
        const auto& frame = frameOf(**it, isLeaderboard);
        if (!frame || frame->isLocked()) return false;
    }
    return true;
}

void makeDefaultLayerFrames(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs) {
    if (imageInputs.empty()) return;
    const auto size = canvas(isLeaderboard);
    auto backFrame = std::make_shared<LayerFrame>(size);
    const double backWidth = backFrame->width();
    const double backHeight = backFrame->height();
    setFrame(*imageInputs.back(), isLeaderboard, std::move(backFrame));

    // Canvas points per pixel of the back picture. A back picture without pixels has
    // no such factor; the others then keep their pixel sizes as points.
    double pointsPerPixel = size.width / pixelSizeOf(*imageInputs.back()).width;
    if (!std::isfinite(pointsPerPixel)) pointsPerPixel = 1.0;

    for (auto it = imageInputs.rbegin() + 1; it != imageInputs.rend(); ++it) {
        auto& picture = **it;
        const auto& frame = frameOf(picture, isLeaderboard);
        if (frame && !frame->isLocked()) continue;
        const auto pixels = pixelSizeOf(picture);
        const double fullWidth = pointsPerPixel * pixels.width;
        const double fullHeight = pointsPerPixel * pixels.height;
        double width = fullWidth;
        double height = fullHeight;
        if (width > backWidth) {
            height = backWidth / (width / height);
            width = backWidth;
        }
        if (height > backHeight) {
            width = backHeight * fullWidth / fullHeight;
            height = backHeight;
        }
        setFrame(picture, isLeaderboard, std::make_shared<LayerFrame>(Size{width, height}, size));
    }
}

void ensureLayerFramesFillCanvas(bool isLeaderboard, const std::vector<ImageInputPtr>& imageInputs) {
    auto work = [&] {
        if (!layerFramesFillCanvas(isLeaderboard, imageInputs)) makeDefaultLayerFrames(isLeaderboard, imageInputs);
    };
    if (platform::dispatch::MainLoop::isMainThread()) {
        work();
    } else {
        platform::dispatch::DispatchQueue::main().sync(work);
    }
}

std::string leaderboardIdentifier(std::string_view folderName) {
    return std::string(folderName.substr(0, folderName.find('.')));
}

FolderDefinition FolderDefinitionBuildertvOSLeaderboard::build() {
    const auto group = ConfigFile().assetManifest(ConfigFile::AssetManifestType::tvOSLeaderboard);
    if (group.folderDefinitions.empty() || group.folderDefinitions.front().folderDefinitions.empty()) {
        pf::fatalError("Incomplete config", kSourceFile);
    }
    const auto& leaderboard = group.folderDefinitions.front();
    const auto& stackEntry = leaderboard.folderDefinitions.front();

    const auto catalogURL = validatedCatalogURL();
    const auto groupURL = validatedURL(catalogURL.appendingPathComponent(group.fileName, true), WritingIntentKind::append);
    const auto leaderboardURL =
        validatedURL(groupURL.appendingPathComponent(leaderboard.fileName, true), WritingIntentKind::asset);
    const auto stackURL =
        validatedURL(leaderboardURL.appendingPathComponent(stackEntry.fileName, true), WritingIntentKind::asset);

    TopLevelFolderDefinitionBuilder topLevel(catalogURL);
    EmptyFolderBuilder groupBuilder(groupURL);
    EmptyFolderBuilder leaderboardBuilder(leaderboardURL);
    leaderboardBuilder.properties = {{"identifier", pf::Value(leaderboardIdentifier(leaderboardURL.lastPathComponent()))}};

    auto stack = std::make_shared<LayersFolderBuilder>(stackURL);
    stack->setMetaData(stackEntry.metaData.value_or(pf::Dictionary{}));
    stack->properties = stackEntry.properties.value_or(pf::Dictionary{});
    const auto canvasSize = ConfigFile::canvasSize(stackEntry.properties);
    if (canvasSize.width <= 0 || canvasSize.height <= 0) pf::fatalError("Missing components", kSourceFile);
    stack->canvasSize = canvasSize;

    const auto& pictures = imageInputCollection_.imageInputs;
    ensureLayerFramesFillCanvas(true, pictures);

    const double scale = canvasSize.width / kTvOSLeaderboardCanvasSize.width;
    for (const auto& picture : pictures) {
        addLayer(*stack, picture,
                 {.canvas = LayerCanvas::leaderboard,
                  .scale = scale,
                  .isBackLayer = picture == pictures.back(),
                  .hasRetinaPicture = true,
                  .sourceFile = kSourceFile},
                 imageInputCollection_, *fileWritingIntentFactory_);
    }

    leaderboardBuilder.subMetaDataDefinitionPairs = {
        std::make_shared<MetaDataDefinitionPair>(pf::Dictionary{}, stack->definition())};
    groupBuilder.subMetaDataDefinitionPairs = {
        std::make_shared<MetaDataDefinitionPair>(pf::Dictionary{}, leaderboardBuilder.definition())};
    // The group is shared with the dashboard: keep what its Contents.json already holds.
    auto groupDefinition = groupBuilder.folderDefinition();
    keepExistingGroupContents(groupDefinition);
    topLevel.subfolderDefinitions = {std::move(groupDefinition)};
    return topLevel.folderDefinition();
}

ConversionWarnings FolderDefinitionBuildertvOSLeaderboard::validate() {
    return validateBuild(*this, {ValidatorOption::includeImageName});
}

}  // namespace gw
