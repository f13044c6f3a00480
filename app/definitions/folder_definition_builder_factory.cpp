#include "app/definitions/folder_definition_builder_factory.hpp"

#include "app/definitions/catalyst_icon_builder.hpp"
#include "app/definitions/complication_builder.hpp"
#include "app/definitions/folder_definition_builder_ios_icon.hpp"
#include "app/definitions/game_center_dashboard_builder.hpp"
#include "app/definitions/image_asset_builder.hpp"
#include "app/definitions/imessage_icon_builder.hpp"
#include "app/definitions/ios_splash_builder.hpp"
#include "app/definitions/leaderboard_builder.hpp"
#include "app/definitions/macos_icon_builder.hpp"
#include "app/definitions/top_shelf_builders.hpp"
#include "app/definitions/tvos_icon_builder.hpp"
#include "app/definitions/tvos_splash_builder.hpp"
#include "app/definitions/watch_icon_builder.hpp"
#include "app/foundation/localized_string.hpp"
#include "platform/foundation/error.hpp"

#include <fmt/format.h>

namespace gw {

namespace pf = platform::foundation;
using Factory = FolderDefinitionBuilderFactory;
using FactoryError = FolderDefinitionBuilderFactory::FolderDefinitionBuilderFactoryError;

namespace {

const std::string& describe(FactoryError::Case errorCase) {
    using C = FactoryError::Case;
    namespace L = LocalizedString;
    switch (errorCase) {
    case C::missingImageInputs: return L::errorDescriptionMissingImageInputs();
    case C::missingOutputDirectory: return L::errorDescriptionMissingOutputDirectory();
    case C::missingResizeType: return L::errorDescriptionMissingResizeType();
    case C::minimumImageCountNotMet: return L::errorDescriptionMinimumImageCountNotMet();
    case C::batchModeNotSupported: return L::errorDescriptionBatchModeNotSupported();
    case C::singleImageModeNotSupported: return L::errorDescriptionSingleImageModeNotSupported();
    case C::variantsImageModeNotSupported: return L::errorDescriptionVariantsImageModeNotSupported();
    }
    pf::fatalError("Unknown FolderDefinitionBuilderFactoryError", "FolderDefinitionBuilderFactory");
}

}  // namespace

FactoryError::FolderDefinitionBuilderFactoryError(Case errorCase)
    : std::runtime_error(describe(errorCase)), case_(errorCase) {}

const std::string& FactoryError::localizedDescription() const { return describe(case_); }

std::string_view FactoryError::descriptionKey(Case errorCase) {
    using C = Case;
    switch (errorCase) {
    case C::missingImageInputs: return "error.description.missingImageInputs";
    case C::missingOutputDirectory: return "error.description.missingOutputDirectory";
    case C::missingResizeType: return "error.description.missingResizeType";
    case C::minimumImageCountNotMet: return "error.description.minimumImageCountNotMet";
    case C::batchModeNotSupported: return "error.description.batchModeNotSupported";
    case C::singleImageModeNotSupported: return "error.description.singleImageModeNotSupported";
    case C::variantsImageModeNotSupported: return "error.description.variantsImageModeNotSupported";
    }
    pf::fatalError("Unknown FolderDefinitionBuilderFactoryError", "FolderDefinitionBuilderFactory");
}

std::set<CollectionType> Factory::supportedCollectionTypes(ConversionOutputType outputType) {
    using T = ConversionOutputType;
    switch (outputType) {
    case T::asset: return {CollectionType::single, CollectionType::variants, CollectionType::batch};
    case T::tvOSIcon:
    case T::tvOSLeaderboard: return {CollectionType::variants};
    case T::iOSIcon:
    case T::macOSIcon:
    case T::iOSSplash:
    case T::watchIcon:
    case T::complicationIcon:
    case T::iMessageIcon:
    case T::tvOSSplash:
    case T::tvOSTopShelf:
    case T::tvOSTopShelfWide:
    case T::tvOSGameCenterDashboard:
    case T::catalyst: return {CollectionType::single, CollectionType::variants};
    }
    pf::fatalError(fmt::format("Unknown ConversionOutputType {}", static_cast<std::int64_t>(outputType)),
                   "FolderDefinitionBuilderFactory");
}

std::vector<FolderDefinitionBuilderPtr> Factory::makeBuilders(const std::vector<ImageInputPtr>& imageInputs,
                                                              const std::vector<ImageInputPtr>& selectedImageInputs,
                                                              CollectionType collectionType,
                                                              const std::optional<pf::URL>& outputDirectory,
                                                              std::optional<ConversionOutputType> outputType,
                                                              const FileWritingIntentFactoryPtr& fileWritingIntentFactory) const {
    using C = FactoryError::Case;
    if (imageInputs.empty()) throw FactoryError(C::missingImageInputs);
    if (!outputDirectory) throw FactoryError(C::missingOutputDirectory);
    if (!outputType) throw FactoryError(C::missingResizeType);
    if (!supportedCollectionTypes(*outputType).contains(collectionType)) {
        switch (collectionType) {
        case CollectionType::batch: throw FactoryError(C::batchModeNotSupported);
        case CollectionType::variants: throw FactoryError(C::variantsImageModeNotSupported);
        case CollectionType::single: throw FactoryError(C::singleImageModeNotSupported);
        }
        pf::fatalError("Unknown collection type", "FolderDefinitionBuilderFactory");
    }

    std::vector<FolderDefinitionBuilderPtr> builders;
    switch (collectionType) {
    case CollectionType::batch:
        for (const auto& picture : imageInputs) {
            builders.push_back(makeBuilder(ImageInputCollection{{picture}, CollectionType::batch}, *outputType,
                                           *outputDirectory, fileWritingIntentFactory));
        }
        return builders;
    case CollectionType::variants:
        builders.push_back(makeBuilder(ImageInputCollection{imageInputs, CollectionType::variants}, *outputType,
                                       *outputDirectory, fileWritingIntentFactory));
        return builders;
    case CollectionType::single:
        if (selectedImageInputs.empty()) throw FactoryError(C::missingImageInputs);
        builders.push_back(makeBuilder(ImageInputCollection{{selectedImageInputs.front()}, CollectionType::single},
                                       *outputType, *outputDirectory, fileWritingIntentFactory));
        return builders;
    }
    pf::fatalError("Unknown collection type", "FolderDefinitionBuilderFactory");
}

FolderDefinitionBuilderPtr Factory::makeBuilder(const ImageInputCollection& imageInputCollection,
                                                ConversionOutputType outputType, const pf::URL& outputDirectory,
                                                const FileWritingIntentFactoryPtr& fileWritingIntentFactory) const {
    using T = ConversionOutputType;
    const auto& collection = imageInputCollection;
    const auto& output = outputDirectory;
    const auto& intents = fileWritingIntentFactory;
    switch (outputType) {
    case T::iOSIcon: return std::make_shared<FolderDefinitionBuilderiOSIcon>(collection, output, intents);
    case T::macOSIcon: return std::make_shared<FolderDefinitionBuilderOSXIcons>(collection, output, intents);
    case T::asset: return std::make_shared<FolderDefinitionBuilderAsset>(collection, output, intents);
    case T::iOSSplash: return std::make_shared<FolderDefinitionBuilderiOSSplash>(collection, output, intents);
    case T::watchIcon: return std::make_shared<FolderDefinitionBuilderWatchIcon>(collection, output, intents);
    case T::complicationIcon: return std::make_shared<FolderDefinitionBuilderComplication>(collection, output, intents);
    case T::iMessageIcon: return std::make_shared<FolderDefinitionBuilderiMessageIcon>(collection, output, intents);
    // Its initialiser checks the picture count and resolves the brand-assets intents.
    case T::tvOSIcon: return std::make_shared<FolderDefinitionBuildertvOSIcon>(collection, output, intents);
    case T::tvOSSplash: return std::make_shared<FolderDefinitionBuildertvOSSplash>(collection, output, intents);
    case T::tvOSTopShelf: return std::make_shared<FolderDefinitionBuildertvOSTopShelf>(collection, output, intents);
    case T::tvOSTopShelfWide:
        return std::make_shared<FolderDefinitionBuildertvOSTopShelfWide>(collection, output, intents);
    case T::tvOSLeaderboard:
        // An image stack needs one picture per layer.
        if (collection.imageInputs.size() < 2) throw FactoryError(FactoryError::Case::minimumImageCountNotMet);
        return std::make_shared<FolderDefinitionBuildertvOSLeaderboard>(collection, output, intents);
    case T::tvOSGameCenterDashboard:
        return std::make_shared<FolderDefinitionBuildertvOSDashboard>(collection, output, intents);
    case T::catalyst: return std::make_shared<FolderDefinitionBuilderCatalystIcon>(collection, output, intents);
    }
    pf::fatalError(fmt::format("Unknown ConversionOutputType {}", static_cast<std::int64_t>(outputType)),
                   "FolderDefinitionBuilderFactory");
}

}  // namespace gw
