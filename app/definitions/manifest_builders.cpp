#include "app/definitions/manifest_builders.hpp"

#include "platform/foundation/error.hpp"

namespace gw {

namespace pf = platform::foundation;
namespace pg = platform::graphics;
using CollectionError = ImageInputCollection::ImageInputCollectionError;

pg::Color ImageSettings::BackgoundColorSetting::resolvedColour(const ImageInput& imageInput) const {
    switch (case_) {
    case Case::fixed: return colour_.value_or(pg::Color::clear());
    case Case::useCornerPixelColor: {
        auto wrapper = imageInput.imageWrapper();
        auto corner = wrapper ? wrapper->cornerPixelColor() : std::nullopt;
        return corner.value_or(pg::Color::clear());
    }
    case Case::useBackgroundColor: return imageInput.backgroundColour().value_or(pg::Color::clear());
    case Case::transparent: return pg::Color::clear();
    case Case::userPreference: break;
    }
    pf::fatalError("The background colour setting must be resolved before a picture is planned",
                   "ImageDefinitionBuilder");
}

FolderDefinition TopLevelFolderDefinitionBuilder::folderDefinition() const {
    return FolderDefinition{outputDirectory, contentsInfoBlock(), {}, subfolderDefinitions};
}

void FromConfigBuilder::configureImageDefinitionBuilders(const ImageInputCollection& imageInputCollection,
                                                         const ImageSettings& imageSettings,
                                                         const pf::URL& outputDirectory) {
    const auto& images = configFolderDefinition().imageDefinitions;
    const auto& pictures = imageInputCollection.imageInputs;
    setOutputDirectory(outputDirectory);
    MetaDataAndDefinitionProviders children;
    for (const auto& image : images) {
        if (pictures.empty()) throw CollectionError(CollectionError::Case::empty);
        ImageInputPtr picture;
        switch (imageInputCollection.collectionType) {
        case CollectionType::single: picture = pictures.front(); break;
        case CollectionType::variants:
            picture = pictures.size() == 1 ? pictures.front() : bestImageInput(pictures, image.size);
            break;
        case CollectionType::batch:
            if (pictures.size() > 1) throw CollectionError(CollectionError::Case::tooMany);
            picture = pictures.front();
            break;
        }
        children.push_back(std::make_shared<ImageDefinitionBuilder>(picture, image, outputDirectory, imageSettings));
    }
    // Only a complete list replaces the old children.
    setSubMetaDataAndDefinitionProviders(std::move(children));
}

std::optional<ImageDefinition> ImageDefinitionBuilder::imageDefinition() const {
    if (!imageInput) return std::nullopt;
    return ImageDefinition{
        imageInput,
        parentDirectory.appendingPathComponent(configDefinition.fileName, false),
        configDefinition.size,
        imageSettings.scaleType,
        imageSettings.zoom,
        imageSettings.backgroundColorSetting.resolvedColour(*imageInput),
        imageSettings.isAlphaChannelRemoved,
        imageSettings.format,
        imageSettings.roundCorners,
        imageSettings.addShadow,
    };
}

std::optional<Definition> ImageDefinitionBuilder::definition() const {
    auto image = imageDefinition();
    if (!image) return std::nullopt;
    return Definition(std::move(*image));
}

pf::Dictionary ImageDefinitionBuilder::metaData() const {
    if (!imageInput) return configDefinition.metaData;
    pf::Dictionary entry{{"filename", pf::Value(configDefinition.fileName)}};
    deepMerge(entry, configDefinition.metaData);
    return entry;
}

ImageFolderFromConfigBuilder::ImageFolderFromConfigBuilder(pf::URL outputDirectory,
                                                           ConfigFile::ConfigFolderDefinition configFolderDefinition)
    : outputDirectory_(std::move(outputDirectory)),
      config_(std::move(configFolderDefinition)),
      metaData_(config_.metaData.value_or(pf::Dictionary{})) {
    for (const auto& image : config_.imageDefinitions) {
        children_.push_back(std::make_shared<MetaDataDefinitionPair>(image.metaData));
    }
}

FolderDefinition ImageFolderFromConfigBuilder::folderDefinition() const {
    pf::Array entries;
    std::vector<ImageDefinition> images;
    for (const auto& child : children_) {
        entries.emplace_back(child->metaData());
        if (auto definition = child->definition()) {
            if (auto* image = std::get_if<ImageDefinition>(&*definition)) images.push_back(std::move(*image));
        }
    }
    pf::Dictionary contents{{"images", pf::Value(std::move(entries))}};
    deepMerge(contents, contentsInfoBlock());
    return FolderDefinition{outputDirectory_, std::move(contents), std::move(images), {}};
}

}  // namespace gw
