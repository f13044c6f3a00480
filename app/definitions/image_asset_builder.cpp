#include "app/definitions/image_asset_builder.hpp"

#include "app/definitions/appending_image_folder_builder.hpp"
#include "app/definitions/assets_folder_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/manifest_builders.hpp"
#include "app/definitions/user_setting.hpp"
#include "app/engine/contracts/folder_definition_validating.hpp"
#include "app/foundation/file_categories.hpp"
#include "app/foundation/image_categories.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>

#include <vector>

namespace gw {

namespace pf = platform::foundation;
namespace pg = platform::graphics;

namespace {

// The watch screens an image set tells apart, in the order they are listed.
const std::vector<pf::Dictionary>& watchPNGVariants() {
    static const std::vector<pf::Dictionary> variants{
        {},
        {{"screenWidth", pf::Value("<=145")}},
        {{"screenWidth", pf::Value(">161")}},
        {{"screenWidth", pf::Value(">145")}},
        {{"screenWidth", pf::Value(">183")}},
    };
    return variants;
}

const std::vector<pf::Dictionary>& watchPDFVariants() {
    static const std::vector<pf::Dictionary> variants{
        {},
        {{"screenWidth", pf::Value("<=145")}},
        {{"screenWidth", pf::Value(">145")}},
    };
    return variants;
}

std::vector<int> pngScales(DeviceType deviceType) {
    switch (deviceType) {
    case DeviceType::universal:
    case DeviceType::iphone: return {1, 2, 3};
    case DeviceType::ipad:
    case DeviceType::mac:
    case DeviceType::tv: return {1, 2};
    case DeviceType::watch: return {2};
    }
    pf::fatalError("Unknown DeviceType", "FolderDefinitionBuilderAsset");
}

ImageDefinition assetImage(const ImageInputPtr& picture, pf::URL file, pg::Size size, ImageDefinition::Format format) {
    ImageDefinition image;
    image.imageInput = picture;
    image.outputDirectory = std::move(file);
    image.size = size;
    image.scaleType = ScaleType::stretch;
    image.zoom = static_cast<float>(1.0 - picture->padding());
    image.backgroundColour = pg::Color::clear();
    image.isAlphaChannelRemoved = false;
    image.format = format;
    image.roundCorners = false;
    image.addShadow = false;
    return image;
}

MetaDataAndDefinitionProviderPtr entry(pf::Dictionary metaData, const pf::Dictionary& extra, ImageDefinition image) {
    deepMerge(metaData, extra);
    return std::make_shared<MetaDataDefinitionPair>(std::move(metaData), Definition(std::move(image)));
}

}  // namespace

FolderDefinitionBuilderAsset::FolderDefinitionBuilderAsset(ImageInputCollection imageInputCollection,
                                                           pf::URL outputDirectory,
                                                           FileWritingIntentFactoryPtr fileWritingIntentFactory,
                                                           SubfolderLookup subfolderLookup)
    : TypeBuilderBase(std::move(imageInputCollection), std::move(outputDirectory), std::move(fileWritingIntentFactory)),
      subfolderLookup_(subfolderLookup ? std::move(subfolderLookup) : SubfolderLookup(&subfolderWithName)) {}

MetaDataAndDefinitionProviders FolderDefinitionBuilderAsset::entries(const ImageInputPtr& picture,
                                                                     const pf::URL& imageSetURL, bool pdf) {
    auto deviceTypes = picture->deviceTypes();
    if (deviceTypes.empty()) deviceTypes = {DeviceType::universal};
    const auto& name = picture->imageName();

    MetaDataAndDefinitionProviders list;
    // The device types are a set; they are visited in raw-value order.
    for (const auto deviceType : deviceTypes) {
        const std::string idiomName(idiom(deviceType));
        if (pdf) {
            const auto fileName = fmt::format("{}~{}.pdf", name, idiomName);
            const pf::Dictionary metaData{{"idiom", pf::Value(idiomName)}, {"filename", pf::Value(fileName)}};
            const auto image = assetImage(picture, imageSetURL.appendingPathComponent(fileName, false),
                                          picture->selectedPointSize(), ImageDefinition::Format::pdf);
            if (deviceType == DeviceType::watch) {
                for (const auto& extra : watchPDFVariants()) list.push_back(entry(metaData, extra, image));
            } else {
                list.push_back(entry(metaData, {}, image));
            }
            continue;
        }
        for (const int scale : pngScales(deviceType)) {
            const auto fileName = fmt::format("{}~{}@{}x.png", name, idiomName, scale);
            const pf::Dictionary metaData{{"idiom", pf::Value(idiomName)},
                                          {"filename", pf::Value(fileName)},
                                          {"scale", pf::Value(fmt::format("{}x", scale))}};
            const pg::Size pixels{picture->assetPointWidth() * scale, picture->assetPointHeight() * scale};
            const auto image = assetImage(picture, imageSetURL.appendingPathComponent(fileName, false), pixels,
                                          ImageDefinition::Format::png);
            if (deviceType == DeviceType::watch) {
                for (const auto& extra : watchPNGVariants()) list.push_back(entry(metaData, extra, image));
            } else {
                list.push_back(entry(metaData, {}, image));
            }
        }
    }
    return list;
}

FolderDefinition FolderDefinitionBuilderAsset::build() {
    const auto picture = imageInputCollection_.imageInput();

    auto catalogURL = outputDirectory_.appendingPathComponent(kAssetCatalogFolderName, true);
    catalogURL = fileWritingIntentFactory_->validatedURL(catalogURL, WritingIntentKind::catalog,
                                                         {FileWritingIntent::Options::imageInput(picture)});
    TopLevelFolderDefinitionBuilder topLevel(catalogURL);

    const auto folderName = picture->imageName() + ".imageset";
    // An image set of this name anywhere in the catalog is the one to update; the
    // user is asked about it, since a stored "append" answer is meant for new folders.
    std::shared_ptr<FileWritingIntent> intent;
    if (auto found = subfolderLookup_(folderName, catalogURL)) {
        intent = fileWritingIntentFactory_->make(*found, WritingIntentKind::asset,
                                                 {FileWritingIntent::Options::imageInput(picture)});
    } else {
        intent = fileWritingIntentFactory_->make(
            catalogURL.appendingPathComponent(folderName, true), WritingIntentKind::asset,
            {FileWritingIntent::Options::imageInput(picture), FileWritingIntent::Options::appendable()});
    }
    intent->validatedURL();

    const auto image = picture->image();
    const bool vector = image && pdfImageRep(*image);
    const bool pdf = vector && boolSetting(UserDefaultsKey::retainPDFFormat);

    const auto& result = intent->validationResult();
    if (!result) pf::fatalError("", "FolderDefinitionBuilderAsset");
    const auto children = entries(picture, result->url(), pdf);

    FolderDefinition imageSet;
    if (result->isAppendable()) {
        imageSet = AppendingImageFolderBuilder(result->url(), children, {}).folderDefinition();
    } else {
        ImageFolderBuilder builder(result->url());
        builder.subMetaDataAndDefinitionProviders = children;
        imageSet = builder.folderDefinition();
    }
    topLevel.subfolderDefinitions = {std::move(imageSet)};
    return topLevel.folderDefinition();
}

ConversionWarnings FolderDefinitionBuilderAsset::validate() {
    ValidatorOptions options;
    if (imageInputCollection_.collectionType == CollectionType::batch)
        options.insert(ValidatorOption::includeImageName);
    return validateBuild(*this, options);
}

}  // namespace gw
