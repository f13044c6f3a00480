#include "app/definitions/image_stack_folders.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/assets_folder_builder.hpp"
#include "app/definitions/contents_preserving_builder.hpp"
#include "app/foundation/layer_frame.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>

#include <set>
#include <string>

namespace gw {

namespace pf = platform::foundation;

pf::Dictionary LayersFolderBuilder::contentsDictionary() const {
    if (preservesExistingContents && subMetaDataDefinitionPairs.empty()) {
        if (auto existing = existingContents(outputDirectory)) {
            if (const auto* dictionary = existing->asDictionary()) return *dictionary;
        }
    }
    pf::Array layers;
    for (const auto& child : subMetaDataDefinitionPairs) layers.emplace_back(child->metaData());
    pf::Dictionary listing{{"layers", pf::Value(std::move(layers))}};
    deepMerge(listing, contentsInfoBlock());
    pf::Dictionary contents{{"properties", pf::Value(properties)}};
    deepMerge(contents, listing);
    return contents;
}

FolderDefinition LayersFolderBuilder::folderDefinition() const {
    return FolderDefinition{outputDirectory, contentsDictionary(), {},
                            folderChildrenDefinitions(subMetaDataDefinitionPairs)};
}

namespace {

constexpr std::string_view kLayerExtension = "imagestacklayer";
constexpr std::string_view kLayerImageSetName = "Content.imageset";

// The layer folder's name: the picture's name, numbered when a layer of the stack
// already uses it (two pictures called "Image" would otherwise write one folder).
std::string layerFolderName(const LayersFolderBuilder& stack, const std::string& imageName) {
    std::set<std::string> taken;
    for (const auto& child : stack.subMetaDataDefinitionPairs) {
        const pf::Value entry(child->metaData());
        if (const auto* name = entry["filename"].asString()) taken.insert(*name);
    }
    auto name = fmt::format("{}.{}", imageName, kLayerExtension);
    for (int number = 2; taken.contains(name); ++number) {
        name = fmt::format("{} {}.{}", imageName, number, kLayerExtension);
    }
    return name;
}

std::string layerFileName(const std::string& imageName, int scale) {
    return scale == 1 ? fmt::format("{}.png", imageName) : fmt::format("{}@{}x.png", imageName, scale);
}

}  // namespace

void addLayer(LayersFolderBuilder& stack, const ImageInputPtr& picture, const LayerRequest& request,
              const ImageInputCollection& collection, FileWritingIntentFactory& factory) {
    auto validated = [&](const pf::URL& url) {
        return factory.validatedURL(url, WritingIntentKind::overwrite,
                                    {FileWritingIntent::Options::imageInput(collection.imageInput())});
    };

    const auto layerURL =
        validated(stack.outputDirectory.appendingPathComponent(layerFolderName(stack, picture->imageName()), true));

    const auto& frame = request.canvas == LayerCanvas::appIcon ? picture->tvOSAppIconlayerFrame()
                                                               : picture->tvOSLeaderboardLayerFrame();
    if (!frame) pf::fatalError("Missing components", request.sourceFile);
    const auto scaled = frame->scaled(request.scale);

    auto layer = std::make_shared<EmptyFolderBuilder>(layerURL);
    layer->setMetaData({{"filename", pf::Value(layerURL.lastPathComponent())}});
    layer->properties = {
        {"frame-size", pf::Value::dict({{"width", scaled.width}, {"height", scaled.height}})},
        {"frame-center", pf::Value::dict({{"x", scaled.centerX}, {"y", scaled.centerY}})},
    };

    const auto imageSetURL = validated(layerURL.appendingPathComponent(kLayerImageSetName, true));
    auto imageSet = std::make_shared<ImageFolderBuilder>(imageSetURL);
    for (const int scale : {1, 2}) {
        pf::Dictionary entry{{"idiom", pf::Value("tv")}, {"scale", pf::Value(fmt::format("{}x", scale))}};
        if (scale == 2 && !request.hasRetinaPicture) {
            imageSet->subMetaDataAndDefinitionProviders.push_back(std::make_shared<MetaDataDefinitionPair>(entry));
            continue;
        }
        const auto fileName = layerFileName(picture->imageName(), scale);
        entry["filename"] = pf::Value(fileName);
        ImageDefinition image;
        image.imageInput = picture;
        image.outputDirectory = imageSetURL.appendingPathComponent(fileName, false);
        image.size = {scaled.width * scale, scaled.height * scale};
        image.scaleType = ScaleType::stretch;
        image.zoom = 1.0f;
        image.backgroundColour = platform::graphics::Color::clear();
        image.isAlphaChannelRemoved = request.isBackLayer;
        image.format = ImageDefinition::Format::png;
        image.roundCorners = false;
        image.addShadow = false;
        imageSet->subMetaDataAndDefinitionProviders.push_back(
            std::make_shared<MetaDataDefinitionPair>(std::move(entry), Definition(std::move(image))));
    }

    layer->subMetaDataDefinitionPairs = {imageSet};
    stack.subMetaDataDefinitionPairs.push_back(std::move(layer));
}

}  // namespace gw
