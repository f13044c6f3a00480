#pragma once
// Checks a conversion request and makes the builders for it, one per output catalog.
// Every refusal the window shows about a request comes from here.
#include "app/definitions/conversion_output_type.hpp"
#include "app/definitions/folder_definition_builder.hpp"
#include "app/engine/contracts/file_writing_intent.hpp"
#include "app/foundation/image_input_collection.hpp"
#include "platform/foundation/url.hpp"

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace gw {

class FolderDefinitionBuilderFactory {
public:
    // A refused request; what() is the localised description.
    class FolderDefinitionBuilderFactoryError : public std::runtime_error {
    public:
        enum class Case : int {
            missingImageInputs = 0,
            missingOutputDirectory = 1,
            missingResizeType = 2,
            minimumImageCountNotMet = 3,
            batchModeNotSupported = 4,
            singleImageModeNotSupported = 5,
            variantsImageModeNotSupported = 6,
        };

        explicit FolderDefinitionBuilderFactoryError(Case errorCase);
        Case errorCase() const noexcept { return case_; }
        const std::string& localizedDescription() const;
        static std::string_view descriptionKey(Case errorCase);

    private:
        Case case_;
    };
    using Error = FolderDefinitionBuilderFactoryError;

    // The builders for a request: one per picture in batch mode, else one. Checks, in
    // order: pictures, output folder, output type, collection mode; single mode then
    // needs a selection. Throws Error or what a builder's initialiser throws.
    std::vector<FolderDefinitionBuilderPtr> makeBuilders(const std::vector<ImageInputPtr>& imageInputs,
                                                         const std::vector<ImageInputPtr>& selectedImageInputs,
                                                         CollectionType collectionType,
                                                         const std::optional<platform::foundation::URL>& outputDirectory,
                                                         std::optional<ConversionOutputType> outputType,
                                                         const FileWritingIntentFactoryPtr& fileWritingIntentFactory) const;

    virtual ~FolderDefinitionBuilderFactory() = default;

    // The builder of one output type for one collection.
    virtual FolderDefinitionBuilderPtr makeBuilder(const ImageInputCollection& imageInputCollection,
                                           ConversionOutputType outputType,
                                           const platform::foundation::URL& outputDirectory,
                                           const FileWritingIntentFactoryPtr& fileWritingIntentFactory) const;

    static std::set<CollectionType> supportedCollectionTypes(ConversionOutputType outputType);
};

}  // namespace gw
